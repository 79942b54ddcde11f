#include "runnertestkit.h"
#include "upgrade/treecompare.h"

#include "app/historyconfig.h"
#include "app/launchparameters.h"
#include "app/mainapplication.h"
#include "common/logcapture.h"
#include "httpserver/httpserver.h"
#include "runner/constants.h"
#include "runner/upgraderunner.h"
#include "ui/upgradedialognew.h"
#include "utility/fileutils.h"
#include "versioninfo/versioninfowriter.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <functional>

using runner::UpgradeRunner;
using testsupport::HttpServer;
using testsupport::LogCapture;
using ui::UpgradeDialogNew;

namespace {

const QString kInstalled = QStringLiteral("1.0.0.0");
const QString kTarget = QStringLiteral("1.1.0.0");

app::MainApplication *application()
{
    return app::MainApplication::instance();
}

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
    auto *button = dialog->findChild<QPushButton *>(QLatin1String(name));
    QVERIFY(button && button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
}

// What the user does on the result page: "Close" after a success or a successful cancel, the
// window's own close otherwise. Returns true once a result was shown and acted on.
bool leaveResultPage(UpgradeDialogNew *dialog, int *shownState)
{
    switch (dialog->state()) {
    case UpgradeDialogNew::UpgradeSucceeded:
    case UpgradeDialogNew::CancelSucceeded:
        *shownState = dialog->state();
        click(dialog, "btnIgnore");
        return true;
    case UpgradeDialogNew::UpgradeFailed:
    case UpgradeDialogNew::CancelFailed:
        *shownState = dialog->state();
        dialog->close();
        return true;
    default:
        return false;
    }
}

QList<int> visitedStates(const LogCapture &log)
{
    QList<int> states;
    const QString prefix = QStringLiteral("upgrade runner doloop, state:");
    for (const QString &text : log.textsStartingWith(prefix))
        states << text.mid(prefix.size()).section(QLatin1Char(','), 0, 0).toInt();
    return states;
}

QVariant historyValue(const QString &key)
{
    QSettings settings(application()->historyFilePath(), QSettings::IniFormat);
    return settings.value(QStringLiteral("history/") + key);
}

QVariant displayVersion()
{
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/uninstall.ini";
    QSettings settings(path, QSettings::IniFormat);
    return settings.value(QStringLiteral("Tandemo_Teacher/DisplayVersion"));
}

QString shortcutPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + "/" + runner::kShortcutTeacher
            + runner::kShortcutSuffix;
}

} // namespace

// The upgrade runner in this process, against a web server on 127.0.0.1, the real patch tool and
// packages made at test time: the states it walks through, its outcome in the dialog, the history,
// the log and the installation, and the user's buttons.
class TestUpgradeRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void scenario_data();
    void scenario();
    void cancelDuringDownload();
    void dialogClosedDuringDownload();
    void unsafePackageNames_data();
    void unsafePackageNames();
    void manualUpgradeOpensOnlyWebPages_data();
    void manualUpgradeOpensOnlyWebPages();

private:
    void writeDocument(bool withIncremental, const QString &incrementalName, const QString &fullName,
                       const QString &productUrl = QStringLiteral("https://example.invalid/client"));
    // Runs the runner's event loop while act is called every 20 ms with the dialog until it
    // returns true; a run that does not end within a minute is ended and fails the test.
    int runUpgrade(std::function<bool(UpgradeDialogNew *)> act);
    QStringList dataDirLeftovers() const;

    QTemporaryDir m_dir;
    HttpServer m_server;
    QString m_oldDir;
    QString m_newDir;
    QString m_serveDir;
    testsupport::Tree m_oldSnapshot;
    testsupport::Tree m_newSnapshot;
    bool m_timedOut = false;
};

void TestUpgradeRunner::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_oldDir = m_dir.filePath("old");
    m_newDir = m_dir.filePath("new");
    m_serveDir = m_dir.filePath("serve");
    QVERIFY(runnertest::writeTree(m_oldDir, { { "lib/core.dll", QByteArray(5000, 'x') + "1.0" },
                                              { "res/old.txt", "only in 1.0" },
                                              { "readme.txt", "read me" } }));
    QVERIFY(testsupport::writeFileWithVersionInfo(m_oldDir + "/Client.exe", kInstalled));
    QVERIFY(runnertest::writeTree(m_newDir, { { "lib/core.dll", QByteArray(5000, 'x') + "1.1" },
                                              { "lib/new.dll", "only in 1.1" },
                                              { "readme.txt", "read me" } }));
    QVERIFY(testsupport::writeFileWithVersionInfo(m_newDir + "/Client.exe", kTarget));
    m_oldSnapshot = testsupport::snapshotTree(m_oldDir);
    m_newSnapshot = testsupport::snapshotTree(m_newDir);

    QVERIFY(runnertest::writeTree(m_serveDir, {}));
    QVERIFY(runnertest::makePackage(m_oldDir, m_newDir, m_serveDir + "/good_incremental.pkg"));
    QVERIFY(runnertest::makeFullPackage(m_newDir, m_serveDir + "/good_full.pkg"));
    for (const char *name : { "corrupt_incremental.pkg", "corrupt_full.pkg" }) {
        QFile file(m_serveDir + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, '\x42'));
    }
    m_server.setRoot(m_serveDir);
    QVERIFY(m_server.listen());
}

void TestUpgradeRunner::init()
{
    app::MainApplication *app = application();
    QDir(app->installDir()).removeRecursively();
    QVERIFY(utility::copyDirectoryFiles(m_oldDir, app->installDir(), true, 1));
    QDir(app->backupDirPath()).removeRecursively();
    QVERIFY(utility::copyDirectoryFiles(m_oldDir, app->backupDirPath(), true, 1));
    QVERIFY(runnertest::installRealTool());
    QFile::remove(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/uninstall.ini");
    QFile::remove(shortcutPath());
    // The shortcut goes onto an existing desktop, as on any user's machine.
    QVERIFY(QDir().mkpath(QFileInfo(shortcutPath()).absolutePath()));
    m_timedOut = false;
}

void TestUpgradeRunner::cleanup()
{
    runnertest::removeTool();
}

void TestUpgradeRunner::writeDocument(bool withIncremental, const QString &incrementalName, const QString &fullName,
                                      const QString &productUrl)
{
    QJsonArray upgrades;
    if (withIncremental)
        upgrades.append(QJsonObject{ { "download_url", m_server.url("/" + incrementalName).toString() },
                                     { "version_required", kInstalled } });
    const QJsonObject package{ { "upgrade_packages", upgrades },
                               { "full_package", QJsonObject{ { "download_url", m_server.url("/" + fullName).toString() } } } };
    const QJsonObject config{ { "name", "client" },
                              { "version", kTarget },
                              { "content", QJsonObject{ { "cn", "更新" }, { "en", "update" } } },
                              { "title", "Update" },
                              { "product_url", productUrl },
                              { "package", package } };
    const QJsonObject root{ { "strategy", QJsonObject{ { "force", false } } }, { "config", config } };
    QFile file(runner::updateInfoFilePath(application()->role()));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(root).toJson());
}

int TestUpgradeRunner::runUpgrade(std::function<bool(UpgradeDialogNew *)> act)
{
    const auto upgradeRunner = std::make_shared<UpgradeRunner>();
    if (!upgradeRunner->initialize())
        return -1000;
    QTimer actor;
    actor.setInterval(20);
    connect(&actor, &QTimer::timeout, this, [&] {
        if (UpgradeDialogNew *dialog = findDialog(); dialog && act(dialog))
            actor.stop();
    });
    actor.start();
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        QCoreApplication::quit();
    });
    watchdog.start(60000);
    return upgradeRunner->run();
}

QStringList TestUpgradeRunner::dataDirLeftovers() const
{
    // What the run leaves in the data directory besides the description and the history.
    QDir dir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    QStringList names = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    names.removeAll(QFileInfo(runner::updateInfoFilePath(application()->role())).fileName());
    names.removeAll(QFileInfo(application()->historyFilePath()).fileName());
    return names;
}

void TestUpgradeRunner::scenario_data()
{
    QTest::addColumn<bool>("withIncremental");
    QTest::addColumn<QString>("incremental");
    QTest::addColumn<QString>("full");
    QTest::addColumn<bool>("toolMissing");
    QTest::addColumn<bool>("backupMissing");
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("upgraded");

    const QString none;
    // The update description object keeps the packages of every parse of this process, so the
    // rows without an incremental entry come first, and later tests name an unserved one.
    QTest::newRow("no incremental entry") << false << none << "good_full.pkg" << false << false
                                          << QList<int>{ 3, 4, 7, 8 } << 0 << true;
    QTest::newRow("full fails, restored") << false << none << "corrupt_full.pkg" << false << false
                                          << QList<int>{ 3, 4, 7, 8, 11, 12 } << 7 << false;
    QTest::newRow("full fails, restore fails") << false << none << "corrupt_full.pkg" << false << true
                                               << QList<int>{ 3, 4, 7, 8, 11, 12 } << 9 << false;
    QTest::newRow("full download 404") << false << none << "missing_full.pkg" << false << false
                                       << QList<int>{ 3, 4 } << 4 << false;
    QTest::newRow("incremental success") << true << "good_incremental.pkg" << "good_full.pkg" << false << false
                                         << QList<int>{ 1, 2, 5, 6 } << 0 << true;
    QTest::newRow("incremental fails, full succeeds")
            << true << "corrupt_incremental.pkg" << "good_full.pkg" << false << false
            << QList<int>{ 1, 2, 5, 6, 9, 10, 3, 4, 7, 8 } << 0 << true;
    QTest::newRow("incremental 404, full succeeds") << true << "missing_incremental.pkg" << "good_full.pkg" << false
                                                    << false << QList<int>{ 1, 2, 3, 4, 7, 8 } << 0 << true;
    // The tool's failure to start arrives after the handler returned, so the loop restores and
    // tries the full package as after any other failure.
    QTest::newRow("tool missing") << true << "good_incremental.pkg" << "good_full.pkg" << true << false
                                  << QList<int>{ 1, 2, 5, 6, 9, 10, 3, 4, 7, 8, 11, 12 } << 7 << false;
}

void TestUpgradeRunner::scenario()
{
    QFETCH(bool, withIncremental);
    QFETCH(QString, incremental);
    QFETCH(QString, full);
    QFETCH(bool, toolMissing);
    QFETCH(bool, backupMissing);
    QFETCH(QList<int>, states);
    QFETCH(int, result);
    QFETCH(bool, upgraded);
    writeDocument(withIncremental, incremental, full);
    if (toolMissing)
        runnertest::removeTool();
    if (backupMissing)
        QVERIFY(QDir(application()->backupDirPath()).removeRecursively());

    LogCapture log;
    int shownState = 0;
    // What the dialog says while the full package is being fetched.
    QString textDuringFullDownload;
    const QMetaObject::Connection watch = connect(&m_server, &HttpServer::requestReceived, this, [&](const QString &path) {
        if (path == "/" + full && findDialog())
            textDuringFullDownload = findDialog()->findChild<QLabel *>("lbLoadingText")->text();
    });
    const int ret = runUpgrade([&](UpgradeDialogNew *dialog) { return leaveResultPage(dialog, &shownState); });
    disconnect(watch);
    QVERIFY(!m_timedOut);
    QCOMPARE(ret, 0);
    QCOMPARE(visitedStates(log), states);
    QVERIFY(log.texts(QtInfoMsg).contains(QStringLiteral("upgrade runner doloop complete, result:%1").arg(result)));
    QCOMPARE(historyValue("LastUpgradeStatus").toInt(), result);
    QCOMPARE(historyValue("Cancelled").toBool(), false);
    QCOMPARE(shownState, int(result == 0 ? UpgradeDialogNew::UpgradeSucceeded : UpgradeDialogNew::UpgradeFailed));
    if (states.contains(3))
        QCOMPARE(textDuringFullDownload, QString(withIncremental ? "Incremental Update Failed" : "Updating"));
    QCOMPARE(testsupport::treeDifferences(upgraded ? m_newSnapshot : m_oldSnapshot, testsupport::snapshotTree(application()->installDir())),
             QString());
    QCOMPARE(dataDirLeftovers(), QStringList());
    if (upgraded) {
        QCOMPARE(displayVersion().toString(), kTarget);
        QCOMPARE(QFileInfo(shortcutPath()).symLinkTarget(), application()->exePath());
    } else {
        QVERIFY(!displayVersion().isValid());
        QVERIFY(!QFileInfo(shortcutPath()).isSymLink());
    }
}

void TestUpgradeRunner::cancelDuringDownload()
{
    // Half the package arrives, which the bar shows as 30 %, and then nothing more.
    QVERIFY(runnertest::writeTree(m_dir.filePath("stall"), { { "stall.bin", QByteArray(10000, 's') } }));
    HttpServer::Route stalled;
    stalled.filePath = m_dir.filePath("stall/stall.bin");
    stalled.stall = true;
    stalled.stallAfter = 5000;
    // Slow pieces, because the network layer reports progress at most every 100 ms.
    stalled.trickleBytes = 1000;
    stalled.trickleIntervalMs = 150;
    const int halfShown = 30;
    m_server.setRoute("/stalled_full.pkg", stalled);
    // The incremental entry's name is refused, so nothing but the full package moves the bar.
    writeDocument(true, "package", "stalled_full.pkg");
    const int earlierRequests = m_server.requestedPaths().count("/stalled_full.pkg");

    LogCapture log;
    int shownState = 0;
    bool cancelled = false;
    const int ret = runUpgrade([&](UpgradeDialogNew *dialog) {
        if (!cancelled) {
            if (m_server.requestedPaths().count("/stalled_full.pkg") == earlierRequests
                || dialog->progress() != halfShown)
                return false;
            cancelled = true;
            click(dialog, "btnUpdate");
            return false;
        }
        return leaveResultPage(dialog, &shownState);
    });
    QVERIFY(!m_timedOut);
    QCOMPARE(ret, 0);
    QCOMPARE(shownState, int(UpgradeDialogNew::CancelSucceeded));
    QCOMPARE(visitedStates(log), (QList<int>{ 1, 3, 4 }));
    QVERIFY(log.texts(QtInfoMsg).contains("upgrade runner doloop complete, result:3"));
    QCOMPARE(historyValue("LastUpgradeStatus").toInt(), 3);
    QCOMPARE(historyValue("Cancelled").toBool(), true);
    QCOMPARE(testsupport::treeDifferences(m_oldSnapshot, testsupport::snapshotTree(application()->installDir())), QString());
    QCOMPARE(dataDirLeftovers(), QStringList());
}

void TestUpgradeRunner::dialogClosedDuringDownload()
{
    HttpServer::Route stalled;
    stalled.filePath = m_serveDir + "/good_full.pkg";
    stalled.stall = true;
    stalled.stallAfter = 100;
    m_server.setRoute("/stalled_full.pkg", stalled);
    // The incremental entry's name is refused, so nothing but the full package moves the bar.
    writeDocument(true, "package", "stalled_full.pkg");
    const int earlierRequests = m_server.requestedPaths().count("/stalled_full.pkg");

    LogCapture log;
    const int ret = runUpgrade([&](UpgradeDialogNew *dialog) {
        if (m_server.requestedPaths().count("/stalled_full.pkg") == earlierRequests)
            return false;
        dialog->close();
        return true;
    });
    // The loop quits by itself once the cancel is done.
    QVERIFY(!m_timedOut);
    QCOMPARE(ret, 0);
    QVERIFY(log.texts(QtInfoMsg).contains("upgrade runner doloop complete, result:11"));
    QCOMPARE(historyValue("LastUpgradeStatus").toInt(), 11);
    QCOMPARE(testsupport::treeDifferences(m_oldSnapshot, testsupport::snapshotTree(application()->installDir())), QString());
    QCOMPARE(dataDirLeftovers(), QStringList());
}

void TestUpgradeRunner::unsafePackageNames_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("no name") << "/";
    QTest::newRow("dot dot") << "/%2E%2E";
    QTest::newRow("encoded nul") << "/%00.pkg";
    QTest::newRow("encoded backslash") << "/..%5C..%5Cescape.pkg";
    QTest::newRow("no suffix") << "/package";
    QTest::newRow("only a suffix") << "/.pkg";
    QTest::newRow("output dir is the backup") << "/Client_backup.pkg";
    QTest::newRow("the history file") << "/solupdate_history_teacher.ini";
}

void TestUpgradeRunner::unsafePackageNames()
{
    QFETCH(QString, path);
    writeDocument(true, "missing_incremental.pkg", path.mid(1));
    const QStringList requestedBefore = m_server.requestedPaths();

    LogCapture log;
    int shownState = 0;
    const int ret = runUpgrade([&](UpgradeDialogNew *dialog) { return leaveResultPage(dialog, &shownState); });
    QVERIFY(!m_timedOut);
    QCOMPARE(ret, 0);
    QCOMPARE(shownState, int(UpgradeDialogNew::UpgradeFailed));
    QVERIFY(!log.textsStartingWith("upgrade runner package file name refused, url:").isEmpty());
    QVERIFY(log.texts(QtInfoMsg).contains("upgrade runner doloop complete, result:2"));
    // Only the unserved incremental package was asked for; the refused name never was.
    QCOMPARE(m_server.requestedPaths().mid(requestedBefore.size()), QStringList{ "/missing_incremental.pkg" });
    QCOMPARE(testsupport::treeDifferences(m_oldSnapshot, testsupport::snapshotTree(application()->installDir())), QString());
    QCOMPARE(historyValue("LastUpgradeStatus").toInt(), 2);
}

void TestUpgradeRunner::manualUpgradeOpensOnlyWebPages_data()
{
    QTest::addColumn<QString>("productUrl");
    QTest::newRow("file") << "file:///bin/sh";
    QTest::newRow("no scheme") << "/usr/bin/xterm";
    QTest::newRow("javascript") << "javascript:alert(1)";
}

void TestUpgradeRunner::manualUpgradeOpensOnlyWebPages()
{
    QFETCH(QString, productUrl);
    writeDocument(true, "missing_incremental.pkg", "missing_full.pkg", productUrl);

    LogCapture log;
    const int ret = runUpgrade([&](UpgradeDialogNew *dialog) {
        if (dialog->state() != UpgradeDialogNew::UpgradeFailed)
            return false;
        click(dialog, "btnUpdate");
        return true;
    });
    QVERIFY(!m_timedOut);
    QCOMPARE(ret, 0);
    QVERIFY(log.texts(QtInfoMsg).contains("upgrade runner on manual upgrade"));
    QCOMPARE(log.texts(QtCriticalMsg).filter("upgrade runner product url refused"),
             QStringList{ "upgrade runner product url refused, url:" + productUrl });
}

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    QTemporaryDir root;
    const QString exePath = root.path() + "/Client/Client.exe";
    if (!root.isValid() || !testsupport::writeFileWithVersionInfo(exePath, kInstalled))
        return 1;
    app::LaunchParameters parameters;
    parameters.mode = "manual";
    parameters.action = "realUpgrade";
    parameters.role = "teacher";
    parameters.exePath = exePath;
    parameters.updateUrl = "http://127.0.0.1:1/update.json";
    parameters.masterPid = "1";
    parameters.lang = "en";
    parameters.masterHwnd = "0";
    parameters.masterLocalServer = "tst_upgraderunner_master";
    QList<QByteArray> arguments{ QByteArray(argv[0]) };
    for (const QString &argument : parameters.toArguments())
        arguments << argument.toUtf8();
    std::vector<char *> appArgv;
    for (QByteArray &argument : arguments)
        appArgv.push_back(argument.data());
    appArgv.push_back(nullptr);
    int appArgc = int(arguments.size());
    app::MainApplication::choosePlatform(appArgc, appArgv.data());
    app::MainApplication application(appArgc, appArgv.data());
    if (!application.validateCommandLine() || application.productVersion() != kInstalled)
        return 1;
    application.historyConfig()->parseHistory(application.historyFilePath());
    application.threadPool()->setMaxThreadCount(1);
    TestUpgradeRunner test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_upgraderunner.moc"
