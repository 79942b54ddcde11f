#include "app/constants.h"
#include "crypto/signature.h"
#include "releasedescription.h"
#include "runner/checkrunner.h"

#include "common/testenv.h"
#include "common/updatersandbox.h"
#include "httpserver/httpserver.h"
#include "master/mastermockprocess.h"
#include "sample/versioninfowriter.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

using runner::NotifyDecision;
using testsupport::HttpServer;
using testsupport::UpdaterSandbox;

Q_DECLARE_METATYPE(runner::NotifyDecision)

namespace {
const QString kContent = QStringLiteral("Faster \"sync\" 更快 C:\\dir");
constexpr quint32 kInterval = 3600;
constexpr quint32 kAfterCancel = 86400;
} // namespace

// Where a single-instance name lives: the launched updater's private temporary directory.
static QString namePath(const UpdaterSandbox &sandbox, const QString &name)
{
    QDir().mkpath(sandbox.home() + "/.runtime");
    return sandbox.home() + "/.runtime/" + name;
}

// "checkUpdate": the notification policy, then the real updater against a web server and the
// master's stand-in; and at most one check and one upgrade at a time, between real processes.
constexpr QFileDevice::Permissions kGroupAndOther = QFileDevice::ReadGroup | QFileDevice::WriteGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

class TestCheck : public QObject
{
    Q_OBJECT

private slots:
    void decision_data()
    {
        QTest::addColumn<QString>("facts"); // manual,needUpdate,force,historyExists,cancelled
        QTest::addColumn<qint64>("lastNotifyAgo");
        QTest::addColumn<NotifyDecision>("expected");
        const auto row = [](const char *tag, const char *facts, qint64 ago, NotifyDecision expected) {
            QTest::newRow(tag) << QString::fromLatin1(facts) << ago << expected;
        };
        row("manual, nothing newer", "10000", 0, NotifyDecision::Notify);
        row("manual, cancelled a minute ago", "11011", 60, NotifyDecision::Notify);
        row("nothing newer", "00011", 10 * kAfterCancel, NotifyDecision::Skip);
        row("nothing newer, forced", "00111", 10 * kAfterCancel, NotifyDecision::Skip);
        row("first check ever", "01000", 0, NotifyDecision::Notify);
        row("forced, cancelled a minute ago", "01111", 60, NotifyDecision::Notify);
        row("told exactly one interval ago", "01010", kInterval, NotifyDecision::Skip);
        row("told one interval and a second ago", "01010", kInterval + 1, NotifyDecision::Notify);
        row("cancelled, past the normal interval only", "01011", kInterval + 1, NotifyDecision::SkipUserCancelled);
        row("cancelled exactly its interval ago", "01011", kAfterCancel, NotifyDecision::SkipUserCancelled);
        row("cancelled its interval and a second ago", "01011", kAfterCancel + 1, NotifyDecision::Notify);
    }

    void decision()
    {
        QFETCH(QString, facts);
        QFETCH(qint64, lastNotifyAgo);
        const QDateTime now = QDateTime::fromSecsSinceEpoch(1800000000);
        const auto on = [&](int i) { return facts.at(i) == '1'; };
        const runner::NotificationFacts f{ on(0), on(1), on(2), on(3), on(4), now.addSecs(-lastNotifyAgo), kInterval,
            kAfterCancel };
        QTEST(runner::decideNotification(f, now), "expected");
    }

    void endToEnd_data()
    {
        QTest::addColumn<QString>("target"); // empty: a manual check whose update URL cannot be reached
        QTest::addColumn<bool>("proxy");
        QTest::addColumn<QString>("logDir"); // empty: the sandbox's
        QTest::addColumn<QStringList>("masterArguments");
        QTest::addColumn<int>("messages");
        QTest::addColumn<QString>("payload"); // what every message carries; empty: none
        QTest::addColumn<QString>("history"); // DestVesion|PreVersion|Notified|Cancelled|told now; empty: no file
        QTest::addColumn<QString>("signing"); // empty: unsigned; else the key is set and what goes wrong

        const QString told = QStringLiteral("{\"isForceUpdate\":false,\"isManual\":false,\"needUpdate\":true,"
                                            "\"targetVersion\":\"1.1.0.0\",\"updateInfoContent\":\"%1\"}")
                                     .arg(QString::fromLatin1(kContent.toUtf8().toBase64()));
        const QStringList none;
        const QString marked = "1.1.0.0|1.0.0.0|1|1|1";
        const QString noUpdate("{\"isForceUpdate\":false,\"isManual\":true,\"needUpdate\":false,"
                               "\"targetVersion\":\"\",\"updateInfoContent\":\"\"}");
        QTest::newRow("first automatic check") << "1.1.0.0" << false << "" << none << 1 << told << marked << "";
        QTest::newRow("through the proxy") << "1.1.0.0" << true << "" << none << 1 << told << marked << "";
        QTest::newRow("log file cannot be opened")
                << "1.1.0.0" << false << "/proc" << none << 1 << told << marked << "";
        QTest::newRow("master answers the third attempt")
                << "1.1.0.0" << false << "" << QStringList{ "--answer-from", "3" } << 3 << told << marked << "";
        QTest::newRow("master never answers")
                << "1.1.0.0" << false << "" << QStringList{ "--never-answer" } << 3 << told << "1.1.0.0|1.0.0.0|0|0|0"
                << "";
        QTest::newRow("two-part target") << "1.2" << false << "" << none << 0 << ""
                                         << "1.2|1.0.0.0|0|0|0"
                                         << "";
        QTest::newRow("manual, update URL unreachable") << "" << false << "" << none << 1 << noUpdate << ""
                                                        << "";
        QTest::newRow("signed") << "1.1.0.0" << false << "" << none << 1 << told << marked << "good";
        // A refused description is no update: nothing for an automatic check, "no update" for a manual one.
        for (const char *refused : { "doc byte", "sig byte", "wrong key", "no sig", "sig not base64", "sig 63 bytes",
                     "expired", "no sha256", "malformed key" })
            QTest::newRow(refused) << "1.1.0.0" << false << "" << none << 0 << ""
                                   << "" << refused;
        QTest::newRow("manual, wrong key") << "1.1.0.0" << false << "" << none << 1 << noUpdate << ""
                                           << "manual wrong key";
    }

    void endToEnd()
    {
        QFETCH(QString, target);
        QFETCH(bool, proxy);
        QFETCH(QString, logDir);
        QFETCH(QStringList, masterArguments);
        QFETCH(QString, payload);
        QFETCH(QString, history);
        QFETCH(int, messages);
        QFETCH(QString, signing);

        const crypto::KeyPair key = crypto::generateKeyPair();
        const QByteArray otherKey = crypto::generateKeyPair().publicKey;
        const QByteArray publicKey = signing == "malformed key" ? "c2hvcnQ="
                : signing.endsWith("wrong key")                 ? otherKey.toBase64()
                                                                : key.publicKey.toBase64();
        UpdaterSandbox sandbox;
        QVERIFY(sandbox.writeConfig(QByteArray("[config]\nCheckInterval=3600\nCheckIntervalAfterUserCancel=86400\n")
                + (proxy ? "EnableProxy=true\n" : "") + (signing.isEmpty() ? "" : "PublicKey=" + publicKey + "\n")));
        QVERIFY(sandbox.isValid() && sample::writeFileWithVersionInfo(sandbox.clientPath(), "1.0.0.0"));
        QJsonObject full{ { "download_url", "http://f" }, { "size", 1 } };
        if (signing != "no sha256")
            full.insert("sha256", QString(64, 'a'));
        const QJsonObject config{ { "name", "client" }, { "version", target }, { "title", "Update" },
            { "content", QJsonObject{ { "cn", "更快" }, { "en", kContent } } },
            { "package", QJsonObject{ { "full_package", full } } } };
        QByteArray doc = QJsonDocument(
                QJsonObject{ { "strategy", QJsonObject{ { "force", false } } }, { "config", config },
                        { "expires", signing == "expired" ? "2020-01-01T00:00:00Z" : "2999-01-01T00:00:00+08:00" } })
                                 .toJson();
        QByteArray signature = QByteArray::fromBase64(release::signatureFile(key.secretKey, doc));
        if (signing == "doc byte")
            doc.replace("Update", "Updatf");
        signature[7] = char(signature[7] ^ (signing == "sig byte"));
        if (signing == "sig 63 bytes")
            signature.chop(1);
        HttpServer server;
        if (signing != "no sig")
            server.setBody("/update.json.sig",
                    signing == "sig not base64" ? "*" + signature.toBase64().mid(1) : signature.toBase64());
        // The proxy of the settings has a fixed port; another run may hold it for a moment.
        QTRY_VERIFY_WITH_TIMEOUT(server.listen(proxy ? 8888 : 0), 30000);
        server.setBody("/update.json", doc);
        app::LaunchParameters p = sandbox.defaultParameters();
        p.mode = target.isEmpty() || signing.startsWith("manual") ? "manual" : "auto";
        // Through the proxy the request names a host that does not resolve (Qt never proxies loopback).
        p.updateUrl = proxy        ? "http://updates.invalid/update.json"
                : target.isEmpty() ? "http://127.0.0.1:1/update.json"
                                   : server.url("/update.json").toString();
        if (!logDir.isEmpty())
            p.logDirPath = logDir;
        testsupport::MasterMockProcess master;
        QVERIFY(master.start(
                p.masterLocalServer, sandbox.root() + "/master.txt", masterArguments, sandbox.environment()));

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(sandbox.run(p), 255);
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        if (proxy)
            QCOMPARE(server.requestedPaths(), QStringList{ "http://updates.invalid/update.json" });
        // A key that cannot be read stops the run before anything is fetched.
        QVERIFY(signing != "malformed key" || server.requestedPaths().isEmpty());
        QCOMPARE(sandbox.logFiles().isEmpty(), !logDir.isEmpty());

        // The exact bytes on the wire: the envelope, the payload as an escaped string, the attempt.
        QTRY_COMPARE(master.messages().size(), messages);
        payload.replace("\\", "\\\\").replace("\"", "\\\"");
        for (int i = 0; i < master.messages().size(); ++i)
            QCOMPARE(master.messages().at(i),
                    QStringLiteral("{\"data\":\"%1\",\"index\":%2,\"needAck\":1}").arg(payload).arg(i).toUtf8());

        // The log, the description and the history carry the update URL and the description.
        QStringList own = sandbox.logFiles();
        for (QDirIterator it(sandbox.localDataDir(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            own << it.next();
        for (const QString &file : own)
            QVERIFY2(!(QFile::permissions(file) & kGroupAndOther), qPrintable(file));
        QCOMPARE(QFile::exists(sandbox.historyPath()), !history.isEmpty());
        if (history.isEmpty())
            return;
        QSettings file(sandbox.historyPath(), QSettings::IniFormat);
        file.beginGroup("history");
        const qint64 stamp = file.value("LastNotifyTime").toLongLong();
        QCOMPARE(QStringList({ file.value("DestVesion").toString(), file.value("PreVersion").toString(),
                                     file.value("Notified").toString(), file.value("Cancelled").toString(),
                                     QString::number(stamp >= before && stamp <= after) })
                         .join('|'),
                history);
    }

    void beside_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("line");
        QTest::newRow("second check quits") << "checkUpdate"
                                            << "Debug: \"multi instance running, quit now\"";
        // Still running when the log shows the line.
        QTest::newRow("upgrade goes on, over a name left behind") << "realUpgrade"
                                                                  << "Debug: \"upgrade server listening.\"";
    }

    // A check stays in its download while a newcomer starts beside it.
    void beside()
    {
        QFETCH(QString, action);
        QFETCH(QString, line);
        UpdaterSandbox sandbox;
        HttpServer server;
        QVERIFY(sandbox.isValid() && sandbox.writeDefaultConfig() && server.listen()
                && sample::writeFileWithVersionInfo(sandbox.clientPath(), "1.0.0.0"));
        server.setRoute("/update.json", { 200, {}, "{}", {}, true, true });
        app::LaunchParameters p = sandbox.defaultParameters();
        p.updateUrl = server.url("/update.json").toString();
        std::unique_ptr<QProcess> check = sandbox.start(p.toArguments());
        QVERIFY(QSignalSpy(&server, &HttpServer::requestReceived).wait(20000));
        // The edition's marker lives in the private runtime folder, not where the updater was started.
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
        QVERIFY(action != "checkUpdate" || (!log.contains("create mainrunner") && sandbox.wait(newcomer.get()) == 0));
        QCOMPARE(server.requestedPaths().size(), 1);
        for (QProcess *process : { newcomer.get(), check.get() }) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    void runningUpgradeStopsEveryNewcomer_data()
    {
        QTest::addColumn<bool>("updaterHolds");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("held by an updater")
                << true
                << QStringList{ "Info: mainapplication initialize", "Info: upgrade server already exists",
                       "Info: upgrade process is running.", "Debug: multi instance running, quit now" };
        QTest::newRow("held by another program")
                << false
                << QStringList{ "Info: mainapplication initialize",
                       "Critical: single instance name held by a process that is not an updater, name:NAME, pid:PID",
                       "Critical: parse commandline error", "Critical: application initialize failed" };
    }

    // Even a newcomer with a bad command line; but only an updater holding the name stops it.
    void runningUpgradeStopsEveryNewcomer()
    {
        QFETCH(bool, updaterHolds);
        QFETCH(QStringList, lines);
        UpdaterSandbox sandbox;
        QVERIFY(sandbox.isValid() && sandbox.writeDefaultConfig()
                && sample::writeFileWithVersionInfo(sandbox.clientPath(), "1.0.0.0"));
        // This test holds the name: as the running upgrade when the updater carries the test's name.
        QString updater = sandbox.updaterPath();
        if (updaterHolds) {
            updater = sandbox.binDir() + "/" + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
            QVERIFY(QFile::copy(sandbox.updaterPath(), updater));
        }
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
        QProcess newcomer;
        newcomer.setProcessEnvironment(sandbox.environment());
        newcomer.start(
                updater, sandbox.defaultParameters().toArguments() + QStringList{ "--mode=never", "--action=nothing" });
        QCOMPARE(sandbox.wait(&newcomer), updaterHolds ? 0 : 255);
        QTRY_COMPARE(connections, 1);
        lines.replaceInStrings("NAME", upgrade.fullServerName())
                .replaceInStrings("PID", QString::number(QCoreApplication::applicationPid()));
        // The parsed command line is logged with the sandbox's paths.
        QCOMPARE(sandbox.logMessages().filter(QRegularExpression("^(?!Debug: parsed)")), lines);
    }
};

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
