#pragma once

// Flushes the write cache of the volume holding a path. Depends only on the Win32 API and the C++
// standard library.

#include <string>

namespace utility {

enum class VolumeFlushResult {
    Flushed, // everything written to the volume is on the disk
    Skipped, // no drive-letter volume, or no right to open it (that needs an administrator)
    Failed // the flush reported an error
};

VolumeFlushResult flushVolumeOf(const std::wstring &path);

} // namespace utility
