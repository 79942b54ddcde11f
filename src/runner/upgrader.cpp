#include "runner/upgrader.h"

#include "log/log.h"
#include "runner/constants.h"
#include "runner/upgraderprocess.h"
#include "utility/fileutils.h"

#include <QFileInfo>
#include <QTimer>

namespace runner {

Upgrader::Upgrader(const QString &installDir, const QString &toolPath, bool withBackupSuffix)
    : m_installDir(installDir)
    , m_toolPath(toolPath)
    , m_withBackupSuffix(withBackupSuffix)
{
}

Upgrader::~Upgrader()
{
    if (m_process) {
        m_process->disconnect(this);
        m_process->stopProcess();
    }
}

bool Upgrader::initialize(const std::weak_ptr<Delegate> &delegate, const QString &packagePath,
        const app::UpdateInfoManager::PackageInfoPtr &packageInfo, int progressDuration)
{
    m_packagePath = packagePath;
    m_packageInfo = packageInfo;
    m_delegate = delegate;
    m_progressDuration = progressDuration;
    if (!QFileInfo::exists(packagePath)) {
        applog::critical(QStringLiteral("upgrader package is not exist:%1").arg(packagePath));
        return false;
    }
    if (!packageInfo) {
        applog::critical(QStringLiteral("upgrader package info is null"));
        return false;
    }
    if (m_process)
        return true;
    m_process = new UpgraderProcess(this);
    connect(m_process, &UpgraderProcess::sigStarted, this, &Upgrader::onStarted);
    connect(m_process, &UpgraderProcess::sigReadyRead, this, &Upgrader::onReadyRead);
    connect(m_process, &UpgraderProcess::sigFinished, this, &Upgrader::onFinished);
    connect(m_process, &UpgraderProcess::sigStateChanged, this, &Upgrader::onStateChanged);
    connect(m_process, &UpgraderProcess::sigErrorOccurred, this, &Upgrader::onErrorOccurred);
    return true;
}

QString Upgrader::outputDir() const
{
    const QFileInfo package(m_packagePath);
    return package.absolutePath() + QLatin1Char('/') + package.completeBaseName();
}

bool Upgrader::run()
{
    if (!m_process)
        return false;
    applog::info(QStringLiteral("run upgrader"));
    const QString &installDir = m_installDir;
    m_process->toolPath = m_toolPath;
    m_process->oldDir = installDir;
    m_process->outDir = outputDir();
    m_process->diffFile = m_packagePath;
    utility::deleteDirectory(outputDir());
    if (m_withBackupSuffix)
        utility::renameBackupFiles(installDir, true);

    m_process->startProcess();

    if (m_timer || m_progressDuration < 1)
        return true;
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &Upgrader::onTimeOut);
    m_timer->start(kUpgradeProgressTickMs);
    return true;
}

void Upgrader::onTimeOut()
{
    ++m_tick;
    const int elapsed = m_tick * kUpgradeProgressTickMs;
    if (elapsed <= m_progressDuration) {
        if (const std::shared_ptr<Delegate> delegate = m_delegate.lock())
            delegate->onUpgradeProgress(elapsed, m_progressDuration);
        return;
    }
    stopTimer();
    m_tick = 0;
}

void Upgrader::onFinished(int exitCode, QProcess::ExitStatus status)
{
    applog::info(QStringLiteral("upgrader finished, exitCode = %1,status = %2").arg(exitCode).arg(int(status)));
    const bool firstEnd = !m_ended;
    m_ended = true;
    bool copied = false;
    // After an error report or a fall-back the restore owns the installation, and a crash may
    // leave any exit code behind: only a normal first end with 0 replaces the installation.
    if (firstEnd && !m_fallingBack) {
        const QString &installDir = m_installDir;
        if (status == QProcess::NormalExit && exitCode == 0) {
            // Emptying the installation is only worth it with a new tree to fill it from.
            if (QFileInfo(outputDir()).isDir()) {
                applog::info(QStringLiteral("upgrader replacing install dir, dir:%1").arg(installDir));
                copied = utility::replaceDirectoryContents(outputDir(), installDir, {}, utility::CopyMode::Plain);
                applog::info(QStringLiteral("upgrader replaced install dir, result:%1").arg(copied ? 1 : 0));
            } else {
                applog::critical(QStringLiteral("upgrader output dir is missing:%1").arg(outputDir()));
            }
        }
        // A failed tool leaves the installation as it found it, apart from the suffixes.
        if (m_withBackupSuffix)
            utility::renameBackupFiles(installDir, false);
    }
    stopTimer();
    // The output tree goes once the outcome is delivered: removing a large tree takes a while, and
    // a whole new installation is worth recording as such before that.
    if (firstEnd)
        report(status == QProcess::NormalExit && exitCode == 0 && copied);
    else
        removeOutput();
}

void Upgrader::onErrorOccurred(QProcess::ProcessError error)
{
    applog::critical(QStringLiteral("upgrader process Error = %1").arg(int(error)));
    const bool firstEnd = !m_ended;
    m_ended = true;
    if (!firstEnd)
        removeOutput();
    if (firstEnd && !m_fallingBack && m_withBackupSuffix)
        utility::renameBackupFiles(m_installDir, false);
    stopTimer();
    if (firstEnd)
        report(false);
}

void Upgrader::onStarted()
{
    applog::info(QStringLiteral("upgrader process started"));
}

void Upgrader::onStateChanged(QProcess::ProcessState state)
{
    applog::info(QStringLiteral("upgrader process Status = %1").arg(int(state)));
}

void Upgrader::onReadyRead(QString data)
{
    // Output is announced on two channels and one of them reads empty; only text is worth a record.
    if (!data.isEmpty())
        applog::info(data);
}

void Upgrader::fallBack()
{
    m_fallingBack = true;
    applog::info(QStringLiteral("upgrader falling back"));
    if (m_process)
        m_process->stopProcess();
}

void Upgrader::postUpgrade()
{
    applog::info(QStringLiteral("upgrader post upgrade"));
    // The run ends while the tool still works (the user insisted on closing): the tool goes, and
    // the installation must not be left under its ".backup" names.
    if (!m_process || m_ended || m_fallingBack)
        return;
    m_ended = true;
    m_process->disconnect(this);
    m_process->stopProcess();
    if (m_withBackupSuffix)
        utility::renameBackupFiles(m_installDir, false);
    removeOutput();
    stopTimer();
    applog::critical(QStringLiteral("upgrader stopped before the tool ended, file names restored"));
}

void Upgrader::removeOutput()
{
    utility::deleteDirectory(outputDir());
    utility::removeFile(m_packagePath);
}

void Upgrader::stopTimer()
{
    if (m_timer)
        m_timer->stop();
}

void Upgrader::report(bool success)
{
    // Never from inside the tool's own signals or run(): the delegate may go on to stop this very
    // process (a restore after a crash), which would wait on a process still reporting its end.
    QMetaObject::invokeMethod(
            this, [this, success] { deliver(success); }, Qt::QueuedConnection);
}

void Upgrader::deliver(bool success)
{
    if (!m_fallingBack) {
        if (const std::shared_ptr<Delegate> delegate = m_delegate.lock())
            delegate->onUpgradeComplete(success);
    }
    removeOutput();
}

} // namespace runner
