#pragma once

#include "app/launchparameters.h"

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

// A private world for one run of the real updater: its own copy of the executable (so the settings
// file beside it is the test's), an installation directory, a log directory and a home directory
// that holds every per-user location.
class UpdaterSandbox
{
public:
    UpdaterSandbox();

    bool isValid() const { return m_dir.isValid() && m_valid; }
    QString root() const { return m_dir.path(); }
    QString binDir() const { return root() + QStringLiteral("/bin"); }
    QString updaterPath() const;
    QString installDir() const { return root() + QStringLiteral("/install"); }
    QString clientPath() const { return installDir() + QStringLiteral("/Client.exe"); }
    QString logDir() const { return root() + QStringLiteral("/logs"); }
    // Where the updater logs when no log directory is given.
    QString defaultLogDir() const;
    QString home() const { return root() + QStringLiteral("/home"); }
    // The local data directory the updater sees (history file, downloads, backup).
    QString localDataDir() const;
    QString historyPath(const QString &role = QStringLiteral("teacher")) const;

    // Writes solupdate.ini beside the updater copy; the text is the whole file.
    bool writeConfig(const QByteArray &iniText);
    bool writeDefaultConfig();
    // Launch parameters of a valid manual teacher check against this sandbox.
    app::LaunchParameters defaultParameters() const;

    // Runs the updater with the given arguments (not including the program); waits at most
    // timeoutMs. Returns the exit status, or -1000 when it did not finish (it is then killed).
    int run(const QStringList &arguments, int timeoutMs = 30000);
    int run(const app::LaunchParameters &parameters, int timeoutMs = 30000);
    QProcessEnvironment environment() const;
    // Starts the updater and returns at once; the caller waits for it (and kills it if needed).
    std::unique_ptr<QProcess> start(const QStringList &arguments);
    // Waits for a started updater while this thread's event loop keeps turning; the exit status,
    // or -1000 when it did not finish in time (it is then killed).
    int wait(QProcess *process, int timeoutMs = 30000);

    // Every log file in logDir() and then in defaultLogDir(), each in name order.
    QStringList logFiles() const;
    QByteArray log() const;
    // The messages of the log, one per record, as "Level: message" with the quotes removed.
    QStringList logMessages() const;

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};

} // namespace testsupport
