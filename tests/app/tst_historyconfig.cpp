#include "app/historyconfig.h"

#include "common/testenv.h"

#include <QtTest>

#include <functional>

using app::HistoryConfig;
using Change = std::function<void(HistoryConfig &)>;
Q_DECLARE_METATYPE(Change)

class TestHistoryConfig : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void write_data();
    void write();

private:
    QTemporaryDir m_dir;
};

static QString fields(const HistoryConfig &h)
{
    return QStringList{ h.destVersion(), h.preVersion(), QString::number(h.lastNotifyTime().toTime_t()),
                        QString::number(h.lastUpgradeTime().toTime_t()), QString::number(h.notified()),
                        QString::number(h.cancelled()), QString::number(h.lastUpgradeStatus()) }
            .join('|');
}

void TestHistoryConfig::read_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("fields"); // dest|pre|notify|upgrade|notified|cancelled|status

    QTest::newRow("first run") << QByteArray() << false << "||0|0|0|0|0";
    QTest::newRow("all keys") << QByteArray("[history]\nDestVesion=1.1.0.0\nPreVersion=1.0.0.0\n"
                                            "LastNotifyTime=1700000000\nLastUpgradeTime=1700000100\nNotified=1\n"
                                            "Cancelled=1\nLastUpgradeStatus=6\n")
                              << true << "1.1.0.0|1.0.0.0|1700000000|1700000100|1|1|6";
    QTest::newRow("no LastNotifyTime reads as 1970") << QByteArray("[history]\nCancelled=1\nLastUpgradeTime=5\n")
                                                     << true << "||0|5|0|1|0";
    QTest::newRow("bad numbers read as 0")
            << QByteArray("[history]\nLastNotifyTime=soon\nLastUpgradeTime=-5\nLastUpgradeStatus=x\n") << true
            << "||0|0|0|0|0";
    QTest::newRow("booleans as words") << QByteArray("[history]\nNotified=true\nCancelled=false\n") << true
                                       << "||0|0|1|0|0";
    QTest::newRow("DestVersion spelled right is not read") << QByteArray("[history]\nDestVersion=2.0.0\n") << true
                                                           << "||0|0|0|0|0";
    QTest::newRow("other section not read") << QByteArray("[other]\nCancelled=1\nDestVesion=3.0.0\n") << true
                                            << "||0|0|0|0|0";
}

void TestHistoryConfig::read()
{
    QFETCH(QByteArray, content);
    const QString path = m_dir.filePath(QStringLiteral("read_%1.ini").arg(QTest::currentDataTag()));
    if (!content.isEmpty())
        QVERIFY(testsupport::writeFile(path, content));
    HistoryConfig history;
    history.parseHistory(path);
    QTEST(history.exists(), "exists");
    QTEST(fields(history), "fields");
    // Reading never writes.
    QCOMPARE(testsupport::readFile(path), content);
    QCOMPARE(QFile::exists(path), !content.isEmpty());
}

void TestHistoryConfig::write_data()
{
    QTest::addColumn<bool>("existed");
    QTest::addColumn<Change>("change");
    QTest::addColumn<QString>("changedKey"); // key=value written instead of the file's own

    QTest::newRow("cancelled") << true << Change([](HistoryConfig &h) { h.setCancelled(true); }) << "Cancelled=1";
    QTest::newRow("dest version") << true << Change([](HistoryConfig &h) { h.setDestVersion("2.0.0.1"); })
                                  << "DestVesion=2.0.0.1";
    QTest::newRow("pre version") << true << Change([](HistoryConfig &h) { h.setPreVersion("1.9"); }) << "PreVersion=1.9";
    QTest::newRow("notify time") << true
                                 << Change([](HistoryConfig &h) { h.setLastNotifyTime(QDateTime::fromTime_t(1800000000)); })
                                 << "LastNotifyTime=1800000000";
    QTest::newRow("upgrade time") << true
                                  << Change([](HistoryConfig &h) { h.setLastUpgradeTime(QDateTime::fromTime_t(4000000000u)); })
                                  << "LastUpgradeTime=4000000000";
    QTest::newRow("notified") << true << Change([](HistoryConfig &h) { h.setNotified(true); }) << "Notified=1";
    QTest::newRow("status") << true << Change([](HistoryConfig &h) { h.setLastUpgradeStatus(11); })
                            << "LastUpgradeStatus=11";
    QTest::newRow("first run creates the file") << false << Change([](HistoryConfig &h) { h.setNotified(false); })
                                                << "";
}

// Every setter rewrites the whole file at once, and a fresh reader sees the same record.
void TestHistoryConfig::write()
{
    QFETCH(bool, existed);
    QFETCH(Change, change);
    QFETCH(QString, changedKey);
    const QString path = m_dir.filePath(QStringLiteral("write_%1.ini").arg(QTest::currentDataTag()));
    QStringList lines{ "Cancelled=0", "DestVesion=1.1.0", "LastNotifyTime=100", "LastUpgradeStatus=3",
                       "LastUpgradeTime=200", "Notified=0", "PreVersion=1.0.0" };
    if (!existed)
        lines = QStringList{ "Cancelled=0", "DestVesion=", "LastNotifyTime=0", "LastUpgradeStatus=0",
                             "LastUpgradeTime=0", "Notified=0", "PreVersion=" };
    if (existed)
        QVERIFY(testsupport::writeFile(path, ("[history]\n" + lines.join('\n') + '\n').toUtf8()));

    HistoryConfig history;
    history.parseHistory(path);
    change(history);
    for (QString &line : lines) {
        if (!changedKey.isEmpty() && line.section('=', 0, 0) == changedKey.section('=', 0, 0))
            line = changedKey;
    }
    QCOMPARE(QString::fromUtf8(testsupport::readFile(path)), "[history]\n" + lines.join('\n') + '\n');
    // exists keeps describing the state at startup.
    QCOMPARE(history.exists(), existed);
    HistoryConfig again;
    again.parseHistory(path);
    QCOMPARE(fields(again), fields(history));
}

QTEST_GUILESS_MAIN(TestHistoryConfig)
#include "tst_historyconfig.moc"
