#include "app/constants.h"

#include "common/testenv.h"
#include "common/updatersandbox.h"
#include "httpserver/httpserver.h"
#include "versioninfo/versioninfowriter.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

using testsupport::HttpServer;
using testsupport::UpdaterSandbox;

// At most one check and one upgrade at a time, enforced between real processes.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void secondCheckQuits();
    void upgradeGoesOnBesideCheck();
    void runningUpgradeStopsEveryNewcomer_data();
    void runningUpgradeStopsEveryNewcomer();

private:
    // A sandbox whose check stays in its download (the server stalls) until it is killed.
    bool startStalledCheck(UpdaterSandbox &sandbox, HttpServer &server, std::unique_ptr<QProcess> *check);
    // The full path of a single-instance name inside the sandbox's private temporary directory.
    static QString serverPath(const UpdaterSandbox &sandbox, const QString &action)
    {
        return sandbox.home() + "/tmp/" + app::kLocalServerPrefix + action;
    }
};

bool TestSingleInstance::startStalledCheck(UpdaterSandbox &sandbox, HttpServer &server,
                                           std::unique_ptr<QProcess> *check)
{
    if (!sandbox.isValid() || !sandbox.writeDefaultConfig()
        || !testsupport::writeFileWithVersionInfo(sandbox.clientPath(), "1.0.0.0") || !server.listen())
        return false;
    HttpServer::Route stall;
    stall.stall = true;
    stall.body = "{}";
    server.setRoute("/update.json", stall);
    app::LaunchParameters p = sandbox.defaultParameters();
    p.updateUrl = server.url("/update.json").toString();
    *check = sandbox.start(p.toArguments());
    // Running once the request reached the server: the check server listens by then.
    QSignalSpy requested(&server, &HttpServer::requestReceived);
    return requested.wait(20000) && QFileInfo::exists(serverPath(sandbox, app::kActionCheckUpdate));
}

void TestSingleInstance::secondCheckQuits()
{
    UpdaterSandbox sandbox;
    HttpServer server;
    std::unique_ptr<QProcess> first;
    QVERIFY(startStalledCheck(sandbox, server, &first));
    const int logsBefore = sandbox.logFiles().size();
    // The edition's marker lives in the temporary directory, never in the directory the updater
    // was started from.
    const QString marker = app::kSharedMemoryPrefix + "_teacher";
    QVERIFY(QFileInfo::exists(sandbox.home() + "/tmp/" + marker));
    QVERIFY(!QFileInfo::exists(first->workingDirectory() + "/" + marker));

    app::LaunchParameters p = sandbox.defaultParameters();
    p.updateUrl = server.url("/update.json").toString();
    QCOMPARE(sandbox.run(p), 0);
    const QStringList logs = sandbox.logFiles();
    QCOMPARE(logs.size(), logsBefore + 1);
    const QString second = QString::fromUtf8(testsupport::readFile(logs.last()));
    QVERIFY2(second.contains("Info: \"checkupdate server already exists\""), qPrintable(second));
    QVERIFY(second.contains("Debug: \"multi instance running, quit now\""));
    QVERIFY(!second.contains("create mainrunner"));
    QCOMPARE(server.requestedPaths().size(), 1);

    // A check that was killed leaves its name behind; the next check takes it over.
    first->kill();
    first->waitForFinished(5000);
    server.setBody("/update.json", "not json");
    p.mode = "auto";
    QCOMPARE(sandbox.run(p), 255);
    const QString third = QString::fromUtf8(testsupport::readFile(sandbox.logFiles().last()));
    QVERIFY(!third.contains("already exists"));
    QVERIFY2(third.contains("Info: \"checkrunner run\""), qPrintable(third));
}

void TestSingleInstance::upgradeGoesOnBesideCheck()
{
    UpdaterSandbox sandbox;
    HttpServer server;
    std::unique_ptr<QProcess> check;
    QVERIFY(startStalledCheck(sandbox, server, &check));

    app::LaunchParameters p = sandbox.defaultParameters();
    p.action = app::kActionRealUpgrade;
    std::unique_ptr<QProcess> upgrade = sandbox.start(p.toArguments());
    // The upgrade is not stopped: it gets as far as listening on its own name.
    QTRY_VERIFY_WITH_TIMEOUT(sandbox.log().contains("\"upgrade server listening.\""), 20000);
    const QString log = QString::fromUtf8(sandbox.log());
    QVERIFY(log.contains("\"checkupdate server already exists\""));
    QVERIFY(!log.contains("multi instance running"));
    upgrade->kill();
    upgrade->waitForFinished(5000);
    check->kill();
    check->waitForFinished(5000);
}

void TestSingleInstance::runningUpgradeStopsEveryNewcomer_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("a valid check") << QStringList();
    QTest::newRow("a bad command line") << QStringList{ "--mode=never", "--action=nothing" };
    QTest::newRow("nothing at all") << QStringList{ "--role=" };
}

void TestSingleInstance::runningUpgradeStopsEveryNewcomer()
{
    QFETCH(QStringList, arguments);
    UpdaterSandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(sandbox.writeDefaultConfig());
    QVERIFY(testsupport::writeFileWithVersionInfo(sandbox.clientPath(), "1.0.0.0"));
    if (arguments.isEmpty())
        arguments = sandbox.defaultParameters().toArguments();

    // This test is the running upgrade.
    QVERIFY(QDir().mkpath(sandbox.home() + "/tmp"));
    QLocalServer upgrade;
    QVERIFY(upgrade.listen(serverPath(sandbox, app::kActionUpgrade)));
    int connections = 0;
    connect(&upgrade, &QLocalServer::newConnection, this, [&]() {
        while (QLocalSocket *socket = upgrade.nextPendingConnection()) {
            ++connections;
            socket->deleteLater();
        }
    });

    QCOMPARE(sandbox.run(arguments), 0);
    QTRY_COMPARE(connections, 1);
    QCOMPARE(sandbox.logMessages(),
             (QStringList{ "Info: mainapplication initialize", "Info: upgrade server already exists",
                           "Info: upgrade process is running.", "Debug: multi instance running, quit now" }));
    QCOMPARE(sandbox.run(arguments), 0);
    QTRY_COMPARE(connections, 2);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
