#include "diskspace.h"

#include <filesystem>
#include <sys/statvfs.h>

namespace hpatch {

bool freeDiskSpace(const std::string &path, uint64_t *bytes)
{
    std::error_code ec;
    std::filesystem::path at = std::filesystem::absolute(path, ec);
    for (;;) {
        struct statvfs st;
        if (::statvfs(at.c_str(), &st) == 0) {
            *bytes = uint64_t(st.f_bavail) * uint64_t(st.f_frsize);
            return true;
        }
        if (!at.has_relative_path())
            return false;
        at = at.parent_path();
    }
}

} // namespace hpatch
