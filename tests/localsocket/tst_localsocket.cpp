#include "localsocket/jsonutil.h"
#include "localsocket/localclientwrapper.h"
#include "localsocket/localsocketmessage.h"

#include "common/testenv.h"
#include "master/mastermockprocess.h"

#include <QtTest>

using testsupport::MasterMockProcess;

class TestLocalSocket : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void jsonText_data();
    void jsonText();
    void wireBytesAndCounter();
    void payloadSurvivesParse_data();
    void payloadSurvivesParse();
    void refusedWithoutSending_data();
    void refusedWithoutSending();
    void noServer();
    void receiverClosesWithoutAnswer();
    void receiverNeverAnswers();

private:
    QString serverName(const char *tag) const { return QStringLiteral("tst_localsocket_%1_%2").arg(tag).arg(QCoreApplication::applicationPid()); }
    QTemporaryDir m_dir;
};

void TestLocalSocket::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestLocalSocket::jsonText_data()
{
    QTest::addColumn<QVariantMap>("map");
    QTest::addColumn<QString>("expected");
    QTest::newRow("sorted keys, booleans, text")
            << QVariantMap{ { "targetVersion", "1.2.3" }, { "needUpdate", true }, { "isManual", false } }
            << R"({"isManual":false,"needUpdate":true,"targetVersion":"1.2.3"})";
    QTest::newRow("numbers") << QVariantMap{ { "index", 7 }, { "needAck", 1 } } << R"({"index":7,"needAck":1})";
    QTest::newRow("escapes") << QVariantMap{ { "data", "a\"b\\c\nd" } } << R"({"data":"a\"b\\c\nd"})";
    QTest::newRow("non-ascii stays text") << QVariantMap{ { "data", QStringLiteral("更新") } }
                                          << QStringLiteral(R"({"data":"更新"})");
    QTest::newRow("empty map") << QVariantMap{} << "{}";
}

void TestLocalSocket::jsonText()
{
    QFETCH(QVariantMap, map);
    QTEST(jsonFromVariantMap(map), "expected");
}

void TestLocalSocket::wireBytesAndCounter()
{
    const QString out = m_dir.filePath("wire.txt");
    MasterMockProcess master;
    QVERIFY(master.start(serverName("wire"), out));

    LocalClientWrapper client;
    QVERIFY(client.synchSendDataToServerWithAck(serverName("wire"), "hello", 3));
    QVERIFY(client.synchSendDataToServerWithAck(serverName("wire"), "again", 3));
    QTRY_COMPARE(master.messages().size(), 2);
    QCOMPARE(master.messages().at(0), QByteArray(R"({"data":"hello","index":0,"needAck":1})"));
    QCOMPARE(master.messages().at(1), QByteArray(R"({"data":"again","index":1,"needAck":1})"));
    // No newline or other framing: the stand-in adds one newline per message to its file.
    QCOMPARE(testsupport::readFile(out),
             QByteArray("{\"data\":\"hello\",\"index\":0,\"needAck\":1}\n{\"data\":\"again\",\"index\":1,\"needAck\":1}\n"));
}

void TestLocalSocket::payloadSurvivesParse_data()
{
    QTest::addColumn<QString>("payload");
    QTest::newRow("json payload") << R"({"needUpdate":true,"targetVersion":"1.2.3"})";
    QTest::newRow("quotes and backslashes") << R"(C:\Program Files\"Client"\ and \\server\share)";
    QTest::newRow("line breaks and tabs") << "line one\nline two\ttab";
}

void TestLocalSocket::payloadSurvivesParse()
{
    QFETCH(QString, payload);
    const QString out = m_dir.filePath(QStringLiteral("payload_%1.txt").arg(QTest::currentDataTag()).replace(' ', '_'));
    MasterMockProcess master;
    QVERIFY(master.start(serverName("payload"), out));
    LocalClientWrapper client;
    QVERIFY(client.synchSendDataToServerWithAck(serverName("payload"), payload, 3));
    QTRY_COMPARE(master.messages().size(), 1);
    const QJsonObject received = QJsonDocument::fromJson(master.messages().first()).object();
    QCOMPARE(received.value("data").toString(), payload);
    QCOMPARE(received.value("index").toInt(-1), 0);
    QCOMPARE(received.value("needAck").toInt(), 1);
}

void TestLocalSocket::refusedWithoutSending_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("data");
    QTest::newRow("empty payload") << serverName("refuse") << "";
    QTest::newRow("empty server name") << "" << "hello";
}

void TestLocalSocket::refusedWithoutSending()
{
    QFETCH(QString, server);
    QFETCH(QString, data);
    const QString out = m_dir.filePath(QStringLiteral("refused_%1.txt").arg(QTest::currentDataTag()).replace(' ', '_'));
    MasterMockProcess master;
    QVERIFY(master.start(serverName("refuse"), out));
    LocalClientWrapper client;
    QVERIFY(!client.synchSendDataToServerWithAck(server, data, 3));
    QCOMPARE(client.nextIndex(), 0);
    // The next real message still carries index 0.
    QVERIFY(client.synchSendDataToServerWithAck(serverName("refuse"), "next", 3));
    QTRY_COMPARE(master.messages().size(), 1);
    QCOMPARE(master.messages().first(), QByteArray(R"({"data":"next","index":0,"needAck":1})"));
}

void TestLocalSocket::noServer()
{
    LocalClientWrapper client;
    QVERIFY(!client.synchSendDataToServerWithAck(serverName("nobody"), "hello", 1));
    QCOMPARE(client.nextIndex(), 0);
}

void TestLocalSocket::receiverClosesWithoutAnswer()
{
    const QString out = m_dir.filePath("closes.txt");
    MasterMockProcess master;
    QVERIFY(master.start(serverName("closes"), out, { "--never-answer" }));
    LocalClientWrapper client;
    QVERIFY(!client.synchSendDataToServerWithAck(serverName("closes"), "hello", 3));
    // Delivered, but not acknowledged.
    QTRY_COMPARE(master.messages().size(), 1);
    QCOMPARE(client.nextIndex(), 1);
}

void TestLocalSocket::receiverNeverAnswers()
{
    // The receiver keeps the connection open and stays silent: the send gives up after its
    // 30 s answer limit instead of hanging.
    const QString out = m_dir.filePath("silent.txt");
    MasterMockProcess master;
    QVERIFY(master.start(serverName("silent"), out, { "--never-answer", "--hold" }));
    LocalClientWrapper client;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client.synchSendDataToServerWithAck(serverName("silent"), "hello", 3));
    QVERIFY(timer.elapsed() >= 29000);
    QCOMPARE(master.messages().size(), 1);
}

QTEST_GUILESS_MAIN(TestLocalSocket)
#include "tst_localsocket.moc"
