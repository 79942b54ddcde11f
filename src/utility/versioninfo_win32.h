#pragma once

// Plain Win32 access to a file's version resource. Depends only on the Win32 API and the C++
// standard library, so it builds with any Windows compiler; the Qt wrapper converts the strings.

#include <string>

namespace utility {

// Reads the value of key from the string table of the first translation listed in the file's
// version resource. Returns true once that translation list was read; out is set only when the
// key was found. false for an empty key or path, a file without a version resource, or a
// resource without a translation list.
bool queryVersionString(const std::wstring &key, const std::wstring &path, std::wstring &out);

} // namespace utility
