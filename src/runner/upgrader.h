#pragma once

#include "app/updateinfomanager.h"

#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

class QTimer;

namespace runner {

class UpgraderProcess;

// Applies one downloaded package to the installation with the patch tool: the tool writes the new
// tree into outputDir(), and on exit code 0 that tree replaces the installation's content. While the
// tool runs a timer animates the delegate's progress. The outcome is reported exactly once, and
// never while run() is still on the stack, so the caller has always set up its wait first.
class Upgrader : public QObject
{
    Q_OBJECT

public:
    // Callbacks of one package application; they arrive on the GUI thread.
    class Delegate
    {
    public:
        virtual ~Delegate() = default;
        // Milliseconds since the tool started, by timer ticks, and the expected duration.
        virtual void onUpgradeProgress(int elapsed, int duration) = 0;
        virtual void onUpgradeComplete(bool success) = 0;
        // Part of the interface; the applier itself never calls it.
        virtual void onUpgradeFallback(bool success) = 0;
    };

    // installDir: the installation the package turns into the new version; toolPath: the patch
    // tool; withBackupSuffix: the installation's files carry ".backup" while the tool runs.
    Upgrader(const QString &installDir, const QString &toolPath, bool withBackupSuffix);
    // Kills a tool that still runs.
    ~Upgrader() override;

    // Stores the arguments; false when no file exists at packagePath or packageInfo is null.
    // A progressDuration below 1 means no progress animation.
    bool initialize(const std::weak_ptr<Delegate> &delegate, const QString &packagePath,
            const app::UpdateInfoManager::PackageInfoPtr &packageInfo, int progressDuration);
    // Starts the tool; false only when initialize() did not succeed.
    bool run();
    // Stops the tool if it runs; nothing is reported after this.
    void fallBack();
    // The run is ending: a tool that still runs is stopped and the file names it was given back.
    void postUpgrade();

    // The package path without its last suffix, as a directory beside the package.
    QString outputDir() const;

public slots:
    void onReadyRead(QString data);
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onStarted();
    void onStateChanged(QProcess::ProcessState state);
    void onErrorOccurred(QProcess::ProcessError error);
    void onTimeOut();

private:
    void removeOutput();
    void stopTimer();
    void report(bool success);
    void deliver(bool success);

    const QString m_installDir;
    const QString m_toolPath;
    const bool m_withBackupSuffix;
    std::weak_ptr<Delegate> m_delegate;
    QString m_packagePath;
    app::UpdateInfoManager::PackageInfoPtr m_packageInfo;
    UpgraderProcess *m_process = nullptr;
    bool m_fallingBack = false;
    int m_progressDuration = 0;
    QTimer *m_timer = nullptr;
    // Ticks of this applier's own timer, so a second package starts its animation from zero.
    int m_tick = 0;
    // The tool's end (finished or error) has been handled; a second signal of the same end must
    // neither touch the installation nor report again.
    bool m_ended = false;
};

} // namespace runner
