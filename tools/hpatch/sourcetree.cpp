#include "sourcetree.h"

#include "fileio.h"
#include "outputfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace hpatch {

namespace {

// Adds what lies below root/relative ("" for root itself), depth first.
Status walk(const std::string &root, const std::string &relative, bool strict, SourceTree *tree)
{
    const std::string dir = relative.empty() ? root : root + "/" + relative;
    std::vector<DirectoryItem> items;
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
        if (link) {
            tree->links.push_back({ path, target });
            continue;
        }
        if (item.type == EntryType::Directory) {
            tree->dirs.push_back({ path, item.mode });
            Status s = walk(root, path, strict, tree);
            if (!s.ok())
                return s;
            continue;
        }
        tree->files.push_back({ path, item.size, item.mode, 0 });
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
    Status s = walk(root, std::string(), strict, tree);
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
