// Links every function of the Win32 process layer into one Windows program, which starts and ends nothing.
#include "process_win32.h"

#include <cstdio>

int main(int argc, char **)
{
    std::vector<win32::ProcessEntry> processes;
    const bool listed = win32::listProcesses(&processes);
    std::printf("listed %d, count %u, self %lu\n", int(listed), unsigned(processes.size()), win32::currentProcessId());
    if (argc > 99) // never: only the linking matters
        return win32::startElevated(L"notepad.exe", L"") + win32::terminateProcess(0);
    return 0;
}
