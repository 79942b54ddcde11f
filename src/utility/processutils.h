#pragma once

#include <QString>
#include <QtGlobal>

// Starting a program with administrator rights and ending a process by its executable name.
namespace utility {

// Results of killProcessByName; the numbers are the ones callers and logs have always seen.
enum KillResult { KillTerminated = 1, KillFailed = 2, KillNotFound = 3 };

// Starts file with the command-line text parameters through the system's elevation mechanism.
// True when a process was started; false on any failure, including a user who declines the
// elevation prompt. Where the mechanism only reports a refusal by ending (pkexec), the call waits
// for the program to start or for that end, at most two minutes.
bool StartUpWithPrivilege(const QString &file, const QString &parameters);

// The process at the other end of a connected local socket (its native descriptor): its id, and
// its executable's file name when the system tells it (empty otherwise). false when not even the
// id is known.
bool localSocketPeer(qintptr socketDescriptor, qint64 *pid, QString *executableName);

// Terminates the first process whose executable file name equals name, ignoring case.
// KillTerminated when it was ended, KillFailed when the process list could not be read or the
// process could not be ended, KillNotFound for an empty name or when no process matches.
// Only one process is ended per call, and the call does not wait for it to disappear.
int killProcessByName(const QString &name);

} // namespace utility
