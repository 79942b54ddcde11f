#pragma once

#include <cstdint>
#include <string>

namespace hpatch {

// Bytes an unprivileged writer may still put on the file system that holds path, or of its
// nearest existing parent when path does not exist yet; false when that cannot be told.
bool freeDiskSpace(const std::string &path, uint64_t *bytes);

} // namespace hpatch
