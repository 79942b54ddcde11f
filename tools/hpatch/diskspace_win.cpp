#include "diskspace.h"

#include "fileio.h"

#include <filesystem>
#include <windows.h>

namespace hpatch {

bool freeDiskSpace(const std::string &path, uint64_t *bytes)
{
    std::error_code ec;
    std::filesystem::path at = std::filesystem::absolute(toFsPath(path), ec);
    for (;;) {
        ULARGE_INTEGER available;
        if (GetDiskFreeSpaceExW(at.c_str(), &available, nullptr, nullptr)) {
            *bytes = available.QuadPart;
            return true;
        }
        if (!at.has_relative_path())
            return false;
        at = at.parent_path();
    }
}

} // namespace hpatch
