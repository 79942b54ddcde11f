#pragma once

#include <string>

// The platform layer of the system information: plain values, no Qt, so that the Windows side
// compiles with nothing but the Win32 API. Each call returns false (or an empty text) when its
// source is not available.
namespace utility::sysinfoplatform {

std::wstring cpuName();
bool physicalMemory(unsigned long long &availableBytes, unsigned long long &totalBytes);
// True when a 32-bit process runs on a 64-bit system; false also when that cannot be told.
bool isWow64Process();
bool ntVersionNumbers(unsigned &major, unsigned &minor, unsigned &build);
std::wstring servicePack();

} // namespace utility::sysinfoplatform
