#include "utility/sysinfo_p.h"

#include <windows.h>

namespace utility::sysinfoplatform {

std::wstring cpuName()
{
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"ProcessorNameString",
                RRF_RT_REG_SZ, nullptr, buffer, &size)
            != ERROR_SUCCESS)
        return {};
    return buffer;
}

bool physicalMemory(unsigned long long &availableBytes, unsigned long long &totalBytes)
{
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status))
        return false;
    availableBytes = status.ullAvailPhys;
    totalBytes = status.ullTotalPhys;
    return true;
}

bool isWow64Process()
{
    using IsWow64ProcessFn = BOOL(WINAPI *)(HANDLE, PBOOL);
    // Looked up at run time: systems without it are plain 32-bit ones.
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel)
        return false;
    auto fn = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void *>(GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (!fn || !fn(GetCurrentProcess(), &wow64))
        return false;
    return wow64 != FALSE;
}

bool ntVersionNumbers(unsigned &major, unsigned &minor, unsigned &build)
{
    using RtlGetNtVersionNumbersFn = void(WINAPI *)(DWORD *, DWORD *, DWORD *);
    // GetVersionEx lies to programs without a manifest; this undocumented call tells the truth.
    HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
    if (!ntdll)
        return false;
    auto fn = reinterpret_cast<RtlGetNtVersionNumbersFn>(
            reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetNtVersionNumbers")));
    if (!fn) {
        FreeLibrary(ntdll);
        return false;
    }
    DWORD ma = 0, mi = 0, bu = 0;
    fn(&ma, &mi, &bu);
    FreeLibrary(ntdll);
    major = ma;
    minor = mi;
    build = bu & 0xFFFF;
    return true;
}

std::wstring servicePack()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info); // 276 bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info))
        return {};
#pragma GCC diagnostic pop
    return info.szCSDVersion;
}

} // namespace utility::sysinfoplatform
