#include "updatersandbox.h"

#include "logcapture.h"
#include "testenv.h"

#include "utility/platform.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#ifndef SOLUPDATE_TESTSUPPORT_BIN_DIR
#error "SOLUPDATE_TESTSUPPORT_BIN_DIR must name the folder that holds solupdate"
#endif

namespace testsupport {

namespace {
const QString kUpdaterName = QStringLiteral("solupdate");
const QString kUpdaterFileName = kUpdaterName + platform::kExecutableSuffix;
} // namespace

UpdaterSandbox::UpdaterSandbox()
{
    if (!m_dir.isValid())
        return;
    QDir().mkpath(binDir());
    QDir().mkpath(installDir());
    QDir().mkpath(logDir());
    QDir().mkpath(home());
    const QString source = QStringLiteral(SOLUPDATE_TESTSUPPORT_BIN_DIR) + QLatin1Char('/');
    m_valid = QFile::copy(source + kUpdaterFileName, updaterPath());
    if (QFile::exists(source + platform::kPatchToolName))
        QFile::copy(source + platform::kPatchToolName, binDir() + QLatin1Char('/') + platform::kPatchToolName);
}

QString UpdaterSandbox::updaterPath() const
{
    return binDir() + QLatin1Char('/') + kUpdaterFileName;
}

QString UpdaterSandbox::localDataDir() const
{
    return home() + QStringLiteral("/.local/share/") + kUpdaterName;
}

QString UpdaterSandbox::historyPath(const QString &role) const
{
    return localDataDir() + QStringLiteral("/solupdate_history_") + role + QStringLiteral(".ini");
}

bool UpdaterSandbox::writeConfig(const QByteArray &iniText)
{
    return writeFile(binDir() + QStringLiteral("/solupdate.ini"), iniText);
}

bool UpdaterSandbox::writeDefaultConfig()
{
    return writeConfig("[config]\nCheckInterval=3600\nCheckIntervalAfterUserCancel=86400\n");
}

app::LaunchParameters UpdaterSandbox::defaultParameters() const
{
    app::LaunchParameters p;
    p.mode = QStringLiteral("manual");
    p.action = QStringLiteral("checkUpdate");
    p.role = QStringLiteral("teacher");
    p.exePath = clientPath();
    p.updateUrl = QStringLiteral("http://127.0.0.1:1/update.json");
    p.masterPid = QStringLiteral("4711");
    p.lang = QStringLiteral("en");
    p.masterHwnd = QStringLiteral("1234");
    p.masterLocalServer = QStringLiteral("solupdate-test-master");
    p.logDirPath = logDir();
    return p;
}

QProcessEnvironment UpdaterSandbox::environment() const
{
    return isolatedEnvironment(home());
}

std::unique_ptr<QProcess> UpdaterSandbox::start(const QStringList &arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->setWorkingDirectory(root());
    process->start(updaterPath(), arguments);
    process->waitForStarted(10000);
    return process;
}

int UpdaterSandbox::wait(QProcess *process, int timeoutMs)
{
    if (process->state() == QProcess::NotRunning && process->error() == QProcess::FailedToStart)
        return -1001;
    // Keep this thread's event loop turning: in-process servers the updater talks to live here.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    if (process->state() != QProcess::NotRunning)
        loop.exec();
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
        return -1000;
    }
    if (process->exitStatus() != QProcess::NormalExit)
        return -1002;
    return process->exitCode();
}

int UpdaterSandbox::run(const QStringList &arguments, int timeoutMs)
{
    std::unique_ptr<QProcess> process = start(arguments);
    return wait(process.get(), timeoutMs);
}

int UpdaterSandbox::run(const app::LaunchParameters &parameters, int timeoutMs)
{
    return run(parameters.toArguments(), timeoutMs);
}

QStringList UpdaterSandbox::logFiles() const
{
    // A run without a usable log directory parameter logs into the per-user default.
    return testsupport::logFiles(logDir()) + testsupport::logFiles(defaultLogDir());
}

QString UpdaterSandbox::defaultLogDir() const
{
    return home() + QStringLiteral("/.local/share/SolvaneClient/logs/solupdate");
}

QByteArray UpdaterSandbox::log() const
{
    QByteArray all;
    for (const QString &file : logFiles())
        all += readFile(file);
    return all;
}

QStringList UpdaterSandbox::logMessages() const
{
    static const QRegularExpression record(
            QStringLiteral("^(Debug|Info|Warning|Critical|Fatal): \"(.*)\" \\(:0, \\) \\S+ \\S+ \\S+\\r$"));
    QStringList messages;
    const QStringList lines = QString::fromUtf8(log()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = record.match(line);
        if (!match.hasMatch())
            continue;
        messages << match.captured(1) + QStringLiteral(": ")
                        + LogCapture::unquote(QLatin1Char('"') + match.captured(2) + QLatin1Char('"'));
    }
    return messages;
}

} // namespace testsupport
