#pragma once

#include <QString>

namespace runner {

// Sets the "DisplayVersion" of the product's Uninstall entry, named by its registry key, so the
// system's list of installed programs shows version. Best effort: failures are not reported.
// Windows writes the registry; elsewhere the entry is the group named after the key's last element
// in "uninstall.ini" of the generic config location.
void setUninstallDisplayVersion(const QString &key, const QString &version);

} // namespace runner
