// Links every function of the Win32 process layer into one Windows program.
#include "process_win32.h"

#include <cstdio>
#include <vector>

int main(int argc, char **)
{
    std::vector<win32::ProcessEntry> processes;
    const bool listed = win32::listProcesses(&processes);
    std::printf("processes listed: %d, count %u, self %lu\n", listed ? 1 : 0,
                static_cast<unsigned>(processes.size()), win32::currentProcessId());
    // Never actually start or end anything: this program only proves the code builds and links.
    if (argc > 99) {
        win32::startElevated(L"notepad.exe", L"");
        win32::terminateProcess(0);
    }
    return 0;
}
