#include "common/logcapture.h"
#include "sample/versiontrees.h"
#include "upgrade/treecompare.h"

#include "app/historyconfig.h"
#include "app/updateinfomanager.h"
#include "httpserver/httpserver.h"
#include "runner/constants.h"
#include "runner/upgraderunner.h"
#include "runner/upgradetransition.h"
#include "ui/upgradedialognew.h"
#include "utility/fileutils.h"

#include <QDesktopServices>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QtTest>

using runner::UpgradeRunner;
using testsupport::HttpServer;
using ui::UpgradeDialogNew;

namespace {

const QString kInstalled = QStringLiteral("1.0.0.0");
const QString kTarget = QStringLiteral("1.1.0.0");
// Unlike the other suites' clients, so that ending "the master" here ends nothing of theirs.
const QString kClientName = QStringLiteral("RunnerClient.exe");

// The patch tool the run uses: the real one, or a stand-in that fails in one way.
enum class Tool { Real, Missing, ExitsZeroWithoutTree, Crashes, FailsSlowly, Hangs };
// What the user does: leave the result page, or cancel or close while the package is on its way
// (downloading) or being applied.
// The backup the restore finds: none, a whole one, or a whole one while a file of the installation
// cannot be replaced (immutable), so the restore cannot put everything back.
enum class Backup { Missing, Present, PresentFileLocked };
enum class Act { LeaveResult, CancelDownload, CloseDownload, CancelApplying, CloseTwiceApplying, OpenProductPage };

} // namespace

Q_DECLARE_METATYPE(Tool)
Q_DECLARE_METATYPE(Act)
Q_DECLARE_METATYPE(Backup)

namespace {

UpgradeDialogNew *findDialog()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<UpgradeDialogNew *>(widget))
            return dialog;
    }
    return nullptr;
}

void click(UpgradeDialogNew *dialog, const char *name)
{
    if (auto *button = dialog->findChild<QPushButton *>(QLatin1String(name)); button && button->isVisible())
        QTest::mouseClick(button, Qt::LeftButton);
}

// What the dialog tells the user, and how far its bar is.
QString shownText(const UpgradeDialogNew *dialog)
{
    return dialog->findChild<QLabel *>("lbLoadingText")->text();
}

int shownProgress(const UpgradeDialogNew *dialog)
{
    return dialog->findChild<QProgressBar *>("barPercent")->value();
}

bool onResultPage(const UpgradeDialogNew *dialog)
{
    return QStringList{ "Update Success", "Update Failed", "Cancel Success", "Cancel Failed" }.contains(
            shownText(dialog));
}

bool writeTool(const QString &path, Tool tool)
{
    if (tool == Tool::Real)
        return QFile::copy(QStringLiteral(SOLUPDATE_BIN_DIR "/hpatchz"), path);
    if (tool == Tool::Missing)
        return true;
    const QByteArray body = tool == Tool::ExitsZeroWithoutTree ? "exit 0"
            : tool == Tool::Crashes                            ? "kill -SEGV $$"
            : tool == Tool::Hangs                              ? "sleep 60"
                                                               : "sleep 1; exit 3";
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n" + body + "\n") > 0
            && file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

} // namespace

// The upgrade runner in this process with the real patch tool and packages made by the package
// maker, against a web server on 127.0.0.1: the states it walks, the result the user sees and the
// history keeps, and the installation it leaves.
class TestUpgradeRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void scenario_data();
    void scenario();
    void transitions_data();
    void transitions();

public slots:
    // Stands in for the desktop's handler of product pages.
    void openPage(const QUrl &url) { m_openedPages << url; }

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    HttpServer m_server;
    testsupport::Tree m_old;
    testsupport::Tree m_new;
    QList<QUrl> m_openedPages;
};

void TestUpgradeRunner::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Random bytes, so the packages are as large as the tree and a download takes a while.
    QByteArray core(50000, Qt::Uninitialized);
    QRandomGenerator random(7);
    random.fillRange(reinterpret_cast<quint32 *>(core.data()), core.size() / 4);
    QVERIFY(testsupport::writeTree(path("old"),
            { { kClientName, "client 1.0" }, { "lib/core.dll", core + "1.0" }, { "res/old.txt", "only in 1.0" },
                    { ".hidden/settings.ini", "kept" } }));
    QVERIFY(testsupport::writeTree(path("new"),
            { { kClientName, "client 1.1" }, { "lib/core.dll", core + "1.1" }, { "lib/new.dll", "only in 1.1" },
                    { ".hidden/settings.ini", "kept" } }));
    m_old = testsupport::snapshotTree(path("old"));
    m_new = testsupport::snapshotTree(path("new"));
    QVERIFY(QDir().mkpath(path("serve")));
    QVERIFY(sample::makeIncrementalPackage(path("old"), path("new"), path("serve/good_inc.pkg")));
    QVERIFY(sample::makeFullPackage(path("new"), path("serve/good_full.pkg")));
    QVERIFY(testsupport::writeTree(path("serve/bad"),
            { { "corrupt_inc.pkg", QByteArray(4096, 'B') }, { "corrupt_full.pkg", QByteArray(4096, 'B') } }));
    m_server.setRoot(path("serve"));
    QVERIFY(m_server.listen());
    // Half a package and then nothing.
    HttpServer::Route stalled;
    stalled.filePath = path("serve/good_full.pkg");
    stalled.stall = true;
    stalled.stallAfter = (QFileInfo(path("serve/good_full.pkg")).size() + 1) / 2;
    // Small pieces: the network layer reports progress at most every 100 ms.
    stalled.trickleBytes = int(stalled.stallAfter / 4);
    stalled.trickleIntervalMs = 150;
    m_server.setRoute("/stalled_full.pkg", stalled);
    QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)));
    QDesktopServices::setUrlHandler("file", this, "openPage");
}

void TestUpgradeRunner::scenario_data()
{
    QTest::addColumn<QString>("incremental");
    QTest::addColumn<QString>("full");
    QTest::addColumn<Tool>("tool");
    QTest::addColumn<bool>("suffix");
    QTest::addColumn<Backup>("backup");
    QTest::addColumn<Act>("act");
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<int>("result");

    const QString none;
    const QString good = "good_full.pkg";
    const QString bad = "bad/corrupt_full.pkg";
    QTest::newRow("incremental") << "good_inc.pkg" << good << Tool::Real << true << Backup::Present << Act::LeaveResult
                                 << QList<int>{ 1, 2, 5, 6 } << 0;
    QTest::newRow("incremental, no suffixes") << "good_inc.pkg" << good << Tool::Real << false << Backup::Present
                                              << Act::LeaveResult << QList<int>{ 1, 2, 5, 6 } << 0;
    QTest::newRow("no incremental entry") << none << good << Tool::Real << true << Backup::Present << Act::LeaveResult
                                          << QList<int>{ 3, 4, 7, 8 } << 0;
    QTest::newRow("corrupt incremental, restored, full")
            << "bad/corrupt_inc.pkg" << good << Tool::Real << true << Backup::Present << Act::LeaveResult
            << QList<int>{ 1, 2, 5, 6, 9, 10, 3, 4, 7, 8 } << 0;
    QTest::newRow("incremental 404, full") << "missing_inc.pkg" << good << Tool::Real << true << Backup::Present
                                           << Act::LeaveResult << QList<int>{ 1, 2, 3, 4, 7, 8 } << 0;
    QTest::newRow("corrupt full, restored") << none << bad << Tool::Real << true << Backup::Present << Act::LeaveResult
                                            << QList<int>{ 3, 4, 7, 8, 11, 12 } << 7;
    // The applier itself undoes the suffixes, so a failed restore still leaves the old tree.
    QTest::newRow("corrupt full, no backup") << none << bad << Tool::Real << true << Backup::Missing << Act::LeaveResult
                                             << QList<int>{ 3, 4, 7, 8, 11, 12 } << 9;
    // The backup is the only whole copy left: it must stay.
    QTest::newRow("corrupt full, a file cannot be put back")
            << none << bad << Tool::Real << true << Backup::PresentFileLocked << Act::LeaveResult
            << QList<int>{ 3, 4, 7, 8, 11, 12 } << 9;
    QTest::newRow("full 404") << none << "missing_full.pkg" << Tool::Real << true << Backup::Present << Act::LeaveResult
                              << QList<int>{ 3, 4 } << 4;
    QTest::newRow("tool missing") << "good_inc.pkg" << good << Tool::Missing << true << Backup::Present
                                  << Act::LeaveResult << QList<int>{ 1, 2, 5, 6, 9, 10, 3, 4, 7, 8, 11, 12 } << 7;
    QTest::newRow("tool crashes") << none << good << Tool::Crashes << true << Backup::Present << Act::LeaveResult
                                  << QList<int>{ 3, 4, 7, 8, 11, 12 } << 7;
    QTest::newRow("tool exits 0 without a tree")
            << none << good << Tool::ExitsZeroWithoutTree << true << Backup::Present << Act::LeaveResult
            << QList<int>{ 3, 4, 7, 8, 11, 12 } << 7;
    QTest::newRow("cancel during download") << none << "stalled_full.pkg" << Tool::Real << true << Backup::Present
                                            << Act::CancelDownload << QList<int>{ 3, 4 } << 3;
    QTest::newRow("window closed during download") << none << "stalled_full.pkg" << Tool::Real << true
                                                   << Backup::Present << Act::CloseDownload << QList<int>{ 3, 4 } << 11;
    QTest::newRow("cancel while applying, restored") << none << good << Tool::FailsSlowly << true << Backup::Present
                                                     << Act::CancelApplying << QList<int>{ 3, 4, 7, 8, 11, 12 } << 3;
    QTest::newRow("cancel while applying, restore fails")
            << none << good << Tool::FailsSlowly << true << Backup::Missing << Act::CancelApplying
            << QList<int>{ 3, 4, 7, 8, 11, 12 } << 8;
    // The user insists on closing while the tool still runs: the loop is left mid-step.
    QTest::newRow("closed twice while applying") << none << good << Tool::Hangs << true << Backup::Present
                                                 << Act::CloseTwiceApplying << QList<int>{ 3, 4, 7 } << 0;
    QTest::newRow("product page is a local file") << none << "missing_full.pkg" << Tool::Real << true << Backup::Present
                                                  << Act::OpenProductPage << QList<int>{ 3, 4 } << 4;
    // Package names come from the server: none may lead outside the data directory or take the
    // place of the description, the history or the backup.
    for (const char *name :
            { "%2E%2E", "%00.pkg", "..%5C..%5Cescape.pkg", "package", ".pkg", "Client_backup.pkg", "history.ini" })
        QTest::newRow(name) << none << name << Tool::Real << true << Backup::Present << Act::LeaveResult
                            << QList<int>{ 3 } << 2;
    // Only the web: a local file must never be applied as the package.
    QTest::newRow("package on the local disk") << none << "file://" + path("serve/good_full.pkg") << Tool::Real << true
                                               << Backup::Present << Act::LeaveResult << QList<int>{ 3 } << 2;
}

void TestUpgradeRunner::scenario()
{
    QFETCH(QString, incremental);
    QFETCH(QString, full);
    QFETCH(Tool, tool);
    QFETCH(bool, suffix);
    QFETCH(Backup, backup);
    QFETCH(Act, act);
    QFETCH(QList<int>, states);
    QFETCH(int, result);

    QTemporaryDir run(m_dir.filePath("run-XXXXXX"));
    const QString installDir = run.filePath("Client");
    const QString dataDir = run.filePath("data");
    QVERIFY(utility::copyDirectoryFiles(path("old"), installDir, true, utility::CopyMode::Plain));
    if (backup != Backup::Missing)
        QVERIFY(utility::copyDirectoryFiles(path("old"), dataDir + "/Client_backup", true, utility::CopyMode::Plain));
    QVERIFY(writeTool(run.filePath("hpatchz"), tool));
    const QString locked = installDir + "/lib/core.dll";
    const auto unlock = qScopeGuard([&] { QProcess::execute("chattr", { "-i", locked }); });
    if (backup == Backup::PresentFileLocked && QProcess::execute("chattr", { "+i", locked }) != 0)
        QSKIP("locking a file against root's removal needs chattr as root");

    // A process the settings list, named with the blanks an administrator may leave around it.
    QProcess blocker;
    // Named after this test process, so that a second run of this suite keeps its own.
    const QString blockerName = QString("blocker%1").arg(QCoreApplication::applicationPid());
    const QString blockerPath = run.filePath(blockerName);
    QVERIFY(QFile::copy("/bin/sleep", blockerPath));
    blocker.start(blockerPath, { "60" });
    QVERIFY(blocker.waitForStarted());

    sample::UpdateDocument document;
    document.productUrl = "file:///bin/sh";
    document.fullUrl = full.contains("://") ? full : m_server.url("/" + full).toString(QUrl::FullyEncoded);
    if (!incremental.isEmpty())
        document.incrementals << qMakePair(m_server.url("/" + incremental).toString(QUrl::FullyEncoded), kInstalled);
    QVERIFY(testsupport::writeTree(dataDir, { { "update_teacher.json", sample::updateDocument(document) } }));

    app::HistoryConfig history;
    history.parseHistory(dataDir + "/history.ini");
    app::UpdateInfoManager updateInfo;
    QThreadPool pool;
    pool.setMaxThreadCount(1);
    runner::UpgradeContext context;
    context.role = "teacher";
    context.exePath = installDir + "/" + kClientName;
    context.installDir = installDir;
    context.productVersion = kInstalled;
    context.backupDir = dataDir + "/Client_backup";
    context.dataDir = dataDir;
    context.historyFilePath = history.path();
    context.updateInfoFilePath = dataDir + "/update_teacher.json";
    context.patchToolPath = run.filePath("hpatchz");
    context.repairRecordPath = dataDir + "/Client_repair.json";
    context.upgradeLockPath = dataDir + "/Client_upgrade.lock";
    context.needKilledProcesses = QStringList{ "  " + blockerName + " " };
    context.withBackupSuffix = suffix;
    context.history = &history;
    context.updateInfo = &updateInfo;
    context.pool = &pool;
    const auto upgrade = std::make_shared<UpgradeRunner>(context);
    QVERIFY(upgrade->initialize());

    testsupport::LogCapture log;
    const auto visited = [&log] {
        QList<int> states;
        for (const QString &text : log.textsStartingWith("upgrade runner doloop, state:"))
            states << text.section(':', 1).section(',', 0, 0).toInt();
        return states;
    };

    // The user: acts once the moment comes, then leaves the result page the way it offers.
    bool acted = act == Act::LeaveResult;
    QString shown;
    // What the dialog says while the full package is being fetched.
    QString textDuringFull;
    const auto watch = connect(&m_server, &HttpServer::requestReceived, this, [&](const QString &requested) {
        if (requested == "/" + full && findDialog())
            textDuringFull = shownText(findDialog());
    });
    QTimer user;
    connect(&user, &QTimer::timeout, this, [&] {
        UpgradeDialogNew *dialog = findDialog();
        if (!dialog)
            return;
        if (!acted) {
            const bool downloading
                    = act != Act::CancelApplying && act != Act::OpenProductPage && shownProgress(dialog) >= 30;
            const bool applying
                    = (act == Act::CancelApplying || act == Act::CloseTwiceApplying) && visited().contains(7);
            if (downloading || applying) {
                acted = true;
                if (act == Act::CloseTwiceApplying)
                    dialog->close();
                act == Act::CloseDownload || act == Act::CloseTwiceApplying ? void(dialog->close())
                                                                            : click(dialog, "btnUpdate");
            } else if (act == Act::OpenProductPage && onResultPage(dialog)) {
                acted = true;
                click(dialog, "btnUpdate");
            }
            return;
        }
        if (shown.isEmpty() && onResultPage(dialog)) {
            shown = shownText(dialog);
            shown.endsWith("Success") ? click(dialog, "btnIgnore") : void(dialog->close());
        }
    });
    user.start(20);
    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [&] {
        timedOut = true;
        QCoreApplication::quit();
    });
    watchdog.start(60000);
    upgrade->run();
    user.stop();
    disconnect(watch);
    pool.waitForDone();

    if (timedOut)
        fprintf(stderr, "%s\n", qPrintable(log.texts().join('\n')));
    QVERIFY(!timedOut);
    QCOMPARE(visited(), states);
    // The outcome is reported once, and not at all by a run left mid-step.
    QCOMPARE(log.textsStartingWith("after upgrade.").size(), act == Act::CloseTwiceApplying ? 0 : 1);
    // Left mid-step, the run has no result: the old tree, under its own names, and its backup stay.
    const bool midStep = act == Act::CloseTwiceApplying;
    const bool upgraded = result == 0 && !midStep;
    app::HistoryConfig stored;
    stored.parseHistory(history.path());
    QCOMPARE(int(stored.lastUpgradeStatus()), result);
    QCOMPARE(stored.cancelled(), act == Act::CancelDownload || act == Act::CancelApplying);
    if (act == Act::LeaveResult) {
        QCOMPARE(shown, QString(result == 0 ? "Update Success" : "Update Failed"));
        if (states.contains(4))
            QCOMPARE(textDuringFull, QString(states.first() == 1 ? "Incremental Update Failed" : "Updating"));
    } else if (act == Act::CancelDownload || act == Act::CancelApplying) {
        QCOMPARE(shown, QString(result == 3 ? "Cancel Success" : "Cancel Failed"));
    }
    QCOMPARE(m_openedPages, QList<QUrl>());
    // A restore that cannot replace a file leaves its staged copy beside it; the backup is what counts.
    if (backup != Backup::PresentFileLocked)
        QCOMPARE(testsupport::treeDifferences(upgraded ? m_new : m_old, testsupport::snapshotTree(installDir)),
                QString());
    QTRY_COMPARE(blocker.state(), QProcess::NotRunning);

    // Packages and output trees are gone; the backup goes only once the installation is whole, and
    // until then the repair record tells the next start to put it back.
    QStringList left = QDir(dataDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    left.removeAll("update_teacher.json");
    left.removeAll("history.ini");
    const bool backupKept = midStep || ((result == 8 || result == 9) && backup != Backup::Missing);
    QCOMPARE(left, backupKept ? (QStringList{ "Client_backup", "Client_repair.json" }) : QStringList());
    QFile uninstall(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/uninstall.ini");
    const QString shortcut = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + "/"
            + runner::kShortcutTeacher + runner::kShortcutSuffix;
    QCOMPARE(uninstall.open(QIODevice::ReadOnly) && uninstall.readAll().contains("DisplayVersion=" + kTarget.toUtf8()),
            upgraded);
    QCOMPARE(QFileInfo(shortcut).symLinkTarget(), upgraded ? context.exePath : QString());
    uninstall.remove();
    QFile::remove(shortcut);
}

void TestUpgradeRunner::transitions_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<bool>("incremental");
    QTest::addColumn<int>("next");
    QTest::addColumn<int>("outcome");

    // Paths the runs above cannot take: a cancel that arrives once a download has already failed
    // or a restore has not put everything back, and states outside the loop.
    QTest::newRow("cancelled download") << 2 << 4 << true << false << 0 << 3;
    QTest::newRow("cancel, incremental restore fails") << 10 << 9 << true << true << 0 << 8;
    QTest::newRow("incremental restore fails, full next") << 10 << 9 << false << true << 3 << 0;
    QTest::newRow("full restore fails") << 12 << 9 << false << false << 0 << 9;
    QTest::newRow("restore cannot start") << 11 << 2 << false << false << 0 << 2;
    QTest::newRow("unknown state") << 42 << 0 << false << false << 0 << 0;
}

void TestUpgradeRunner::transitions()
{
    QFETCH(int, state);
    QFETCH(int, result);
    QFETCH(bool, cancelled);
    QFETCH(bool, incremental);
    QFETCH(int, next);
    QFETCH(int, outcome);
    const runner::UpgradeTransition step = runner::upgradeTransition(state, result, cancelled, incremental);
    QCOMPARE(step.nextState, next);
    QCOMPARE(step.result, outcome);
}

QTEST_MAIN(TestUpgradeRunner)
#include "tst_upgraderunner.moc"
