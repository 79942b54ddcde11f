#pragma once

#include <QString>

namespace runner {

// Puts the installation back from the backup: empties installDir (files in use stay) and copies
// the backup tree into it. Runs off the GUI thread and touches only the file system. True only
// when every file of the backup was put in place; false, with installDir left untouched, when
// there is no backup directory to restore from.
bool fallbackTask(const QString &installDir, const QString &backupDir);

} // namespace runner
