#pragma once

// Process functions over the Win32 API alone (wide strings in, plain values out), so that they
// build with any Windows compiler without Qt; processutils_win.cpp wraps them for the updater.
#include <string>
#include <vector>

namespace win32 {

struct ProcessEntry
{
    unsigned long pid = 0;
    std::wstring exeFile;
};

// Starts file with parameters through the shell, with the "runas" verb from Vista on. True when the
// shell started it and handed back a process handle; the process is not waited for.
bool startElevated(const std::wstring &file, const std::wstring &parameters);

// All processes in snapshot order; false when the snapshot or its first entry cannot be read.
bool listProcesses(std::vector<ProcessEntry> *out);

// Terminates the process with exit code 0: 1 terminated, 2 it could not be opened or ended.
int terminateProcess(unsigned long pid);

// The process serving the named pipe (a connected client end): its id and its executable's full
// path, empty when that cannot be read. false when not even the id is known.
bool pipeServerProcess(void *pipe, unsigned long *pid, std::wstring *exePath);

// This process's id.
unsigned long currentProcessId();

} // namespace win32
