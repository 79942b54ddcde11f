#include "sourcetree.h"

#include "outputfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace hpatch {

Status scanTree(const std::string &root, bool strict, SourceTree *tree, const ProgressFunction &progress)
{
    std::error_code ec;
    if (!fs::is_directory(root, ec))
        return Status::fail(ExitBadArguments, "\"" + root + "\" is not a directory");
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec)
        return Status::fail(ExitIoError, "cannot read \"" + root + "\": " + ec.message());
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            return Status::fail(ExitIoError, "cannot read \"" + root + "\": " + ec.message());
        const std::string full = it->path().string();
        const std::string relative = it->path().lexically_relative(root).generic_string();
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0)
            return Status::fail(ExitIoError, "cannot read \"" + full + "\": " + std::strerror(errno));
        const bool link = strict && S_ISLNK(st.st_mode);
        const bool plain = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || link;
        const std::string problem = pathProblem(relative);
        if (!plain || !problem.empty()) {
            // Every package must apply on Windows too, so a name it cannot hold is refused as a
            // package would be.
            if (strict && !problem.empty())
                return Status::fail(ExitBadPackage, "\"" + full + "\" cannot be packaged: " + problem);
            if (strict)
                return Status::fail(
                        ExitBadArguments, "\"" + full + "\" cannot be packaged: not a file, directory or link");
            if (S_ISDIR(st.st_mode))
                it.disable_recursion_pending();
            continue;
        }
        if (link) {
            std::string target(size_t(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
            const ssize_t length = ::readlink(full.c_str(), &target[0], target.size());
            if (length <= 0 || size_t(length) >= target.size())
                return Status::fail(ExitIoError, "cannot read the link \"" + full + "\"");
            target.resize(size_t(length));
            tree->links.push_back({ relative, target });
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            tree->dirs.push_back({ relative, uint32_t(st.st_mode & 0777) });
            continue;
        }
        tree->files.push_back({ relative, uint64_t(st.st_size), uint32_t(st.st_mode & 0777), 0 });
    }
    std::sort(tree->files.begin(), tree->files.end(),
            [](const TreeFile &a, const TreeFile &b) { return a.path < b.path; });
    std::sort(
            tree->dirs.begin(), tree->dirs.end(), [](const DirEntry &a, const DirEntry &b) { return a.path < b.path; });
    std::sort(tree->links.begin(), tree->links.end(),
            [](const LinkEntry &a, const LinkEntry &b) { return a.path < b.path; });
    if (strict) {
        std::vector<std::string> paths;
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
        const int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
        uint64_t size = 0;
        const bool ok = fd >= 0 && hashFile(fd, &f.hash, &size);
        if (fd >= 0)
            ::close(fd);
        if (!ok)
            return Status::fail(ExitIoError, "cannot read \"" + full + "\": " + std::strerror(errno));
        if (size != f.size)
            return Status::fail(ExitIoError, "\"" + full + "\" changed while it was read");
    }
    return {};
}

} // namespace hpatch
