#include "common/testenv.h"
#include "common/updatersandbox.h"
#include "httpserver/httpserver.h"
#include "master/mastermockprocess.h"
#include "versioninfo/versioninfowriter.h"

#include <QtTest>

using testsupport::HttpServer;
using testsupport::MasterMockProcess;
using testsupport::UpdaterSandbox;

namespace {

const QString kInstalled = QStringLiteral("1.0.0.0");
const QString kContentEn = QStringLiteral("Faster \"sync\", fixes in C:\\Program Files.");
const QString kContentCn = QStringLiteral("更快的同步");
constexpr uint kInterval = 3600;
constexpr uint kIntervalAfterCancel = 86400;

QByteArray document(const QString &version, bool force)
{
    QJsonObject content{ { "cn", kContentCn }, { "en", kContentEn } };
    QJsonObject full{ { "download_url", "http://127.0.0.1:1/full.pkg" } };
    QJsonObject package{ { "upgrade_packages", QJsonArray{} }, { "full_package", full } };
    QJsonObject config{ { "name", "client" },   { "version", version }, { "content", content },
                        { "title", "Update" }, { "package", package } };
    QJsonObject root{ { "strategy", QJsonObject{ { "force", force } } }, { "config", config } };
    return QJsonDocument(root).toJson();
}

// Whether every item of expected occurs in lines, in that order.
bool isSubsequence(const QStringList &lines, const QStringList &expected)
{
    int from = 0;
    for (const QString &item : expected) {
        from = lines.indexOf(item, from);
        if (from < 0)
            return false;
        ++from;
    }
    return true;
}

// No history file is written for this value.
constexpr qint64 kNoHistory = std::numeric_limits<qint64>::min();

} // namespace

// "checkUpdate" as the master runs it: the real updater, a web server, the master's server.
class TestCheck : public QObject
{
    Q_OBJECT

private slots:
    void policy_data();
    void policy();
    void unreachableUpdateUrl_data();
    void unreachableUpdateUrl();
    void masterAnswersOnThirdAttempt();
    void masterNeverAnswers();

private:
    struct Setup
    {
        UpdaterSandbox sandbox;
        HttpServer server;
        MasterMockProcess master;
        app::LaunchParameters parameters;
    };
    bool prepare(Setup &setup, const QByteArray &doc, const QStringList &masterArguments = {});
    static QJsonObject payloadOf(const QByteArray &message, QString *raw = nullptr);
};

bool TestCheck::prepare(Setup &setup, const QByteArray &doc, const QStringList &masterArguments)
{
    if (!setup.sandbox.isValid() || !setup.sandbox.writeDefaultConfig())
        return false;
    if (!testsupport::writeFileWithVersionInfo(setup.sandbox.clientPath(), kInstalled))
        return false;
    if (!setup.server.listen())
        return false;
    setup.server.setBody("/update.json", doc);
    setup.parameters = setup.sandbox.defaultParameters();
    setup.parameters.updateUrl = setup.server.url("/update.json").toString();
    setup.parameters.masterLocalServer = QStringLiteral("solupdate-test-master");
    return setup.master.start(setup.parameters.masterLocalServer, setup.sandbox.root() + "/master.txt",
                              masterArguments, setup.sandbox.environment());
}

QJsonObject TestCheck::payloadOf(const QByteArray &message, QString *raw)
{
    const QJsonObject envelope = QJsonDocument::fromJson(message).object();
    const QString data = envelope.value("data").toString();
    if (raw)
        *raw = data;
    return QJsonDocument::fromJson(data.toUtf8()).object();
}

void TestCheck::policy_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<qint64>("lastNotifyAgo"); // seconds before now, or kNoHistory
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("force");
    QTest::addColumn<bool>("told");
    QTest::addColumn<bool>("needUpdate");
    QTest::addColumn<QString>("reason");

    const QString none;
    const QString shouldNot = "Info: checkrunner should not notify user";
    const QString cancelledBefore = "Info: checkrunner not notify to user cause user cancelled before";

    QTest::newRow("manual, no history") << "manual" << kNoHistory << false << "1.1.0.0" << false << true << true << none;
    QTest::newRow("auto, no history") << "auto" << kNoHistory << false << "1.1.0.0" << false << true << true << none;
    QTest::newRow("auto, told just inside the interval")
            << "auto" << qint64(kInterval - 60) << false << "1.1.0.0" << false << false << true << shouldNot;
    QTest::newRow("auto, told just outside the interval")
            << "auto" << qint64(kInterval + 60) << false << "1.1.0.0" << false << true << true << none;
    QTest::newRow("auto, cancelled just inside its interval")
            << "auto" << qint64(kIntervalAfterCancel - 60) << true << "1.1.0.0" << false << false << true
            << cancelledBefore;
    QTest::newRow("auto, cancelled just outside its interval")
            << "auto" << qint64(kIntervalAfterCancel + 60) << true << "1.1.0.0" << false << true << true << none;
    QTest::newRow("auto, cancelled but past the normal interval only")
            << "auto" << qint64(kInterval + 60) << true << "1.1.0.0" << false << false << true << cancelledBefore;
    QTest::newRow("auto, forced, cancelled a minute ago")
            << "auto" << qint64(60) << true << "1.1.0.0" << true << true << true << none;
    QTest::newRow("manual, cancelled a minute ago")
            << "manual" << qint64(60) << true << "1.1.0.0" << false << true << true << none;
    QTest::newRow("auto, equal version") << "auto" << kNoHistory << false << kInstalled << false << false << false
                                         << shouldNot;
    QTest::newRow("auto, lower version") << "auto" << kNoHistory << false << "0.9.0.0" << false << false << false
                                         << shouldNot;
    QTest::newRow("manual, equal version") << "manual" << kNoHistory << false << kInstalled << false << true << false
                                           << none;
    QTest::newRow("manual, lower version, forced") << "manual" << kNoHistory << false << "0.9.0.0" << true << true
                                                   << false << none;
    QTest::newRow("auto, two-part target") << "auto" << kNoHistory << false << "1.2" << false << false << false
                                           << "Critical: checkrunner parsed target version invalid";
    QTest::newRow("manual, two-part target") << "manual" << kNoHistory << false << "1.2" << false << true << false
                                             << "Critical: checkrunner parsed target version invalid";
}

void TestCheck::policy()
{
    QFETCH(QString, mode);
    QFETCH(qint64, lastNotifyAgo);
    QFETCH(bool, cancelled);
    QFETCH(QString, target);
    QFETCH(bool, force);
    QFETCH(bool, told);
    QFETCH(bool, needUpdate);
    QFETCH(QString, reason);

    Setup setup;
    QVERIFY(prepare(setup, document(target, force)));
    setup.parameters.mode = mode;
    const QString historyPath = setup.sandbox.historyPath();
    const uint lastNotify = uint(QDateTime::currentSecsSinceEpoch() - (lastNotifyAgo == kNoHistory ? 0 : lastNotifyAgo));
    if (lastNotifyAgo != kNoHistory) {
        QVERIFY(testsupport::writeFile(historyPath, QStringLiteral("[history]\nCancelled=%1\nDestVesion=1.0.5.0\n"
                                                                   "LastNotifyTime=%2\nLastUpgradeStatus=6\n"
                                                                   "LastUpgradeTime=77\nNotified=1\nPreVersion=0.9\n")
                                                            .arg(cancelled ? 1 : 0)
                                                            .arg(lastNotify)
                                                            .toUtf8()));
    }

    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(setup.sandbox.run(setup.parameters), 255);
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    const QStringList log = setup.sandbox.logMessages();

    const QString complete = QStringLiteral("Info: checkrunner updateinfo download complete, success:1, needupdate:%1")
                                     .arg(needUpdate ? 1 : 0);
    QVERIFY2(log.contains(complete), qPrintable(log.join('\n')));
    if (!reason.isEmpty())
        QVERIFY2(log.contains(reason), qPrintable(log.join('\n')));
    // The runner's lines in their order: the start, then everything from the result on.
    QVERIFY2(isSubsequence(log, { "Info: create mainrunner, action:checkUpdate", "Info: checkrunner initialize",
                                  "Info: checkrunner run",
                                  "Info: checkrunner start download, url:" + setup.parameters.updateUrl
                                          + ", download_path:" + setup.sandbox.localDataDir() + "/update_teacher.json",
                                  complete }),
             qPrintable(log.join('\n')));
    const QString targetInvalid = "Critical: checkrunner parsed target version invalid";
    if (reason == targetInvalid) {
        const int at = log.indexOf(complete);
        QCOMPARE(log.mid(at - 2, 2), (QStringList{ targetInvalid, "Critical: checkrunner parse config failed" }));
    }
    QStringList ending{ complete };
    if (told) {
        ending << "Info: checkrunner notify to user" << "Info: check runner notifyToMaster"
               << "Info: check runner sendUpgradeInfoToMaster success";
    } else {
        if (reason == "Info: checkrunner not notify to user cause user cancelled before")
            ending << reason;
        ending << "Info: checkrunner should not notify user";
    }
    ending << "Info: main runner run complete, ret:0";
    QCOMPARE(log.mid(log.indexOf(complete)), ending);

    const QList<QByteArray> messages = setup.master.messages();
    if (!told) {
        QVERIFY(!log.contains("Info: checkrunner notify to user"));
        QCOMPARE(messages.size(), 0);
    } else {
        QVERIFY(log.contains("Info: checkrunner notify to user"));
        QVERIFY(log.contains("Info: check runner sendUpgradeInfoToMaster success"));
        QTRY_COMPARE(setup.master.messages().size(), 1);
        // A check that could not use the document tells the master nothing but "no update".
        const bool parsed = QVersionNumber::fromString(target) > QVersionNumber::fromString(kInstalled);
        const QString expectedTarget = parsed ? target : QString();
        const QString expectedContent = parsed ? QString::fromLatin1(kContentEn.toUtf8().toBase64()) : QString();
        const bool expectedForce = parsed && force;
        const QString expectedPayload =
                QStringLiteral("{\"isForceUpdate\":%1,\"isManual\":%2,\"needUpdate\":%3,\"targetVersion\":\"%4\","
                               "\"updateInfoContent\":\"%5\"}")
                        .arg(expectedForce ? "true" : "false", mode == "manual" ? "true" : "false",
                             needUpdate ? "true" : "false", expectedTarget, expectedContent);
        // The bytes on the wire: the envelope with the payload as an escaped string, nothing more.
        QString escaped = expectedPayload;
        escaped.replace("\\", "\\\\").replace("\"", "\\\"");
        QCOMPARE(setup.master.messages().first(),
                 QStringLiteral("{\"data\":\"%1\",\"index\":0,\"needAck\":1}").arg(escaped).toUtf8());
    }

    // The history: the versions are saved whenever the document was usable; the notification
    // marks only when the master heard of a needed update.
    QSettings history(historyPath, QSettings::IniFormat);
    history.beginGroup("history");
    const bool documentUsable = QVersionNumber::fromString(target) > QVersionNumber::fromString(kInstalled);
    if (documentUsable) {
        QCOMPARE(history.value("DestVesion").toString(), target);
        QCOMPARE(history.value("PreVersion").toString(), kInstalled);
    } else if (lastNotifyAgo == kNoHistory) {
        QVERIFY(!QFile::exists(historyPath));
    } else {
        QCOMPARE(history.value("DestVesion").toString(), QStringLiteral("1.0.5.0"));
    }
    if (told && needUpdate) {
        QCOMPARE(history.value("Notified").toString(), QStringLiteral("1"));
        QCOMPARE(history.value("Cancelled").toString(), QStringLiteral("1"));
        const qint64 stamp = history.value("LastNotifyTime").toLongLong();
        QVERIFY(stamp >= before && stamp <= after);
    } else if (lastNotifyAgo != kNoHistory) {
        QCOMPARE(history.value("LastNotifyTime").toUInt(), lastNotify);
        QCOMPARE(history.value("Cancelled").toString(), QString::number(cancelled ? 1 : 0));
    } else if (documentUsable) {
        QCOMPARE(history.value("Notified").toString(), QStringLiteral("0"));
        QCOMPARE(history.value("LastNotifyTime").toString(), QStringLiteral("0"));
    }
    if (lastNotifyAgo != kNoHistory) {
        // Keys the check does not own stay as they were.
        QCOMPARE(history.value("LastUpgradeStatus").toString(), QStringLiteral("6"));
        QCOMPARE(history.value("LastUpgradeTime").toString(), QStringLiteral("77"));
    }
}

void TestCheck::unreachableUpdateUrl_data()
{
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("failure");
    QTest::newRow("not found") << false << "Critical: checkrunner download failed, error:203";
    QTest::newRow("connection refused") << true << "Critical: checkrunner download failed, error:1";
}

void TestCheck::unreachableUpdateUrl()
{
    QFETCH(bool, refused);
    QFETCH(QString, failure);
    Setup setup;
    QVERIFY(prepare(setup, document("1.1.0.0", false)));
    setup.server.setStatus("/update.json", 404);
    if (refused)
        setup.parameters.updateUrl = QStringLiteral("http://127.0.0.1:1/update.json");
    QCOMPARE(setup.sandbox.run(setup.parameters), 255);
    const QStringList log = setup.sandbox.logMessages();
    QVERIFY2(log.contains(failure), qPrintable(log.join('\n')));
    QVERIFY(log.contains("Info: checkrunner updateinfo download complete, success:0, needupdate:0"));
    QTRY_COMPARE(setup.master.messages().size(), 1);
    QString raw;
    payloadOf(setup.master.messages().first(), &raw);
    QCOMPARE(raw, QStringLiteral("{\"isForceUpdate\":false,\"isManual\":true,\"needUpdate\":false,\"targetVersion\":\"\","
                                 "\"updateInfoContent\":\"\"}"));
    QVERIFY(!QFile::exists(setup.sandbox.historyPath()));
}

void TestCheck::masterAnswersOnThirdAttempt()
{
    Setup setup;
    QVERIFY(prepare(setup, document("1.1.0.0", false), { "--answer-from", "3" }));
    setup.parameters.mode = "auto";
    QCOMPARE(setup.sandbox.run(setup.parameters), 255);
    const QStringList log = setup.sandbox.logMessages();
    QCOMPARE(log.count("Info: check runner sendUpgradeInfoToMaster success"), 1);
    QVERIFY(!log.contains("Critical: check runner sendUpgradeInfoToMaster failed"));
    QTRY_COMPARE(setup.master.messages().size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(QJsonDocument::fromJson(setup.master.messages().at(i)).object().value("index").toInt(-1), i);
    QSettings history(setup.sandbox.historyPath(), QSettings::IniFormat);
    QCOMPARE(history.value("history/Notified").toString(), QStringLiteral("1"));
    QCOMPARE(history.value("history/Cancelled").toString(), QStringLiteral("1"));
}

void TestCheck::masterNeverAnswers()
{
    Setup setup;
    QVERIFY(prepare(setup, document("1.1.0.0", false), { "--never-answer" }));
    setup.parameters.mode = "auto";
    QCOMPARE(setup.sandbox.run(setup.parameters), 255);
    const QStringList log = setup.sandbox.logMessages();
    QVERIFY(log.contains("Critical: check runner sendUpgradeInfoToMaster failed"));
    QVERIFY(!log.contains("Info: check runner sendUpgradeInfoToMaster success"));
    QTRY_COMPARE(setup.master.messages().size(), 3);
    QSettings history(setup.sandbox.historyPath(), QSettings::IniFormat);
    QCOMPARE(history.value("history/DestVesion").toString(), QStringLiteral("1.1.0.0"));
    QCOMPARE(history.value("history/Notified").toString(), QStringLiteral("0"));
    QCOMPARE(history.value("history/Cancelled").toString(), QStringLiteral("0"));
    QCOMPARE(history.value("history/LastNotifyTime").toString(), QStringLiteral("0"));
}

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
