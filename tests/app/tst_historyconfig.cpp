#include "app/historyconfig.h"
#include "app/log.h"

#include "common/testenv.h"

#include <QtTest>

using app::HistoryConfig;

class TestHistoryConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void missingFile();
    void read_data();
    void read();
    void settersRewriteWholeFile();
    void saveCreatesFileButKeepsExists();
    void editionsKeepSeparateFiles();

private:
    QString path(const QString &name = QStringLiteral("solupdate_history_teacher.ini")) const
    {
        return m_dir->filePath(name);
    }
    QStringList logMessages() const
    {
        const QString log = QString::fromUtf8(testsupport::readFile(applog::logFilePath()));
        QStringList messages;
        for (const QString &line : log.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            messages << line.section(QStringLiteral(" (:0, )"), 0, 0);
        return messages;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestHistoryConfig::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QDir().mkpath(m_dir->filePath("logs"));
    applog::initLog(m_dir->filePath("logs"));
    QVERIFY(!applog::logFilePath().isEmpty());
}

void TestHistoryConfig::cleanup()
{
    applog::uninitLog();
}

void TestHistoryConfig::missingFile()
{
    HistoryConfig history;
    history.parseHistory(path());
    QVERIFY(!history.exists());
    QCOMPARE(history.path(), path());
    QCOMPARE(history.lastNotifyTime().toTime_t(), 0u);
    QCOMPARE(history.lastUpgradeTime().toTime_t(), 0u);
    QVERIFY(!history.cancelled());
    QVERIFY(!history.notified());
    QCOMPARE(history.lastUpgradeStatus(), 0u);
    QVERIFY(!QFile::exists(path()));
    QCOMPARE(logMessages(),
             (QStringList{ "Info: \"parse history config, path:" + path() + "\"", "Info: \"history confit not exists\"" }));
}

void TestHistoryConfig::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("dest");
    QTest::addColumn<QString>("pre");
    QTest::addColumn<uint>("notifyTime");
    QTest::addColumn<uint>("upgradeTime");
    QTest::addColumn<bool>("notified");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("all keys")
            << QByteArray("[history]\nDestVesion=1.1.0.0\nPreVersion=1.0.0.0\nLastNotifyTime=1700000000\n"
                          "LastUpgradeTime=1700000100\nNotified=1\nCancelled=1\nLastUpgradeStatus=6\n")
            << "1.1.0.0" << "1.0.0.0" << 1700000000u << 1700000100u << true << true << 6u
            << "history confit: dest_version:1.1.0.0, pre_version:1.0.0.0, lastnotfy:1700000000, "
               "lastupgrade:1700000100, notifyed_to_user:1, user_cancelled:1, lastupgradestatus:6";
    QTest::newRow("empty section") << QByteArray("[history]\n") << "" << "" << 0u << 0u << false << false << 0u
                                   << "history confit: dest_version:, pre_version:, lastnotfy:0, lastupgrade:0, "
                                      "notifyed_to_user:0, user_cancelled:0, lastupgradestatus:0";
    QTest::newRow("no LastNotifyTime reads as 1970")
            << QByteArray("[history]\nCancelled=0\nLastUpgradeTime=5\n") << "" << "" << 0u << 5u << false << false
            << 0u
            << "history confit: dest_version:, pre_version:, lastnotfy:0, lastupgrade:5, notifyed_to_user:0, "
               "user_cancelled:0, lastupgradestatus:0";
    QTest::newRow("bad numbers read as 0")
            << QByteArray("[history]\nLastNotifyTime=soon\nLastUpgradeTime=-5\nLastUpgradeStatus=x\n") << "" << ""
            << 0u << 0u << false << false << 0u
            << "history confit: dest_version:, pre_version:, lastnotfy:0, lastupgrade:0, notifyed_to_user:0, "
               "user_cancelled:0, lastupgradestatus:0";
    QTest::newRow("booleans as words") << QByteArray("[history]\nNotified=true\nCancelled=false\n") << "" << ""
                                       << 0u << 0u << true << false << 0u
                                       << "history confit: dest_version:, pre_version:, lastnotfy:0, "
                                          "lastupgrade:0, notifyed_to_user:1, user_cancelled:0, lastupgradestatus:0";
    QTest::newRow("a saved version with a percent sign")
            << QByteArray("[history]\nDestVesion=1.2.3%5\nPreVersion=%1\nCancelled=1\n") << "1.2.3%5" << "%1" << 0u << 0u
            << false << true << 0u
            << "history confit: dest_version:1.2.3%5, pre_version:%1, lastnotfy:0, lastupgrade:0, notifyed_to_user:0, "
               "user_cancelled:1, lastupgradestatus:0";
    QTest::newRow("DestVersion spelled right is not read")
            << QByteArray("[history]\nDestVersion=2.0.0\n") << "" << "" << 0u << 0u << false << false << 0u
            << "history confit: dest_version:, pre_version:, lastnotfy:0, lastupgrade:0, notifyed_to_user:0, "
               "user_cancelled:0, lastupgradestatus:0";
    QTest::newRow("keys outside the section are not read")
            << QByteArray("[other]\nCancelled=1\nDestVesion=3.0.0\n") << "" << "" << 0u << 0u << false << false << 0u
            << "history confit: dest_version:, pre_version:, lastnotfy:0, lastupgrade:0, notifyed_to_user:0, "
               "user_cancelled:0, lastupgradestatus:0";
}

void TestHistoryConfig::read()
{
    QFETCH(QByteArray, content);
    QVERIFY(testsupport::writeFile(path(), content));

    HistoryConfig history;
    history.parseHistory(path());
    QVERIFY(history.exists());
    QTEST(history.destVersion(), "dest");
    QTEST(history.preVersion(), "pre");
    QTEST(history.lastNotifyTime().toTime_t(), "notifyTime");
    QTEST(history.lastUpgradeTime().toTime_t(), "upgradeTime");
    QTEST(history.notified(), "notified");
    QTEST(history.cancelled(), "cancelled");
    QTEST(history.lastUpgradeStatus(), "status");
    QFETCH(QString, logLine);
    QCOMPARE(logMessages().value(1), "Info: \"" + logLine + "\"");
    // Reading never writes.
    QCOMPARE(testsupport::readFile(path()), content);
}

void TestHistoryConfig::settersRewriteWholeFile()
{
    QVERIFY(testsupport::writeFile(path(), "[history]\nDestVesion=1.1.0\nPreVersion=1.0.0\nLastNotifyTime=100\n"
                                           "LastUpgradeTime=200\nNotified=0\nCancelled=0\nLastUpgradeStatus=3\n"));
    HistoryConfig history;
    history.parseHistory(path());

    auto expect = [&](const QByteArray &dest, const QByteArray &pre, const QByteArray &notify,
                      const QByteArray &upgrade, const QByteArray &notified, const QByteArray &cancelled,
                      const QByteArray &status) {
        return QByteArray("[history]\nCancelled=" + cancelled + "\nDestVesion=" + dest + "\nLastNotifyTime=" + notify
                          + "\nLastUpgradeStatus=" + status + "\nLastUpgradeTime=" + upgrade + "\nNotified="
                          + notified + "\nPreVersion=" + pre + "\n");
    };

    history.setCancelled(true);
    QCOMPARE(testsupport::readFile(path()), expect("1.1.0", "1.0.0", "100", "200", "0", "1", "3"));
    history.setDestVersion("2.0.0.1");
    QCOMPARE(testsupport::readFile(path()), expect("2.0.0.1", "1.0.0", "100", "200", "0", "1", "3"));
    history.setPreVersion("1.9.9.9");
    QCOMPARE(testsupport::readFile(path()), expect("2.0.0.1", "1.9.9.9", "100", "200", "0", "1", "3"));
    history.setLastNotifyTime(QDateTime::fromTime_t(1800000000));
    QCOMPARE(testsupport::readFile(path()), expect("2.0.0.1", "1.9.9.9", "1800000000", "200", "0", "1", "3"));
    history.setLastUpgradeTime(QDateTime::fromTime_t(1800000500));
    QCOMPARE(testsupport::readFile(path()), expect("2.0.0.1", "1.9.9.9", "1800000000", "1800000500", "0", "1", "3"));
    history.setNotified(true);
    QCOMPARE(testsupport::readFile(path()), expect("2.0.0.1", "1.9.9.9", "1800000000", "1800000500", "1", "1", "3"));
    history.setLastUpgradeStatus(11);
    QCOMPARE(testsupport::readFile(path()),
             expect("2.0.0.1", "1.9.9.9", "1800000000", "1800000500", "1", "1", "11"));
    history.setCancelled(false);
    QCOMPARE(testsupport::readFile(path()),
             expect("2.0.0.1", "1.9.9.9", "1800000000", "1800000500", "1", "0", "11"));

    // And a fresh reader sees the same record.
    HistoryConfig again;
    again.parseHistory(path());
    QCOMPARE(again.destVersion(), QStringLiteral("2.0.0.1"));
    QCOMPARE(again.lastUpgradeTime().toTime_t(), 1800000500u);
    QCOMPARE(again.lastUpgradeStatus(), 11u);
    QVERIFY(again.notified());
    QVERIFY(!again.cancelled());
}

void TestHistoryConfig::saveCreatesFileButKeepsExists()
{
    HistoryConfig history;
    history.parseHistory(path());
    QVERIFY(!history.exists());
    history.setCancelled(true);
    QVERIFY(!history.exists());
    QCOMPARE(testsupport::readFile(path()),
             QByteArray("[history]\nCancelled=1\nDestVesion=\nLastNotifyTime=0\nLastUpgradeStatus=0\n"
                        "LastUpgradeTime=0\nNotified=0\nPreVersion=\n"));
}

void TestHistoryConfig::editionsKeepSeparateFiles()
{
    HistoryConfig teacher;
    teacher.parseHistory(path("solupdate_history_teacher.ini"));
    HistoryConfig student;
    student.parseHistory(path("solupdate_history_student.ini"));
    teacher.setDestVersion("5.0.0");
    student.setDestVersion("6.0.0");

    HistoryConfig reread;
    reread.parseHistory(path("solupdate_history_teacher.ini"));
    QCOMPARE(reread.destVersion(), QStringLiteral("5.0.0"));
    reread.parseHistory(path("solupdate_history_student.ini"));
    QCOMPARE(reread.destVersion(), QStringLiteral("6.0.0"));
}

QTEST_GUILESS_MAIN(TestHistoryConfig)
#include "tst_historyconfig.moc"
