#include "app/log.h"

#include "common/logcapture.h"
#include "common/testenv.h"

#include <QtConcurrent>
#include <QtTest>

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void fileName();
    void recordFormat_data();
    void recordFormat();
    void missingDirectoryFallsBackToDefault_data();
    void missingDirectoryFallsBackToDefault();
    void concurrentRecordsStayWhole();
    void fileThatCannotBeOpened();

private:
    QTemporaryDir m_dir;
};

// "yyyy-MM-dd hh:mm:ss.zzz ddd" then CR LF LF.
static const char *const kRecordTail = R"( \(:0, \) \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \w{3}\r\n\n)";

void TestLog::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
}

void TestLog::cleanup()
{
    applog::uninitLog();
}

void TestLog::fileName()
{
    const QString dir = m_dir.filePath("names");
    QVERIFY(QDir().mkpath(dir));
    applog::initLog(dir);
    const QString path = applog::logFilePath();
    const QRegularExpression shape(QRegularExpression::escape(dir) + QStringLiteral("/solupdate_")
                                   + QString::number(QCoreApplication::applicationPid())
                                   + QStringLiteral("_(\\d{14})\\.log$"));
    const QRegularExpressionMatch match = shape.match(path);
    QVERIFY2(match.hasMatch(), qPrintable(path));
    const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyyMMddhhmmss");
    QVERIFY(stamp.isValid());
    QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 120);
    QVERIFY(QFile::exists(path));
}

void TestLog::recordFormat_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("expectedHead");

    QTest::newRow("info") << int(applog::Info) << "mainapplication initialize"
                          << QByteArray("Info: \"mainapplication initialize\"");
    QTest::newRow("debug") << int(applog::Debug) << "upgrade server listening."
                           << QByteArray("Debug: \"upgrade server listening.\"");
    QTest::newRow("critical, windows path and quotes")
            << int(applog::Critical) << R"(path:C:\Program Files\"Client"\a.exe)"
            << QByteArray(R"(Critical: "path:C:\\Program Files\\\"Client\"\\a.exe")");
    QTest::newRow("chinese text") << int(applog::Info) << QStringLiteral("路径:教育 客户端")
                                  << QStringLiteral("Info: \"路径:教育 客户端\"").toUtf8();
    // Percent escapes in URLs and paths look like placeholders; the record must not fill them.
    QTest::newRow("percent escapes stay as written")
            << int(applog::Info) << "url:http://h/a%2Fb?c=%1&d=%3A%4%5"
            << QByteArray("Info: \"url:http://h/a%2Fb?c=%1&d=%3A%4%5\"");
}

void TestLog::recordFormat()
{
    QFETCH(int, level);
    QFETCH(QString, message);
    QFETCH(QByteArray, expectedHead);

    const QString dir = m_dir.filePath(QString("records_%1").arg(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(dir));
    applog::initLog(dir);
    const QString path = applog::logFilePath();
    QVERIFY(!path.isEmpty());
    applog::write(applog::Level(level), message);
    // A record is on disk as soon as it is written, before the file is closed.
    const QByteArray content = testsupport::readFile(path);
    const QRegularExpression whole(QStringLiteral("^") + QRegularExpression::escape(QString::fromUtf8(expectedHead))
                                   + QString::fromLatin1(kRecordTail) + QStringLiteral("$"));
    QVERIFY2(whole.match(QString::fromUtf8(content)).hasMatch(), content.constData());
}

void TestLog::missingDirectoryFallsBackToDefault_data()
{
    QTest::addColumn<QString>("given");
    QTest::newRow("empty") << QString();
    QTest::newRow("does not exist") << m_dir.filePath("no/such/dir");
    QTest::newRow("a file, not a directory") << m_dir.filePath("plainfile");
}

void TestLog::missingDirectoryFallsBackToDefault()
{
    QFETCH(QString, given);
    testsupport::writeFile(m_dir.filePath("plainfile"), "x");
    const QString defaultDir = applog::defaultLogDir();
    QVERIFY(defaultDir.endsWith("/SolvaneClient/logs/solupdate"));
    QDir(defaultDir).removeRecursively();

    applog::initLog(given);
    const QString path = applog::logFilePath();
    QCOMPARE(QFileInfo(path).absolutePath(), QDir(defaultDir).absolutePath());
    QVERIFY(QFile::exists(path));
    if (!given.isEmpty())
        QVERIFY(!QFileInfo(given).isDir());
}

void TestLog::concurrentRecordsStayWhole()
{
    const QString dir = m_dir.filePath("threads");
    QVERIFY(QDir().mkpath(dir));
    applog::initLog(dir);
    const int perThread = 2000;
    auto writer = [](const QString &tag) {
        for (int i = 0; i < perThread; ++i)
            applog::info(QStringLiteral("%1 record %2 with some padding to make it longer").arg(tag).arg(i));
    };
    QFuture<void> a = QtConcurrent::run(writer, QStringLiteral("alpha"));
    QFuture<void> b = QtConcurrent::run(writer, QStringLiteral("beta"));
    a.waitForFinished();
    b.waitForFinished();

    const QString content = QString::fromUtf8(testsupport::readFile(applog::logFilePath()));
    const QRegularExpression record(QStringLiteral("Info: \"(alpha|beta) record (\\d+) with some padding to make it longer\"")
                                    + QString::fromLatin1(kRecordTail));
    QMap<QString, int> next{ { "alpha", 0 }, { "beta", 0 } };
    int offset = 0;
    auto it = record.globalMatch(content);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        QCOMPARE(match.capturedStart(), offset); // no stray bytes between records
        offset = match.capturedEnd();
        // Each thread's records appear whole and in its own order.
        QCOMPARE(match.captured(2).toInt(), next[match.captured(1)]);
        ++next[match.captured(1)];
    }
    QCOMPARE(offset, content.size());
    QCOMPARE(next.value("alpha"), perThread);
    QCOMPARE(next.value("beta"), perThread);
}

void TestLog::fileThatCannotBeOpened()
{
    // Nobody, not even root, creates files in /proc: the run goes on, its messages where they went.
    testsupport::LogCapture capture;
    applog::initLog(QStringLiteral("/proc"));
    QCOMPARE(applog::logFilePath(), QString());
    applog::info(QStringLiteral("still running"));
    QCOMPARE(capture.texts(), QStringList{ "still running" });
}

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
