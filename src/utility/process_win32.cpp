#include "process_win32.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <tlhelp32.h>

namespace win32 {
namespace {

// GetVersionExW reports the real version only up to what the manifest allows, which is enough to
// tell Vista and later (where elevation exists) from older systems.
bool hasElevation()
{
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    if (!GetVersionExW(&info))
        return true;
    return info.dwMajorVersion >= 6;
}

} // namespace

bool startElevated(const std::wstring &file, const std::wstring &parameters)
{
    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    // Without NO_UI a missing or broken program is reported in a message box, and the updater,
    // which runs without a window the user would look at, waits on it for ever.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = hasElevation() ? L"runas" : L"open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWNORMAL;

    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const BOOL executed = ShellExecuteExW(&info);
    if (SUCCEEDED(com))
        CoUninitialize();

    const bool started = executed && info.hProcess != nullptr;
    if (info.hProcess)
        CloseHandle(info.hProcess);
    return started;
}

bool listProcesses(std::vector<ProcessEntry> *out)
{
    out->clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot, &entry)) {
        CloseHandle(snapshot);
        return false;
    }
    do {
        ProcessEntry item;
        item.pid = entry.th32ProcessID;
        item.exeFile = entry.szExeFile;
        out->push_back(item);
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return true;
}

int terminateProcess(unsigned long pid)
{
    HANDLE process = OpenProcess(
            PROCESS_TERMINATE | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return 2;
    const BOOL terminated = TerminateProcess(process, 0);
    CloseHandle(process);
    return terminated ? 1 : 2;
}

bool pipeServerProcess(void *pipe, unsigned long *pid, std::wstring *exePath)
{
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(static_cast<HANDLE>(pipe), &server) || server == 0)
        return false;
    *pid = server;
    exePath->clear();
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server);
    if (!process)
        return true;
    std::vector<wchar_t> path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (QueryFullProcessImageNameW(process, 0, path.data(), &size))
        exePath->assign(path.data(), size);
    CloseHandle(process);
    return true;
}

unsigned long currentProcessId()
{
    return GetCurrentProcessId();
}

} // namespace win32
