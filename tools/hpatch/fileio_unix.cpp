#include "fileio.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hpatch {

namespace {

EntryType typeOf(mode_t mode)
{
    if (S_ISREG(mode))
        return EntryType::File;
    if (S_ISDIR(mode))
        return EntryType::Directory;
    return EntryType::Other;
}

} // namespace

int openForRead(const std::string &path)
{
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int createNewFile(const std::string &path)
{
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int64_t readAtMost(int fd, void *data, size_t size, uint64_t offset)
{
    for (;;) {
        const ssize_t n = ::pread(fd, data, size, off_t(offset));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool writeAt(int fd, const void *data, size_t size, uint64_t offset)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool regularFileSize(int fd, uint64_t *size)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *size = uint64_t(st.st_size);
    return true;
}

bool resizeFile(int fd, uint64_t size)
{
    return ::ftruncate(fd, off_t(size)) == 0;
}

bool setFileMode(int fd, uint32_t mode)
{
    return ::fchmod(fd, mode & 0777) == 0;
}

bool syncStream(std::FILE *file)
{
    return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

bool closeFile(int fd)
{
    return ::close(fd) == 0;
}

EntryType entryType(const std::string &path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return EntryType::Missing;
    return typeOf(st.st_mode);
}

bool makeDirectory(const std::string &path, uint32_t mode)
{
    return ::mkdir(path.c_str(), mode & 0777) == 0;
}

bool setDirectoryMode(const std::string &path, uint32_t mode)
{
    return ::chmod(path.c_str(), mode & 0777) == 0;
}

bool removeEntry(const std::string &path)
{
    if (entryType(path) == EntryType::Directory)
        return ::rmdir(path.c_str()) == 0;
    return ::unlink(path.c_str()) == 0;
}

bool renameNoReplace(const std::string &from, const std::string &to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: a link fails on a taken name as the rename would.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    return ::unlink(from.c_str()) == 0;
}

bool renameReplacing(const std::string &from, const std::string &to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool readLink(const std::string &path, std::string *target)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    std::string text(size_t(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), &text[0], text.size());
    // A link that grew between the two calls is read again by nobody: refuse it.
    if (length <= 0 || size_t(length) >= text.size())
        return false;
    text.resize(size_t(length));
    *target = text;
    return true;
}

bool makeLink(const std::string &target, const std::string &path)
{
    return ::symlink(target.c_str(), path.c_str()) == 0;
}

bool listDirectory(const std::string &path, std::vector<DirectoryItem> *items)
{
    DIR *dir = ::opendir(path.c_str());
    if (!dir)
        return false;
    const int dirFd = ::dirfd(dir);
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *d = ::readdir(dir);
        if (!d) {
            ok = errno == 0;
            break;
        }
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (::fstatat(dirFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            break;
        }
        items->push_back({ name, typeOf(st.st_mode), uint64_t(st.st_size), uint32_t(st.st_mode & 0777) });
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return ok;
}

std::FILE *openStream(const std::string &path, const char *mode)
{
    return std::fopen(path.c_str(), mode);
}

int memoryFile(const void *data, size_t size)
{
    const int fd = ::memfd_create("package", MFD_CLOEXEC);
    if (fd >= 0 && !writeAt(fd, data, size, 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void *reserveMemory(size_t size)
{
    // Whole huge pages inside the block are asked for where the system offers them: a fault then
    // maps 2 MiB instead of 4 KiB, and faults are what filling fresh buffers costs most. The block
    // starts on a huge page boundary; its tail stays in small pages so that nothing is taken
    // beyond its size.
    constexpr uintptr_t kHugePage = 2 << 20;
    const bool huge = size >= kHugePage;
    const size_t mapped = huge ? size + kHugePage : size;
    void *p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED || !huge)
        return p == MAP_FAILED ? nullptr : p;
    const uintptr_t start = uintptr_t(p);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t end = (aligned + size + page - 1) & ~(page - 1);
    if (aligned > start)
        ::munmap(p, aligned - start);
    if (start + mapped > end)
        ::munmap(reinterpret_cast<void *>(end), start + mapped - end);
    ::madvise(reinterpret_cast<void *>(aligned), size & ~(kHugePage - 1), MADV_HUGEPAGE);
    return reinterpret_cast<void *>(aligned);
}

void releaseMemory(void *data, size_t size)
{
    if (data)
        ::munmap(data, size);
}

std::filesystem::path resolvedPath(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
}

std::filesystem::path toFsPath(const std::string &path)
{
    return std::filesystem::path(path);
}

std::string fromFsPath(const std::filesystem::path &path)
{
    return path.string();
}

std::vector<std::string> utf8Arguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

bool stderrIsTerminal()
{
    return ::isatty(STDERR_FILENO);
}

} // namespace hpatch
