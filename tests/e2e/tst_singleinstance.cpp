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

// Where a single-instance name lives: the launched updater's private temporary directory.
static QString namePath(const UpdaterSandbox &sandbox, const QString &name)
{
    return sandbox.home() + "/tmp/" + name;
}

// At most one check and one upgrade at a time, enforced between real processes.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void beside_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("status"); // -1: still running when the log shows the line
        QTest::addColumn<QString>("line");
        QTest::newRow("second check quits") << "checkUpdate" << 0 << "Debug: \"multi instance running, quit now\"";
        QTest::newRow("upgrade goes on, over a name left behind")
                << "realUpgrade" << -1 << "Debug: \"upgrade server listening.\"";
    }

    // A check stays in its download while a newcomer starts beside it.
    void beside()
    {
        QFETCH(QString, action);
        QFETCH(QString, line);
        UpdaterSandbox sandbox;
        HttpServer server;
        QVERIFY(sandbox.isValid() && sandbox.writeDefaultConfig() && server.listen()
                && testsupport::writeFileWithVersionInfo(sandbox.clientPath(), "1.0.0.0"));
        HttpServer::Route stall;
        stall.stall = true;
        stall.body = "{}";
        server.setRoute("/update.json", stall);
        app::LaunchParameters p = sandbox.defaultParameters();
        p.updateUrl = server.url("/update.json").toString();
        std::unique_ptr<QProcess> check = sandbox.start(p.toArguments());
        QVERIFY(QSignalSpy(&server, &HttpServer::requestReceived).wait(20000));
        // The edition's marker lives in the temporary directory, not where the updater was started.
        QVERIFY(QFileInfo::exists(namePath(sandbox, app::kSharedMemoryPrefix + "_teacher")));
        // A killed upgrade leaves its name behind as a file nobody listens on.
        QVERIFY(testsupport::writeFile(namePath(sandbox, app::kLocalServerPrefix + app::kActionUpgrade), "stale"));

        p.action = action;
        const QStringList checkLog = sandbox.logFiles();
        std::unique_ptr<QProcess> newcomer = sandbox.start(p.toArguments());
        const auto newcomerLog = [&]() {
            QStringList logs = sandbox.logFiles();
            logs.removeOne(checkLog.value(0));
            return logs.isEmpty() ? QByteArray() : testsupport::readFile(logs.first());
        };
        QTRY_VERIFY_WITH_TIMEOUT(newcomerLog().contains(line.toUtf8()), 20000);
        const QByteArray log = newcomerLog();
        QVERIFY(log.contains("\"checkupdate server already exists\""));
        QVERIFY(action != "checkUpdate" || !log.contains("create mainrunner"));
        QFETCH(int, status);
        if (status >= 0)
            QCOMPARE(sandbox.wait(newcomer.get()), status);
        QCOMPARE(server.requestedPaths().size(), 1);
        for (QProcess *process : { newcomer.get(), check.get() }) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    void runningUpgradeStopsEveryNewcomer_data()
    {
        QTest::addColumn<QStringList>("extra");
        QTest::newRow("a valid check") << QStringList();
        QTest::newRow("a bad command line") << QStringList{ "--mode=never", "--action=nothing" };
    }

    void runningUpgradeStopsEveryNewcomer()
    {
        QFETCH(QStringList, extra);
        UpdaterSandbox sandbox;
        QVERIFY(sandbox.isValid() && sandbox.writeDefaultConfig()
                && testsupport::writeFileWithVersionInfo(sandbox.clientPath(), "1.0.0.0"));
        // This test is the running upgrade.
        QVERIFY(QDir().mkpath(sandbox.home() + "/tmp"));
        QLocalServer upgrade;
        QVERIFY(upgrade.listen(namePath(sandbox, app::kLocalServerPrefix + app::kActionUpgrade)));
        int connections = 0;
        connect(&upgrade, &QLocalServer::newConnection, this, [&]() {
            while (QLocalSocket *socket = upgrade.nextPendingConnection()) {
                ++connections;
                socket->deleteLater();
            }
        });
        QCOMPARE(sandbox.run(sandbox.defaultParameters().toArguments() + extra), 0);
        QTRY_COMPARE(connections, 1);
        QCOMPARE(sandbox.logMessages(),
                 (QStringList{ "Info: mainapplication initialize", "Info: upgrade server already exists",
                               "Info: upgrade process is running.", "Debug: multi instance running, quit now" }));
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
