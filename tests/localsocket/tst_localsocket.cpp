#include "localsocket/localclientwrapper.h"

#include "master/mastermockprocess.h"

#include <QtTest>

// The bytes the master receives, message by message, and what the sender is told.
class TestLocalSocket : public QObject
{
    Q_OBJECT

private slots:
    void send_data()
    {
        QTest::addColumn<QString>("server"); // "master": the stand-in's name, else a name nobody listens on
        QTest::addColumn<QStringList>("masterOptions");
        QTest::addColumn<QStringList>("payloads");
        QTest::addColumn<QList<bool>>("results");
        QTest::addColumn<QList<QByteArray>>("received");
        const QByteArray hello = R"({"data":"hello","index":0,"needAck":1})";
        const QStringList plain;
        QTest::newRow("two messages, no framing, escaped")
                << "master" << plain << QStringList{ "hello", "{\"v\":\"C:\\\\x\"}\n" } << QList<bool>{ true, true }
                << QList<QByteArray>{ hello,
                       "{\"data\":\"{\\\"v\\\":\\\"C:\\\\\\\\x\\\"}\\n\",\"index\":1,\"needAck\":1}" };
        QTest::newRow("empty payload: refused, index kept") << "master" << plain << QStringList{ "", "hello" }
                                                            << QList<bool>{ false, true } << QList<QByteArray>{ hello };
        QTest::newRow("nobody listens") << "none" << plain << QStringList{ "hello" } << QList<bool>{ false }
                                        << QList<QByteArray>();
        QTest::newRow("closed without answer") << "master" << QStringList{ "--never-answer" } << QStringList{ "hello" }
                                               << QList<bool>{ false } << QList<QByteArray>{ hello };
        QTest::newRow("never answers: gives up")
                << "master" << QStringList{ "--never-answer", "--hold" } << QStringList{ "hello" }
                << QList<bool>{ false } << QList<QByteArray>{ hello };
    }

    void send()
    {
        QFETCH(QString, server);
        QFETCH(QStringList, masterOptions);
        QFETCH(QStringList, payloads);
        QFETCH(QList<bool>, results);
        const QString name = QStringLiteral("tst_localsocket_%1").arg(QCoreApplication::applicationPid());
        testsupport::MasterMockProcess master;
        QVERIFY(master.start(name, m_dir.filePath(QTest::currentDataTag()), masterOptions));
        LocalClientWrapper client;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < payloads.size(); ++i) {
            const QString to = server == "master" ? name : name + "_none";
            QCOMPARE(client.synchSendDataToServerWithAck(to, payloads.at(i), 1, 2000), results.at(i));
        }
        QVERIFY(timer.elapsed() < 10000);
        QFETCH(QList<QByteArray>, received);
        QTRY_COMPARE(master.messages(), received);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestLocalSocket)
#include "tst_localsocket.moc"
