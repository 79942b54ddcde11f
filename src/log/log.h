#pragma once

#include <QString>

// The process log: one file per process, one record per message, flushed at once.
//
// Released spellings: log texts and keys such as "parsed commaindline", "download full pakcage",
// "on ungrade complete", "history confit", "notifyed_to_user", "lastnotfy" and the history key
// "DestVesion" are read by support scripts, by the master and from history files already on users'
// machines. They keep their spelling; do not correct them.
namespace applog {

// Levels as call sites give them; the numbers are the ones the system stores and documents.
enum Level { Debug = 0, Info = 1, Critical = 2 };

// Opens the log file in logDirPath, or in the default directory when logDirPath is empty or
// does not exist, and installs the message handler. Without a file the run goes on unlogged.
void initLog(const QString &logDirPath);
// Closes the file and puts Qt's default handler back.
void uninitLog();
// The path of the open log file; empty when none is open.
QString logFilePath();
// The default log directory (created by initLog when used).
QString defaultLogDir();

// Writes one message through Qt's logger without a source location, so every record reads
// "(:0, )" whatever the call site.
void write(Level level, const QString &message);
inline void debug(const QString &message)
{
    write(Debug, message);
}
inline void info(const QString &message)
{
    write(Info, message);
}
inline void critical(const QString &message)
{
    write(Critical, message);
}

} // namespace applog
