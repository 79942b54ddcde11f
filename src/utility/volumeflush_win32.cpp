#include "volumeflush_win32.h"

#include <windows.h>

#include <vector>

namespace utility {

VolumeFlushResult flushVolumeOf(const std::wstring &path)
{
    if (path.empty())
        return VolumeFlushResult::Skipped;

    std::vector<wchar_t> mountPoint(MAX_PATH + 1, L'\0');
    if (!GetVolumePathNameW(path.c_str(), mountPoint.data(), static_cast<DWORD>(mountPoint.size())))
        return VolumeFlushResult::Skipped;
    std::wstring volume(mountPoint.data());
    if (!volume.empty() && volume.back() == L'\\')
        volume.pop_back();
    // "C:" becomes the device "\\.\C:"; mounted folders and UNC shares have no such device.
    if (volume.size() != 2 || volume[1] != L':')
        return VolumeFlushResult::Skipped;

    const std::wstring device = L"\\\\.\\" + volume;
    HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
            nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return VolumeFlushResult::Skipped;
    const BOOL flushed = FlushFileBuffers(handle);
    const DWORD error = flushed ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    if (flushed)
        return VolumeFlushResult::Flushed;
    // A file system that has no volume flush at all (wine's, some network redirectors) is a volume
    // without a flush, not a failed one: every copy onto it would otherwise count as failed.
    return error == ERROR_INVALID_FUNCTION ? VolumeFlushResult::Skipped : VolumeFlushResult::Failed;
}

} // namespace utility
