#pragma once

// Symbolic links taken as they are: read, made and renamed without following them. Depends only on
// the Win32 API and the C++ standard library.

#include <string>

namespace utility {

// The link text of the symbolic link at path, relative or absolute as it was made; false when path
// is no symbolic link (a ".lnk" shortcut is an ordinary file) or cannot be read. directory tells
// whether it is a directory link.
bool readSymbolicLink(const std::wstring &path, std::wstring &text, bool &directory);

// Makes a symbolic link at link holding text; false when link exists or the system refuses.
bool createSymbolicLink(const std::wstring &link, const std::wstring &text, bool directory);

// Renames the entry at from itself; false when to exists.
bool renameWithoutReplace(const std::wstring &from, const std::wstring &to);

} // namespace utility
