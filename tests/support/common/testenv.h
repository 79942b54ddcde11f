#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace testsupport {

// Environment for a launched updater whose per-user directories all lie below home.
QProcessEnvironment isolatedEnvironment(const QString &home);

// Reads a whole file; empty when it cannot be read.
QByteArray readFile(const QString &path);
// Writes a whole file, creating missing parent directories; false on failure.
bool writeFile(const QString &path, const QByteArray &content);

// The log files in dir, oldest first by name.
QStringList logFiles(const QString &dir);

} // namespace testsupport
