// The upgrade as the master starts it, end to end: the real updater started with "upgrade" hands
// over to its copy in the backup directory, which ends the running client, downloads packages made
// by our package maker from a real web server, applies them with our patch tool, restores from the
// backup when that fails, and shows the outcome in its dialog on a virtual display, where the test
// clicks its buttons as a user would.
#include "app/constants.h"
#include "app/launchparameters.h"
#include "ui/skin.h"
#include "ui/upgradedialognew.h"
#include "utility/displayscaling.h"

#include "common/testenv.h"
#include "common/updatersandbox.h"
#include "httpserver/httpserver.h"
#include "upgrade/nginxserver.h"
#include "upgrade/treecompare.h"
#include "upgrade/versiontrees.h"
#include "upgrade/xsession.h"

#include <QApplication>
#include <QDirIterator>
#include <QFont>
#include <QLocalSocket>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTranslator>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::HttpServer;
using testsupport::NginxServer;
using testsupport::Tree;
using testsupport::UpdaterSandbox;
using testsupport::XSession;

namespace {

const QString kOld = testsupport::kSampleOldVersion;
const QString kNew = testsupport::kSampleNewVersion;
const QString kShortcut = QStringLiteral("Quillora-老师版.lnk");

// Which page the dialog shows, for finding its buttons.
enum class View { Updating, Success, Failure, CancelSuccess };

// How the user leaves the dialog after the outcome.
enum class Leave { OpenClient, CloseButton, WindowClose, ManualUpdate };

// Which packages the update description offers.
enum class Incremental { None, Good, Corrupt, OtherVersion };
enum class Full { Good, Corrupt, Missing };

bool processGone(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    return status.readAll().contains("\nState:\tZ");
}

// Processes whose executable is path.
QList<qint64> processesOf(const QString &path)
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
        if (exe == path && !processGone(pid))
            pids << pid;
    }
    return pids;
}

qint64 pidOfLog(const QString &path)
{
    static const QRegularExpression name(QStringLiteral("solupdate_(\\d+)_\\d{14}\\.log$"));
    return name.match(path).captured(1).toLongLong();
}

bool isImmutable(const QString &path)
{
    QProcess lsattr;
    lsattr.start(QStringLiteral("lsattr"), { QStringLiteral("-d"), path });
    return lsattr.waitForFinished(5000) && lsattr.readAllStandardOutput().left(20).contains('i');
}

} // namespace

Q_DECLARE_METATYPE(View)
Q_DECLARE_METATYPE(Leave)
Q_DECLARE_METATYPE(Incremental)
Q_DECLARE_METATYPE(Full)

class TestUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void runsToTheEnd_data();
    void runsToTheEnd();
    void cancelDuringDownload();
    void cancelDuringApplication();
    void dialogClosedWhileUpdating();
    void secondInstanceBringsDialogForward();
    void restoreCannotPutFileBack();
    void fileThatCannotBeRemoved();

private:
    // One upgrade: a sandbox with the old installation, its running client, the update description
    // the check left behind, and the updater processes.
    struct Run
    {
        UpdaterSandbox sandbox;
        app::LaunchParameters parameters;
        QProcessEnvironment environment;
        QProcess client;
        qint64 copyPid = 0;
        quint64 window = 0;
        uint started = 0;

        QStringList locked;

        // A failed case leaves nothing running, and nothing locked that the sandbox must remove.
        ~Run()
        {
            for (const QString &path : qAsConst(locked))
                QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), path });
            if (copyPid > 0 && !processGone(copyPid))
                ::kill(pid_t(copyPid), SIGKILL);
            client.kill();
            client.waitForFinished(5000);
        }
    };

    bool prepare(Run &run, const QByteArray &document, bool withPatchTool = true);
    // Starts "upgrade", waits for the hand-off to end and for the copy's dialog to show.
    bool launch(Run &run, QString *error);
    // Prepares and launches an upgrade whose full package download stalls after stallAfter bytes,
    // and waits until the download has reached the server.
    bool launchStalledDownload(Run &run, HttpServer &server, qint64 stallAfter, QString *error);
    void click(Run &run, View view, const char *button);
    bool waitForResult(Run &run, int result, int timeoutMs = 60000);
    void leave(Run &run, Leave how);
    // What every ended upgrade leaves: the log, the history, no temporary files, no servers.
    void checkEnded(Run &run, int result, bool cancelled);
    void checkAfterExit(Run &run, int result);
    void checkTree(const Run &run, const Tree &expected);

    QString fixture(const QString &name) const { return m_fixtures.path() + QLatin1Char('/') + name; }
    QByteArray documentFor(Incremental incremental, Full full, const QString &productUrl = QString()) const;
    QString readHistory(const Run &run, const QString &key) const;
    QStringList messages(const Run &run) const { return run.sandbox.logMessages(); }
    QString copyLog(const Run &run) const;
    void lock(Run &run, const QString &path);

    QTemporaryDir m_fixtures;
    XSession m_x;
    NginxServer m_nginx;
    Tree m_oldTree;
    Tree m_newTree;
    QHash<int, QPoint> m_buttons;
    std::unique_ptr<QTranslator> m_translator;
};

void TestUpgrade::initTestCase()
{
    QVERIFY(m_fixtures.isValid());
    const QString missing = XSession::missingPrograms();
    if (!missing.isEmpty() || NginxServer::executable().isEmpty())
        QSKIP(qPrintable("needs Xvfb, xdotool, xwininfo, imagemagick and nginx (scripts/setup.sh): " + missing));
    QString error;
    QVERIFY2(m_x.start(&error), qPrintable(error));

    // The two versions, the packages between them, and broken copies of them, all served by nginx.
    QVERIFY2(testsupport::writeVersionTree(fixture("old"), kOld, &error), qPrintable(error));
    QVERIFY2(testsupport::writeVersionTree(fixture("new"), kNew, &error), qPrintable(error));
    m_oldTree = testsupport::snapshotTree(fixture("old"));
    m_newTree = testsupport::snapshotTree(fixture("new"));
    QVERIFY(!testsupport::treeDifferences(m_oldTree, m_newTree).isEmpty());
    QDir().mkpath(fixture("www/packages"));
    QVERIFY2(testsupport::makeIncrementalPackage(fixture("old"), fixture("new"),
                                                 fixture("www/packages/client 1.0.0.0-1.1.0.0.pkg"), &error),
             qPrintable(error));
    QVERIFY2(testsupport::makeFullPackage(fixture("new"), fixture("www/packages/client-1.1.0.0-full.pkg"), &error),
             qPrintable(error));
    QVERIFY(QFile::copy(fixture("www/packages/client 1.0.0.0-1.1.0.0.pkg"), fixture("www/packages/corrupt-incremental.pkg")));
    QVERIFY(QFile::copy(fixture("www/packages/client-1.1.0.0-full.pkg"), fixture("www/packages/corrupt-full.pkg")));
    QVERIFY(testsupport::corruptPackage(fixture("www/packages/corrupt-incremental.pkg")));
    QVERIFY(testsupport::corruptPackage(fixture("www/packages/corrupt-full.pkg")));
    QVERIFY(testsupport::writeFile(fixture("www/product.html"), "<html>sample client</html>"));
    QVERIFY2(m_nginx.start(fixture("www"), &error), qPrintable(error));

    // A browser stand-in: "Manual Update" opens the product page through xdg-open.
    QVERIFY(testsupport::writeFile(fixture("browser/xdg-open"),
                                   "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$HOME/opened-urls.txt\"\n"));
    QVERIFY(QFile::setPermissions(fixture("browser/xdg-open"), QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner));

    // Where the dialog's buttons lie: the same dialog laid out here for the same screen, skin,
    // font and language as the updater under the virtual display uses.
    utility::setScreenSource([] {
        return QList<utility::ScreenFacts>{ { QRect(0, 0, XSession::kWidth, XSession::kHeight), XSession::kDpi,
                                              XSession::kDpi } };
    });
    ui::loadSkin(qApp);
    QApplication::setFont(QFont(app::kAppFontFamily));
    m_translator = std::make_unique<QTranslator>();
    QVERIFY(m_translator->load(QStringLiteral(":/translations/solupdate_en.qm")));
    QApplication::installTranslator(m_translator.get());
    for (View view : { View::Updating, View::Success, View::Failure, View::CancelSuccess }) {
        ui::UpgradeDialogNew dialog;
        if (view == View::Success)
            dialog.setUpgradeResult(true);
        else if (view == View::Failure)
            dialog.setUpgradeResult(false);
        else if (view == View::CancelSuccess)
            dialog.setCancelResult(true);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        for (const char *name : { "btnUpdate", "btnIgnore" }) {
            auto *button = dialog.findChild<QPushButton *>(QLatin1String(name));
            QVERIFY(button);
            if (button->isVisible())
                m_buttons.insert(int(view) * 2 + (qstrcmp(name, "btnIgnore") == 0),
                                 button->mapTo(&dialog, button->rect().center()));
        }
    }
    QCOMPARE(m_buttons.size(), 6);
}

void TestUpgrade::cleanupTestCase()
{
    m_nginx.stop();
    m_x.stop();
}

void TestUpgrade::lock(Run &run, const QString &path)
{
    if (::geteuid() != 0)
        QSKIP("locking a file against root's removal needs chattr as root");
    QCOMPARE(QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), path }), 0);
    run.locked << path;
    QVERIFY(isImmutable(path));
}

QByteArray TestUpgrade::documentFor(Incremental incremental, Full full, const QString &productUrl) const
{
    testsupport::UpdateDocument doc;
    doc.productUrl = productUrl;
    doc.fullUrl = m_nginx.url(full == Full::Good      ? "/packages/client-1.1.0.0-full.pkg"
                              : full == Full::Corrupt ? "/packages/corrupt-full.pkg"
                                                      : "/packages/no-such-full.pkg")
                          .toString();
    if (incremental == Incremental::Good || incremental == Incremental::OtherVersion)
        doc.incrementals << qMakePair(m_nginx.url("/packages/client 1.0.0.0-1.1.0.0.pkg").toString(),
                                      incremental == Incremental::Good ? kOld : QStringLiteral("0.9.0.0"));
    else if (incremental == Incremental::Corrupt)
        doc.incrementals << qMakePair(m_nginx.url("/packages/corrupt-incremental.pkg").toString(), kOld);
    return testsupport::updateDocument(doc);
}

bool TestUpgrade::prepare(Run &run, const QByteArray &document, bool withPatchTool)
{
    UpdaterSandbox &box = run.sandbox;
    if (!box.isValid() || !box.writeDefaultConfig())
        return false;
    if (!withPatchTool && !QFile::remove(box.binDir() + "/hpatchz"))
        return false;
    if (!testsupport::writeVersionTree(box.installDir(), kOld))
        return false;
    // A desktop session has its desktop directory; the shortcut goes there.
    if (!QDir().mkpath(box.home() + "/Desktop"))
        return false;
    // What the check run left behind.
    if (!testsupport::writeFile(box.localDataDir() + "/update_teacher.json", document))
        return false;
    run.parameters = box.defaultParameters();
    run.parameters.action = app::kActionUpgrade;
    run.environment = m_x.environment(box.environment());
    run.environment.insert("PATH", fixture("browser") + ":" + run.environment.value("PATH"));
    // The master, running from the installation, as when the user accepted the offer.
    run.client.setProcessEnvironment(run.environment);
    run.client.start(box.clientPath(), QStringList());
    return run.client.waitForStarted(10000) && run.client.waitForReadyRead(10000);
}

bool TestUpgrade::launch(Run &run, QString *error)
{
    run.started = uint(QDateTime::currentSecsSinceEpoch());
    QProcess handOff;
    handOff.setProcessEnvironment(run.environment);
    handOff.start(run.sandbox.updaterPath(), run.parameters.toArguments());
    const qint64 handOffPid = handOff.waitForStarted(10000) ? handOff.processId() : -1;
    if (handOffPid < 0 || !handOff.waitForFinished(60000)) {
        *error = "the hand-off did not run";
        return false;
    }
    if (handOff.exitStatus() != QProcess::NormalExit || handOff.exitCode() != 255) {
        *error = QStringLiteral("the hand-off ended with %1").arg(handOff.exitCode());
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000) {
        for (const QString &log : run.sandbox.logFiles()) {
            const qint64 pid = pidOfLog(log);
            if (pid != handOffPid && QFileInfo(log).absolutePath() == QDir(run.sandbox.logDir()).absolutePath()
                && testsupport::readFile(log).contains("\"mainapplication initialize\""))
                run.copyPid = pid;
        }
        if (run.copyPid) {
            const QList<quint64> windows = m_x.visibleWindowsOf(run.copyPid);
            if (!windows.isEmpty()) {
                run.window = windows.first();
                return true;
            }
            if (processGone(run.copyPid))
                break;
        }
        QTest::qWait(50);
    }
    *error = QStringLiteral("no dialog of the upgrade copy (pid %1): %2\nhand-off stderr: %3")
                     .arg(run.copyPid)
                     .arg(messages(run).join('\n'), QString::fromLocal8Bit(handOff.readAllStandardError()));
    return false;
}

QString TestUpgrade::copyLog(const Run &run) const
{
    for (const QString &log : run.sandbox.logFiles()) {
        if (pidOfLog(log) == run.copyPid)
            return QString::fromUtf8(testsupport::readFile(log));
    }
    return QString();
}

bool TestUpgrade::launchStalledDownload(Run &run, HttpServer &server, qint64 stallAfter, QString *error)
{
    if (!server.listen()) {
        *error = "the test server does not listen";
        return false;
    }
    HttpServer::Route stall;
    stall.filePath = fixture("www/packages/client-1.1.0.0-full.pkg");
    stall.stall = true;
    stall.stallAfter = stallAfter;
    server.setRoute("/full.pkg", stall);
    testsupport::UpdateDocument doc;
    doc.fullUrl = server.url("/full.pkg").toString();
    if (!prepare(run, testsupport::updateDocument(doc))) {
        *error = "the installation could not be prepared";
        return false;
    }
    QSignalSpy requested(&server, &HttpServer::requestReceived);
    if (!launch(run, error))
        return false;
    if (requested.count() == 0 && !requested.wait(20000)) {
        *error = "the package download never reached the server";
        return false;
    }
    return true;
}

void TestUpgrade::click(Run &run, View view, const char *button)
{
    const int key = int(view) * 2 + (qstrcmp(button, "btnIgnore") == 0);
    QVERIFY2(m_buttons.contains(key), button);
    QRect geometry;
    QVERIFY(m_x.geometry(run.window, &geometry));
    QVERIFY(m_x.click(geometry.topLeft() + m_buttons.value(key)));
}

bool TestUpgrade::waitForResult(Run &run, int result, int timeoutMs)
{
    const QString line = QStringLiteral("Info: upgrade runner doloop complete, result:%1").arg(result);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const QStringList all = messages(run);
        if (all.contains(line))
            return true;
        if (all.filter("upgrade runner doloop complete").size() > 0 || processGone(run.copyPid)) {
            qWarning().noquote() << "ended otherwise:\n" << all.join('\n');
            return false;
        }
        QTest::qWait(50);
    }
    qWarning().noquote() << "no end in time:\n" << messages(run).join('\n');
    return false;
}

void TestUpgrade::leave(Run &run, Leave how)
{
    switch (how) {
    case Leave::OpenClient:
        click(run, View::Success, "btnUpdate");
        break;
    case Leave::CloseButton:
        click(run, View::Success, "btnIgnore");
        break;
    case Leave::WindowClose:
        QVERIFY(m_x.requestClose(run.window));
        break;
    case Leave::ManualUpdate:
        click(run, View::Failure, "btnUpdate");
        break;
    }
    QTRY_VERIFY_WITH_TIMEOUT(processGone(run.copyPid), 20000);
}

QString TestUpgrade::readHistory(const Run &run, const QString &key) const
{
    QSettings history(run.sandbox.historyPath(), QSettings::IniFormat);
    history.setIniCodec(app::kIniCodec);
    return history.value(app::kHistoryGroup + QLatin1Char('/') + key).toString();
}

void TestUpgrade::checkEnded(Run &run, int result, bool cancelled)
{
    const QStringList all = messages(run);
    QCOMPARE(all.filter(QRegularExpression("^Info: upgrade runner reportResult, result:\\d+$")),
             QStringList{ QStringLiteral("Info: upgrade runner reportResult, result:%1").arg(result) });
    // The history is written right after the result is logged.
    QTRY_COMPARE_WITH_TIMEOUT(readHistory(run, app::kHistoryLastUpgradeStatus), QString::number(result), 5000);
    QCOMPARE(readHistory(run, app::kHistoryCancelled), cancelled ? QStringLiteral("1") : QStringLiteral("0"));
    const uint upgradeTime = readHistory(run, app::kHistoryLastUpgradeTime).toUInt();
    QVERIFY2(upgradeTime >= run.started && upgradeTime <= uint(QDateTime::currentSecsSinceEpoch()),
             qPrintable(readHistory(run, app::kHistoryLastUpgradeTime)));

    // The guards are released as soon as the loop has ended, while the dialog may still show.
    const QString server = run.sandbox.home() + "/tmp/" + app::kLocalServerPrefix + app::kActionUpgrade;
    if (!processGone(run.copyPid)) {
        QVERIFY2(!QFileInfo::exists(server), qPrintable(server));
        QLocalSocket probe;
        probe.connectToServer(server);
        QVERIFY(!probe.waitForConnected(1000));
    }

    // The master was ended before any file was touched.
    QTRY_VERIFY_WITH_TIMEOUT(run.client.state() == QProcess::NotRunning, 5000);
    QCOMPARE(run.client.exitStatus(), QProcess::CrashExit);

    // A shortcut and the version in the program list after a success only.
    const QFileInfo shortcut(run.sandbox.home() + "/Desktop/" + kShortcut);
    QSettings uninstall(run.sandbox.home() + "/.config/uninstall.ini", QSettings::IniFormat);
    if (result == 0) {
        QVERIFY2(shortcut.isSymLink(), qPrintable(shortcut.filePath()));
        QCOMPARE(shortcut.symLinkTarget(), run.parameters.exePath);
        QCOMPARE(uninstall.value("Tandemo_Teacher/DisplayVersion").toString(), kNew);
    } else {
        QVERIFY(!shortcut.exists() && !shortcut.isSymLink());
        QVERIFY(!uninstall.contains("Tandemo_Teacher/DisplayVersion"));
    }
}

void TestUpgrade::checkAfterExit(Run &run, int result)
{
    const QStringList all = messages(run);
    QCOMPARE(all.filter("main runner run complete").size(), 1);
    QVERIFY2(all.contains(QStringLiteral("Info: upgrade runner doloop complete, result:%1").arg(result)),
             qPrintable(all.join('\n')));
    QVERIFY2(all.filter(QRegularExpression("^Critical: .*(crash|Destroyed while)")).isEmpty(), qPrintable(all.join('\n')));
    // Package files, output directories and the backup (with the copy that ran from it) are gone:
    // only the description and the history stay in the local data directory.
    QStringList left = QDir(run.sandbox.localDataDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    left.sort();
    QCOMPARE(left, QStringList({ "solupdate_history_teacher.ini", "update_teacher.json" }));
}

void TestUpgrade::checkTree(const Run &run, const Tree &expected)
{
    const QString differences = testsupport::treeDifferences(expected, testsupport::snapshotTree(run.sandbox.installDir()));
    QVERIFY2(differences.isEmpty(), qPrintable(differences));
}

void TestUpgrade::runsToTheEnd_data()
{
    QTest::addColumn<Incremental>("incremental");
    QTest::addColumn<Full>("full");
    QTest::addColumn<bool>("withPatchTool");
    QTest::addColumn<int>("result");
    QTest::addColumn<Leave>("leaveBy");
    // Log lines that must appear in this order.
    QTest::addColumn<QStringList>("path");

    const QString incStart = "Info: upgrade runner start, next_state:1";
    const QString fullStart = "Info: upgrade runner start, next_state:3";
    const QString incApplied = "Info: upgrader finished, exitCode = 0,status = 0";
    const QString tryFull = "Info: upgrade runner try full package";
    const QString restoreInc = "Info: upgrade runner fallback upgrade package";
    const QString restoreFull = "Info: upgrade runner fallback full package";
    const QString cannotStart = "Critical: upgrader process Error = 0";

    QTest::newRow("incremental succeeds") << Incremental::Good << Full::Good << true << 0 << Leave::OpenClient
                                          << QStringList{ incStart, "Info: upgrade runner upgrade upgrade package",
                                                          incApplied,
                                                          "Info: upgrade runner upgrade upgrade package complete, result:0" };
    QTest::newRow("no incremental for this version")
            << Incremental::OtherVersion << Full::Good << true << 0 << Leave::CloseButton
            << QStringList{ fullStart, "Info: upgrade runner download full pakcage",
                            "Info: upgrade runner upgrade full package complete, result:0" };
    QTest::newRow("corrupt incremental, restored, full succeeds")
            << Incremental::Corrupt << Full::Good << true << 0 << Leave::CloseButton
            << QStringList{ incStart, "Info: upgrade runner upgrade upgrade package complete, result:7", restoreInc,
                            "Info: upgrade runner fallback upgrade package complete, result:0", tryFull,
                            "Info: upgrade runner upgrade full package complete, result:0" };
    QTest::newRow("corrupt full, restored") << Incremental::None << Full::Corrupt << true << 7 << Leave::ManualUpdate
                                            << QStringList{ fullStart,
                                                            "Info: upgrade runner upgrade full package complete, result:7",
                                                            restoreFull,
                                                            "Info: upgrade runner fallback full package complete, result:0" };
    QTest::newRow("full package missing on the server")
            << Incremental::None << Full::Missing << true << 4 << Leave::WindowClose
            << QStringList{ fullStart, "Info: upgrade runner on download complete, result:0",
                            "Info: upgrade runner download full package complete, result:4" };
    QTest::newRow("patch tool missing, restored twice")
            << Incremental::Good << Full::Good << false << 7 << Leave::WindowClose
            << QStringList{ incStart, cannotStart, restoreInc, "Info: upgrade runner fallback upgrade package complete, result:0",
                            tryFull, cannotStart, restoreFull, "Info: upgrade runner fallback full package complete, result:0" };
}

void TestUpgrade::runsToTheEnd()
{
    QFETCH(Incremental, incremental);
    QFETCH(Full, full);
    QFETCH(bool, withPatchTool);
    QFETCH(int, result);
    QFETCH(Leave, leaveBy);
    QFETCH(QStringList, path);

    Run run;
    const QString productUrl = m_nginx.url("/product.html").toString();
    QVERIFY(prepare(run, documentFor(incremental, full, productUrl), withPatchTool));
    QString error;
    QVERIFY2(launch(run, &error), qPrintable(error));
    QVERIFY(waitForResult(run, result));

    const QStringList all = messages(run);
    int at = 0;
    for (const QString &line : qAsConst(path)) {
        const int found = all.indexOf(line, at);
        QVERIFY2(found >= 0, qPrintable(QStringLiteral("missing or out of order: %1\n%2").arg(line, all.join('\n'))));
        at = found + 1;
    }
    checkEnded(run, result, false);
    checkTree(run, result == 0 ? m_newTree : m_oldTree);
    // Each package is fetched once per attempt from the web server.
    const QByteArray access = m_nginx.accessLog();
    QVERIFY(access.contains("GET /packages/"));

    leave(run, leaveBy);
    checkAfterExit(run, result);
    checkTree(run, result == 0 ? m_newTree : m_oldTree);

    if (leaveBy == Leave::OpenClient) {
        // "Open Client Program" starts the new client.
        QVERIFY2(messages(run).contains("Info: upgrade runner on open master"), qPrintable(messages(run).join('\n')));
        QList<qint64> clients;
        QTRY_VERIFY_WITH_TIMEOUT(!(clients = processesOf(run.sandbox.clientPath())).isEmpty(), 10000);
        for (qint64 pid : qAsConst(clients))
            ::kill(pid_t(pid), SIGKILL);
    }
    if (leaveBy == Leave::ManualUpdate) {
        QCOMPARE(testsupport::readFile(run.sandbox.home() + "/opened-urls.txt"), productUrl.toUtf8() + "\n");
        QVERIFY(messages(run).contains("Info: upgrade runner on manual upgrade"));
    }
}

void TestUpgrade::cancelDuringDownload()
{
    HttpServer server;
    Run run;
    QString error;
    QVERIFY2(launchStalledDownload(run, server, 100, &error), qPrintable(error));

    click(run, View::Updating, "btnUpdate");
    QVERIFY(waitForResult(run, 3));
    const QStringList all = messages(run);
    QVERIFY2(all.contains("Info: upgrade runner on cancel"), qPrintable(all.join('\n')));
    QVERIFY(all.contains("Info: upgrade runner cancel, current_state:3, next_state:4"));
    // The abort may come back as the cancel or as a failed download; the outcome is the cancel.
    QVERIFY(all.contains("Info: package downloader cancel"));
    QVERIFY(all.filter("run upgrader").isEmpty());
    checkEnded(run, 3, true);
    checkTree(run, m_oldTree);
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 5000);

    leave(run, Leave::CloseButton);
    checkAfterExit(run, 3);
    checkTree(run, m_oldTree);
}

void TestUpgrade::cancelDuringApplication()
{
    // The incremental package arrives slowly; meanwhile an old file it reads becomes a pipe, so
    // the patch tool waits in its open until the test lets it go on: the application is running
    // for as long as the test needs.
    HttpServer server;
    QVERIFY(server.listen());
    HttpServer::Route slow;
    slow.filePath = fixture("www/packages/client 1.0.0.0-1.1.0.0.pkg");
    slow.trickleBytes = int(QFileInfo(slow.filePath).size() / 4 + 1);
    slow.trickleIntervalMs = 100;
    server.setRoute("/incremental.pkg", slow);
    testsupport::UpdateDocument doc;
    doc.fullUrl = m_nginx.url("/packages/client-1.1.0.0-full.pkg").toString();
    doc.incrementals << qMakePair(server.url("/incremental.pkg").toString(), kOld);

    Run run;
    QVERIFY(prepare(run, testsupport::updateDocument(doc)));
    QSignalSpy requested(&server, &HttpServer::requestReceived);
    QString error;
    QVERIFY2(launch(run, &error), qPrintable(error));
    QVERIFY(requested.count() > 0 || requested.wait(20000));
    const QString pipe = run.sandbox.installDir() + QLatin1Char('/') + testsupport::kSampleDeltaFile;
    QVERIFY(QFile::remove(pipe));
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);

    QTRY_VERIFY_WITH_TIMEOUT(messages(run).contains("Info: upgrader process started"), 20000);
    const QString backupTool = run.sandbox.localDataDir() + "/install_backup/hpatchz";
    QTRY_VERIFY_WITH_TIMEOUT(!processesOf(backupTool).isEmpty(), 10000);
    click(run, View::Updating, "btnUpdate");
    QTRY_VERIFY_WITH_TIMEOUT(messages(run).contains("Info: upgrade runner cancel, current_state:5, next_state:6"), 10000);
    // The running tool is not interrupted by the cancel.
    QVERIFY(!processesOf(backupTool).isEmpty());
    QVERIFY(!messages(run).filter("upgrade runner doloop complete").size());

    const int fd = ::open(QFile::encodeName(pipe).constData(), O_WRONLY);
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(waitForResult(run, 3));
    const QStringList all = messages(run);
    QVERIFY(all.contains("Info: upgrade runner upgrade upgrade package complete, result:7"));
    QVERIFY(all.contains("Info: upgrade runner fallback upgrade package complete, result:0"));
    QVERIFY2(!all.contains("Info: upgrade runner try full package"), qPrintable(all.join('\n')));
    checkEnded(run, 3, true);
    checkTree(run, m_oldTree);

    leave(run, Leave::CloseButton);
    checkAfterExit(run, 3);
}

void TestUpgrade::dialogClosedWhileUpdating()
{
    HttpServer server;
    Run run;
    QString error;
    QVERIFY2(launchStalledDownload(run, server, 0, &error), qPrintable(error));

    QVERIFY(m_x.requestClose(run.window));
    // The process quits by itself: no further input.
    QTRY_VERIFY_WITH_TIMEOUT(processGone(run.copyPid), 20000);
    const QStringList all = messages(run);
    QVERIFY2(all.contains("Info: upgrade runner on dialog closed"), qPrintable(all.join('\n')));
    QVERIFY(all.contains("Info: package downloader cancel"));
    checkEnded(run, 11, false);
    checkAfterExit(run, 11);
    checkTree(run, m_oldTree);
}

void TestUpgrade::secondInstanceBringsDialogForward()
{
    HttpServer server;
    Run run;
    QString error;
    QVERIFY2(launchStalledDownload(run, server, 0, &error), qPrintable(error));

    // Another window covers the dialog.
    QProcess cover;
    cover.setProcessEnvironment(run.environment);
    cover.start("xlogo", { "-geometry", QStringLiteral("%1x%2+0+0").arg(XSession::kWidth).arg(XSession::kHeight) });
    QVERIFY(cover.waitForStarted(10000));
    QList<quint64> covers;
    QTRY_VERIFY_WITH_TIMEOUT(!(covers = m_x.visibleWindowsOf(cover.processId())).isEmpty()
                                     || !m_x.stackingOrder().isEmpty(),
                             10000);
    auto dialogOnTop = [&]() {
        const QList<quint64> order = m_x.stackingOrder();
        const int dialog = order.indexOf(run.window);
        if (dialog < 0)
            return false;
        for (int i = dialog + 1; i < order.size(); ++i) {
            QRect g;
            if (m_x.geometry(order.at(i), &g) && g.width() >= XSession::kWidth)
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!dialogOnTop(), 10000);

    // The master starts the updater again, here for an upgrade of its own.
    app::LaunchParameters again = run.parameters;
    QProcess second;
    second.setProcessEnvironment(run.environment);
    second.start(run.sandbox.updaterPath(), again.toArguments());
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(copyLog(run).contains("\"another process try to run. active this.\""), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(dialogOnTop(), 10000);
    QVERIFY(messages(run).contains("Info: upgrade process is running."));
    cover.kill();
    cover.waitForFinished(5000);

    // The upgrade went on undisturbed; closing the window ends it.
    QVERIFY(!processGone(run.copyPid));
    QVERIFY(m_x.requestClose(run.window));
    QTRY_VERIFY_WITH_TIMEOUT(processGone(run.copyPid), 20000);
    checkEnded(run, 11, false);
    checkAfterExit(run, 11);
    checkTree(run, m_oldTree);
}

void TestUpgrade::restoreCannotPutFileBack()
{
    // The full package fails, and the restore meets a file it can neither replace nor move aside.
    Run run;
    QVERIFY(prepare(run, documentFor(Incremental::None, Full::Corrupt)));
    lock(run, run.sandbox.installDir() + "/data/unchanged.bin");
    QString error;
    QVERIFY2(launch(run, &error), qPrintable(error));
    QVERIFY(waitForResult(run, 9));
    QVERIFY(messages(run).contains("Info: upgrade runner fallback full package complete, result:9"));
    checkEnded(run, 9, false);
    // Every other file is back.
    Tree tree = testsupport::snapshotTree(run.sandbox.installDir());
    QVERIFY2(testsupport::treeDifferences(m_oldTree, tree).isEmpty(),
             qPrintable(testsupport::treeDifferences(m_oldTree, tree)));
    leave(run, Leave::WindowClose);
    checkAfterExit(run, 9);
}

void TestUpgrade::fileThatCannotBeRemoved()
{
    // A file the new version no longer has is locked: the upgrade succeeds and leaves it.
    Run run;
    QVERIFY(prepare(run, documentFor(Incremental::Good, Full::Good)));
    const QString locked = run.sandbox.installDir() + QLatin1Char('/') + testsupport::kSampleRemovedFile;
    lock(run, locked);
    QString error;
    QVERIFY2(launch(run, &error), qPrintable(error));
    QVERIFY(waitForResult(run, 0));
    checkEnded(run, 0, false);
    Tree expected = m_newTree;
    expected.insert(testsupport::kSampleRemovedFile, m_oldTree.value(testsupport::kSampleRemovedFile));
    checkTree(run, expected);
    leave(run, Leave::CloseButton);
    checkAfterExit(run, 0);
    checkTree(run, expected);
}

QTEST_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
