#include "app/historyconfig.h"
#include "app/updateinfomanager.h"

#include "common/logcapture.h"
#include "common/testenv.h"

#include <QJsonDocument>
#include <QtTest>

#include <functional>

using app::HistoryConfig;
using app::UpdateInfoManager;
using Change = std::function<void(HistoryConfig &)>;
Q_DECLARE_METATYPE(Change)
using testsupport::LogCapture;

namespace {

const QString kInstalled = QStringLiteral("1.2.3.4");

// The golden document, offering 2.0.0.1 over 1.2.3.4, with each replacement made in its text.
QByteArray doc(std::initializer_list<std::pair<const char *, const char *>> replacements = {})
{
    QByteArray text = testsupport::readFile(QStringLiteral(SOLUPDATE_SOURCE_DIR "/tests/app/update.json"));
    for (const auto &replacement : replacements)
        text.replace(replacement.first, replacement.second);
    return text;
}

QString fields(const HistoryConfig &h)
{
    return QStringList{ h.destVersion(), h.preVersion(), QString::number(h.lastNotifyTime().toTime_t()),
        QString::number(h.lastUpgradeTime().toTime_t()), QString::number(h.notified()), QString::number(h.cancelled()),
        QString::number(h.lastUpgradeStatus()) }
            .join('|');
}

// The lines of an INI file. QSettings on Windows ends lines with CR LF and keeps a new file's keys
// in the order they were set; the record is the same.
QStringList iniLines(const QByteArray &text)
{
    QStringList lines = QString::fromUtf8(text).split('\n');
#ifdef Q_OS_WIN
    lines.replaceInStrings("\r", "");
    lines.sort();
#endif
    return lines;
}

} // namespace

// The update description and the update history: what is read from and written to their files.
class TestUpdateInfo : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("document"); // "<absent>": no file
        QTest::addColumn<QString>("installed");
        // Refused: the one critical line, %C standing for the whole document. Accepted:
        // force|product URL|the package URLs found for 1.2.3.4, 1.2.3 and 1.02.3 (matched as text).
        QTest::addColumn<QString>("outcome");

        QJsonParseError error;
        QJsonDocument::fromJson("{\"strategy\": ", &error);
        const QString older("current version is equal or greater than target version! current version: %1, "
                            "target version: %2");
        const QString packages("config upgradepackages is invalid, content:%C");
        const QString both("|http://t/product|http://t/inc-1.2.3.4,http://t/inc-1.2.3,");
        const auto row
                = [](const char *tag, const QByteArray &doc, const QString &outcome,
                          const QString &installed = kInstalled) { QTest::newRow(tag) << doc << installed << outcome; };
        row("no file", "<absent>", "update config path is invalid");
        row("not json", "{\"strategy\": ", "parse json config failed, error:" + error.errorString());
        row("array root", "[1, 2]", "config is not json object, content:%C");
        row("no strategy", doc({ { "\"strategy\"", "\"s\"" } }), "doc is invalid, content:%C");
        row("no force", doc({ { "\"force\"", "\"f\"" } }), "strategy is invalid, content:%C");
        for (const char *key : { "\"name\":", "\"version\":", "\"content\":", "\"title\":", "\"package\":" })
            row(key, doc({ { key, "\"x\":" } }), "config is invalid, content:%C");
        row("same version", doc(), older.arg("2.0.0.1", "2.0.0.1"), "2.0.0.1");
        row("2.1.0 against 2.1", doc({ { "2.0.0.1", "2.1" } }), older.arg("2.1.0", "2.1"), "2.1.0");
        row("target too large to read", doc({ { "2.0.0.1", "99999999999.1.1.1" } }),
                "target version is invalid, version:99999999999.1.1.1");
        row("target without numbers", doc({ { "2.0.0.1", "v3.0.0" } }), older.arg(kInstalled, "v3.0.0"));
        row("no en", doc({ { "\"en\"", "\"de\"" } }), "display content is invalid, content:%C");
        row("one package without version_required", doc({ { "\"version_required\": \"1.2.3\"", "\"v\": \"1\"" } }),
                packages);
        row("package without download_url", doc({ { "\"download_url\": \"http://t/inc-1.2.3.4\"", "\"d\": \"\"" } }),
                packages);
        row("no full package", doc({ { "\"full_package\"", "\"f\"" } }), "config doesn't have fullpackage, content:%C");
        row("full package without url", doc({ { "\"download_url\": \"http://t/full\"", "\"d\": 1" } }),
                "config upgradepackage is invalid, content:%C");
        const QString integrity("config package size or sha256 is invalid, content:%C");
        row("size as text", doc({ { "\"http://t/full\"", "\"http://t/full\", \"size\": \"12\"" } }), integrity);
        row("size negative", doc({ { "\"http://t/full\"", "\"http://t/full\", \"size\": -1" } }), integrity);
        row("sha256 of 63 digits",
                doc({ { "\"version_required\": \"1.2.3\"",
                        "\"version_required\": \"1.2.3\", \"sha256\": "
                        "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\"" } }),
                integrity);
        row("complete", doc(), "1" + both);
        row("force as the string true", doc({ { "true}", "\"true\"}" } }), "0" + both);
        row("upgrade_packages as object",
                doc({ { "\"upgrade_packages\": [", "\"upgrade_packages\": {\"a\": [" }, { "}],", "}]}," } }),
                "1|http://t/product|,,");
        row("upgrade_packages empty", doc({ { "\"upgrade_packages\": [", "\"upgrade_packages\": [], \"x\": [" } }),
                "1|http://t/product|,,");
        row("no product_url", doc({ { "\"product_url\"", "\"p\"" } }), "1||http://t/inc-1.2.3.4,http://t/inc-1.2.3,");
        row("later duplicate wins", doc({ { "\"1.2.3\"}", "\"1.2.3.4\"}" }, { "inc-1.2.3\"", "a/2\"" } }),
                "1|http://t/product|http://t/a/2,,");
    }

    void parse()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, installed);
        QFETCH(QString, outcome);
        const QString path = m_dir.filePath(QString::number(qHash(QTest::currentDataTag())));
        QVERIFY(document == "<absent>" || testsupport::writeFile(path, document));
        // A manager that read a complete description before: nothing of it may survive this one.
        UpdateInfoManager manager;
        QVERIFY(testsupport::writeFile(m_dir.filePath("earlier.json"), doc({ { "inc-1.2.3", "earlier" } })));
        QVERIFY(manager.parseUpdateInfo(m_dir.filePath("earlier.json"), kInstalled));
        LogCapture log;
        if (!manager.parseUpdateInfo(path, installed)) {
            QCOMPARE(log.texts(QtCriticalMsg), QStringList{ outcome.replace("%C", QString::fromUtf8(document)) });
            QVERIFY(!manager.fullPackage() && !manager.upgradePackage("1.2.3") && !manager.upgradePackage("1.2.3.4"));
            return;
        }
        QVERIFY(log.texts(QtCriticalMsg).isEmpty());
        QStringList found;
        for (const char *version : { "1.2.3.4", "1.2.3", "1.02.3" }) {
            const UpdateInfoManager::PackageInfoPtr package = manager.upgradePackage(version);
            found << (package ? package->downloadUrl : QString());
            QVERIFY(!package || package->versionRequired == version);
        }
        QCOMPARE(QStringLiteral("%1|%2|%3").arg(int(manager.isForce())).arg(manager.productUrl(), found.join(',')),
                outcome);
        QCOMPARE(manager.fullPackage() ? manager.fullPackage()->downloadUrl : QString(),
                QStringLiteral("http://t/full"));
        QCOMPARE(manager.targetVersion() + manager.displayContent("cn") + manager.displayContent("en"),
                QStringLiteral("2.0.0.1新版本New\nfixes"));
        QCOMPARE(manager.displayContent("EN"), QString());
        QCOMPARE(log.texts(QtCriticalMsg),
                QStringList{ "updateinfo manager display content language is invalid, language:EN" });
    }

    void history_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file
        QTest::addColumn<Change>("change"); // null: only read
        QTest::addColumn<QString>(
                "written"); // the key=value written over the file's own; the whole file if there was none
        QTest::addColumn<QString>("fields"); // as read first: dest|pre|notify|upgrade|notified|cancelled|status
        const auto read = [](const char *tag, const QByteArray &content, const char *fields) {
            QTest::newRow(tag) << content << Change() << QString() << QString(fields);
        };
        read("first run", QByteArray(), "||0|0|0|0|0");
        read("all keys",
                "[history]\nDestVesion=1.1.0.0\nPreVersion=1.0.0.0\nLastNotifyTime=1700000000\nLastUpgradeTime="
                "1700000100\n"
                "Notified=1\nCancelled=1\nLastUpgradeStatus=6\n",
                "1.1.0.0|1.0.0.0|1700000000|1700000100|1|1|6");
        read("no LastNotifyTime", "[history]\nCancelled=1\nLastUpgradeTime=5\n", "||0|5|0|1|0");
        read("DestVersion is not read", "[history]\nDestVersion=2.0.0\n", "||0|0|0|0|0");
        read("other section", "[other]\nCancelled=1\nDestVesion=3.0.0\n", "||0|0|0|0|0");

        const QByteArray before("[history]\nCancelled=0\nDestVesion=1.1.0\nLastNotifyTime=100\nLastUpgradeStatus=3\n"
                                "LastUpgradeTime=200\nNotified=0\nPreVersion=1.0.0\n");
        const auto set = [&](const char *tag, const Change &change, const char *written) {
            QTest::newRow(tag) << before << change << QString(written) << "1.1.0|1.0.0|100|200|0|0|3";
        };
        set(
                "cancelled", [](HistoryConfig &h) { h.setCancelled(true); }, "Cancelled=1");
        set(
                "dest version", [](HistoryConfig &h) { h.setDestVersion("2.0.0.1"); }, "DestVesion=2.0.0.1");
        set(
                "pre version", [](HistoryConfig &h) { h.setPreVersion("1.9"); }, "PreVersion=1.9");
        set(
                "notify time", [](HistoryConfig &h) { h.setLastNotifyTime(QDateTime::fromTime_t(1800000000)); },
                "LastNotifyTime=1800000000");
        set(
                "upgrade time", [](HistoryConfig &h) { h.setLastUpgradeTime(QDateTime::fromTime_t(4000000000u)); },
                "LastUpgradeTime=4000000000");
        set(
                "notified", [](HistoryConfig &h) { h.setNotified(true); }, "Notified=1");
        set(
                "status", [](HistoryConfig &h) { h.setLastUpgradeStatus(11); }, "LastUpgradeStatus=11");
        QTest::newRow("first run creates the file")
                << QByteArray() << Change([](HistoryConfig &h) { h.setNotified(false); })
                << "[history]\nCancelled=0\nDestVesion=\nLastNotifyTime=0\nLastUpgradeStatus=0\nLastUpgradeTime=0\n"
                   "Notified=0\nPreVersion=\n"
                << "||0|0|0|0|0";
    }

    // Reading never writes; every setter rewrites the whole file at once, and a fresh reader sees
    // the same record.
    void history()
    {
        QFETCH(QByteArray, content);
        QFETCH(Change, change);
        QFETCH(QString, written);
        const QString path = m_dir.filePath(QStringLiteral("%1.ini").arg(QTest::currentDataTag()));
        QVERIFY(content.isEmpty() || testsupport::writeFile(path, content));
        HistoryConfig history;
        history.parseHistory(path);
        QTEST(fields(history), "fields");
        QString after = QString::fromUtf8(content);
        if (change) {
            change(history);
            after = content.isEmpty()
                    ? written
                    : after.replace(QRegularExpression("\n" + written.section('=', 0, 0) + "=[^\n]*"), "\n" + written);
        }
        QCOMPARE(iniLines(testsupport::readFile(path)), iniLines(after.toUtf8()));
        QCOMPARE(QFile::exists(path), !after.isEmpty());
        // exists keeps describing the state at startup.
        QCOMPARE(history.exists(), !content.isEmpty());
        HistoryConfig again;
        again.parseHistory(path);
        QCOMPARE(fields(again), fields(history));
    }
};

QTEST_GUILESS_MAIN(TestUpdateInfo)
#include "tst_updateinfo.moc"
