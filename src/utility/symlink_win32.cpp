#include "symlink_win32.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace utility {
namespace {

// The symbolic-link layout of the reparse data; the user-mode headers do not declare it.
struct SymbolicLinkReparseData
{
    DWORD reparseTag;
    WORD dataLength;
    WORD reserved;
    WORD substituteNameOffset;
    WORD substituteNameLength;
    WORD printNameOffset;
    WORD printNameLength;
    ULONG flags;
    // WCHAR pathBuffer[] follows
};

constexpr ULONG kRelativeLink = 1;
constexpr DWORD kUnprivilegedCreate = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
constexpr wchar_t kNtPrefix[] = L"\\??\\";

bool endsWith(const std::wstring &text, const std::wstring &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The path with the "\\?\" prefix that lifts the 260-character limit of the wide calls. The
// prefix turns off the path parsing, so only absolute paths with backslashes and without "." or
// ".." parts get it.
std::wstring extendedPath(const std::wstring &path)
{
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0)
        return path;
    if (path.find(L"\\.\\") != std::wstring::npos || path.find(L"\\..\\") != std::wstring::npos
            || endsWith(path, L"\\.") || endsWith(path, L"\\..") || path.find(L'/') != std::wstring::npos)
        return path;
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return L"\\\\?\\" + path;
    if (path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\')
        return L"\\\\?\\UNC\\" + path.substr(2);
    return path;
}

} // namespace

bool readSymbolicLink(const std::wstring &path, std::wstring &text, bool &directory)
{
    const std::wstring extended = extendedPath(path);
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    HANDLE handle = CreateFileW(extended.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    std::vector<unsigned char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
            static_cast<DWORD>(buffer.size()), &returned, nullptr);
    CloseHandle(handle);
    if (!ok || returned < sizeof(SymbolicLinkReparseData))
        return false;
    SymbolicLinkReparseData data;
    std::memcpy(&data, buffer.data(), sizeof data);
    if (data.reparseTag != IO_REPARSE_TAG_SYMLINK)
        return false;
    // The print name is the text the link was made with; the substitute name is its NT form.
    const bool usePrint = data.printNameLength > 0;
    const size_t offset = usePrint ? data.printNameOffset : data.substituteNameOffset;
    const size_t length = usePrint ? data.printNameLength : data.substituteNameLength;
    const size_t start = sizeof(SymbolicLinkReparseData) + offset;
    if (start + length > returned)
        return false;
    text.assign(length / sizeof(wchar_t), L'\0');
    std::memcpy(&text[0], buffer.data() + start, length);
    if (!usePrint && !(data.flags & kRelativeLink) && text.compare(0, 4, kNtPrefix) == 0)
        text.erase(0, 4);
    return true;
}

bool createSymbolicLink(const std::wstring &link, const std::wstring &text, bool directory)
{
    const DWORD flags = directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    const std::wstring at = extendedPath(link);
    // Without developer mode only an administrator may make links; the flag is refused on older
    // systems, which then get a second try without it.
    if (CreateSymbolicLinkW(at.c_str(), text.c_str(), flags | kUnprivilegedCreate))
        return true;
    return CreateSymbolicLinkW(at.c_str(), text.c_str(), flags) != 0;
}

bool renameWithoutReplace(const std::wstring &from, const std::wstring &to)
{
    return MoveFileExW(extendedPath(from).c_str(), extendedPath(to).c_str(), 0) != 0;
}

} // namespace utility
