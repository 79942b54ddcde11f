#include "fileio.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h> // after windows.h, which it needs

namespace hpatch {

namespace {

void setErrno(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        errno = ENOENT;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EBUSY;
        break;
    case ERROR_ACCESS_DENIED:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_DIR_NOT_EMPTY:
        errno = ENOTEMPTY;
        break;
    case ERROR_DIRECTORY:
        errno = ENOTDIR;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        errno = ENOMEM;
        break;
    default:
        errno = EIO;
    }
}

bool failed()
{
    setErrno(GetLastError());
    return false;
}

std::wstring widen(const std::string &text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t *text, size_t size)
{
    if (size == 0)
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, int(size), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, int(size), out.data(), n, nullptr, nullptr);
    return out;
}

// The absolute form with "\\" separators and "." and ".." resolved, or path as it is.
std::wstring fullPath(const std::string &path)
{
    std::wstring w = widen(path);
    std::replace(w.begin(), w.end(), L'/', L'\\');
    const DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return w;
    std::wstring full(n, L'\0');
    full.resize(GetFullPathNameW(w.c_str(), n, full.data(), nullptr));
    return full;
}

// With the "\\?\" prefix: no 260-character limit, and the name is taken as it is.
std::wstring longPath(const std::string &path)
{
    const std::wstring full = fullPath(path);
    if (full.rfind(L"\\\\?\\", 0) == 0)
        return full;
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

HANDLE handleOf(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int descriptorFor(HANDLE handle, int flags)
{
    if (handle == INVALID_HANDLE_VALUE) {
        failed();
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

EntryType typeOf(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return EntryType::Other;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::Directory : EntryType::File;
}

} // namespace

int openForRead(const std::string &path)
{
    return descriptorFor(
            CreateFileW(longPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
            _O_RDONLY);
}

int createNewFile(const std::string &path)
{
    // Readers may look while it is written; nobody may move it away under the writer.
    return descriptorFor(CreateFileW(longPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
            _O_RDWR);
}

int64_t readAtMost(int fd, void *data, size_t size, uint64_t offset)
{
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD n = 0;
    if (!ReadFile(handleOf(fd), data, DWORD(std::min<size_t>(size, 1u << 30)), &n, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        failed();
        return -1;
    }
    return int64_t(n);
}

bool writeAt(int fd, const void *data, size_t size, uint64_t offset)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD n = 0;
        if (!WriteFile(handleOf(fd), p, DWORD(std::min<size_t>(size, 1u << 30)), &n, &at))
            return failed();
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool regularFileSize(int fd, uint64_t *size)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handleOf(fd), &info))
        return failed();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return false;
    }
    *size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

bool resizeFile(int fd, uint64_t size)
{
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = LONGLONG(size);
    return SetFileInformationByHandle(handleOf(fd), FileEndOfFileInfo, &end, sizeof end) || failed();
}

bool setFileMode(int, uint32_t)
{
    return true;
}

bool syncStream(std::FILE *file)
{
    return std::fflush(file) == 0 && (FlushFileBuffers(handleOf(_fileno(file))) || failed());
}

bool closeFile(int fd)
{
    return _close(fd) == 0;
}

EntryType entryType(const std::string &path)
{
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        failed();
        return EntryType::Missing;
    }
    return typeOf(attributes);
}

bool makeDirectory(const std::string &path, uint32_t)
{
    return CreateDirectoryW(longPath(path).c_str(), nullptr) || failed();
}

bool setDirectoryMode(const std::string &, uint32_t)
{
    return true;
}

bool removeEntry(const std::string &path)
{
    const std::wstring w = longPath(path);
    const DWORD attributes = GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failed();
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(w.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveDirectoryW(w.c_str()) || failed();
    return DeleteFileW(w.c_str()) || failed();
}

bool renameNoReplace(const std::string &from, const std::string &to)
{
    return MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), 0) || failed();
}

bool renameReplacing(const std::string &from, const std::string &to)
{
    return MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), MOVEFILE_REPLACE_EXISTING) || failed();
}

bool readLink(const std::string &, std::string *)
{
    // Links in a tree made on Windows are refused like other special entries.
    errno = ENOSYS;
    return false;
}

bool makeLink(const std::string &target, const std::string &path)
{
    // Creating links needs a privilege or developer mode on Windows; try without elevation first.
    std::wstring wideTarget = widen(target);
    for (wchar_t &c : wideTarget) {
        if (c == L'/')
            c = L'\\';
    }
    const std::wstring widePath = longPath(path);
    if (::CreateSymbolicLinkW(widePath.c_str(), wideTarget.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        return true;
    if (::CreateSymbolicLinkW(widePath.c_str(), wideTarget.c_str(), 0))
        return true;
    errno = EACCES;
    return false;
}

bool listDirectory(const std::string &path, std::vector<DirectoryItem> *items)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileExW((longPath(path) + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
            nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return failed();
    bool ok = true;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const EntryType type = typeOf(found.dwFileAttributes);
        items->push_back(
                { narrow(name.data(), name.size()), type, (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
                        type == EntryType::Directory ? 0755u : 0644u });
    } while (FindNextFileW(find, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        ok = failed();
    FindClose(find);
    return ok;
}

std::FILE *openStream(const std::string &path, const char *mode)
{
    return _wfopen(longPath(path).c_str(), widen(mode).c_str());
}

int memoryFile(const void *data, size_t size)
{
    wchar_t dir[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    if (!GetTempPathW(MAX_PATH + 1, dir) || !GetTempFileNameW(dir, L"hpz", 0, name)) {
        failed();
        return -1;
    }
    const int fd = descriptorFor(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr),
            _O_RDWR);
    if (fd >= 0 && !writeAt(fd, data, size, 0)) {
        _close(fd);
        return -1;
    }
    return fd;
}

void *reserveMemory(size_t size)
{
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void releaseMemory(void *data, size_t)
{
    if (data)
        VirtualFree(data, 0, MEM_RELEASE);
}

std::filesystem::path resolvedPath(const std::string &path)
{
    // The final path of the longest part that exists, then the rest as it is written.
    std::filesystem::path full(fullPath(path));
    std::filesystem::path rest;
    for (;;) {
        HANDLE h = CreateFileW(longPath(fromFsPath(full)).c_str(), 0,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            std::wstring final(32768, L'\0');
            final.resize(GetFinalPathNameByHandleW(h, final.data(), DWORD(final.size()), FILE_NAME_NORMALIZED));
            CloseHandle(h);
            if (final.rfind(L"\\\\?\\", 0) == 0 && final.rfind(L"\\\\?\\UNC\\", 0) != 0)
                full = final.substr(4);
            break;
        }
        if (!full.has_relative_path())
            break;
        rest = full.filename() / rest;
        full = full.parent_path();
    }
    return rest.empty() ? full : full / rest;
}

std::filesystem::path toFsPath(const std::string &path)
{
    return std::filesystem::path(widen(path));
}

std::string fromFsPath(const std::filesystem::path &path)
{
    const std::wstring &w = path.native();
    return narrow(w.data(), w.size());
}

std::vector<std::string> utf8Arguments(int argc, char **argv)
{
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back(narrow(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return out;
}

bool stderrIsTerminal()
{
    return _isatty(_fileno(stderr));
}

} // namespace hpatch
