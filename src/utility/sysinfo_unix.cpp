#include "utility/sysinfo_p.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace utility::sysinfoplatform {

std::wstring cpuName()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) != 0)
            continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            break;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        return std::wstring(value.begin(), value.end());
    }
    return {};
}

bool physicalMemory(unsigned long long &availableBytes, unsigned long long &totalBytes)
{
    struct sysinfo info;
    if (::sysinfo(&info) != 0)
        return false;
    availableBytes = static_cast<unsigned long long>(info.freeram) * info.mem_unit;
    totalBytes = static_cast<unsigned long long>(info.totalram) * info.mem_unit;
    return true;
}

bool isWow64Process()
{
    if (sizeof(void *) != 4)
        return false;
    struct utsname name;
    if (::uname(&name) != 0)
        return false;
    return std::strstr(name.machine, "64") != nullptr;
}

bool ntVersionNumbers(unsigned &major, unsigned &minor, unsigned &build)
{
    // The kernel release stands in for the NT version numbers.
    struct utsname name;
    if (::uname(&name) != 0)
        return false;
    major = minor = build = 0;
    return std::sscanf(name.release, "%u.%u.%u", &major, &minor, &build) >= 2;
}

std::wstring servicePack()
{
    return {};
}

} // namespace utility::sysinfoplatform
