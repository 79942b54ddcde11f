#pragma once

#include <QString>

// Platform parts behind the file functions, one implementation per platform.
namespace utility {

// Makes everything written to the file system holding dir durable. false only when the system
// reports that written data could not be stored; where no flush is permitted it is skipped.
bool syncFileSystem(const QString &dir);

} // namespace utility
