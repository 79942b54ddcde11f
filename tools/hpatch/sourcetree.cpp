#include "sourcetree.h"

#include "fileio.h"
#include "outputfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace hpatch {

namespace {

// Adds what lies below root. Directories wait on a list instead of a call each: a tree can be
// thousands of levels deep, and a thread's stack on Windows holds a megabyte or two.
Status walk(const std::string &root, bool strict, SourceTree *tree)
{
    std::vector<std::string> pending{ std::string() }; // relative paths, "" for root itself
    std::vector<DirectoryItem> items;
    while (!pending.empty()) {
        const std::string relative = std::move(pending.back());
        pending.pop_back();
        const std::string dir = relative.empty() ? root : root + "/" + relative;
        items.clear();
        if (!listDirectory(dir, &items))
            return Status::fail(ExitIoError, "cannot read \"" + dir + "\": " + std::strerror(errno));
        for (const DirectoryItem &item : items) {
            const std::string path = relative.empty() ? item.name : relative + "/" + item.name;
            const std::string full = root + "/" + path;
            std::string target;
            const bool link = strict && item.type == EntryType::Other && readLink(full, &target);
            const bool plain = item.type == EntryType::File || item.type == EntryType::Directory || link;
            const std::string problem = pathProblem(path);
            if (!plain || !problem.empty()) {
                // Every package must apply on Windows too, so a name it cannot hold is refused as a
                // package would be.
                if (strict && !problem.empty())
                    return Status::fail(ExitBadPackage, "\"" + full + "\" cannot be packaged: " + problem);
                if (strict)
                    return Status::fail(
                            ExitBadArguments, "\"" + full + "\" cannot be packaged: not a file, directory or link");
                continue;
            }
            if (link)
                tree->links.push_back({ path, target });
            else if (item.type == EntryType::Directory) {
                tree->dirs.push_back({ path, item.mode });
                pending.push_back(path);
            } else
                tree->files.push_back({ path, item.size, item.mode, 0 });
        }
    }
    return {};
}

} // namespace

Status scanTree(const std::string &root, bool strict, SourceTree *tree, const ProgressFunction &progress)
{
    std::error_code ec;
    // The first for a path beyond 260 characters on Windows, the second for a link to a directory.
    if (entryType(root) != EntryType::Directory && !std::filesystem::is_directory(toFsPath(root), ec))
        return Status::fail(ExitBadArguments, "\"" + root + "\" is not a directory");
    Status s = walk(root, strict, tree);
    if (!s.ok())
        return s;
    std::sort(tree->files.begin(), tree->files.end(),
            [](const TreeFile &a, const TreeFile &b) { return a.path < b.path; });
    std::sort(
            tree->dirs.begin(), tree->dirs.end(), [](const DirEntry &a, const DirEntry &b) { return a.path < b.path; });
    std::sort(tree->links.begin(), tree->links.end(),
            [](const LinkEntry &a, const LinkEntry &b) { return a.path < b.path; });
    if (strict) {
        std::vector<std::string_view> paths;
        for (const TreeFile &f : tree->files)
            paths.push_back(f.path);
        for (const DirEntry &d : tree->dirs)
            paths.push_back(d.path);
        for (const LinkEntry &l : tree->links)
            paths.push_back(l.path);
        const std::string clash = caseClash(paths);
        if (!clash.empty())
            return Status::fail(ExitBadPackage,
                    "names in \"" + root + "\" differ only in case, which Windows cannot hold: " + clash);
        // Refused here rather than after hashing and matching, which take minutes on such a tree.
        uint64_t bytes = 0;
        for (std::string_view path : paths)
            bytes += path.size();
        for (const LinkEntry &l : tree->links)
            bytes += l.target.size();
        const std::string beyond = boundsProblem(bytes, paths.size());
        if (!beyond.empty())
            return Status::fail(ExitBadPackage, "\"" + root + "\" is more than a package can hold: " + beyond);
    }

    for (TreeFile &f : tree->files) {
        if (progress)
            progress("hashing " + f.path);
        const std::string full = root + "/" + f.path;
        const int fd = openForRead(full);
        uint64_t size = 0;
        const bool ok = fd >= 0 && hashFile(fd, &f.hash, &size);
        if (fd >= 0)
            closeFile(fd);
        if (!ok)
            return Status::fail(ExitIoError, "cannot read \"" + full + "\": " + std::strerror(errno));
        if (size != f.size)
            return Status::fail(ExitIoError, "\"" + full + "\" changed while it was read");
    }
    return {};
}

} // namespace hpatch
