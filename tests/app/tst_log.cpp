#include "log/log.h"

#include "common/logcapture.h"
#include "common/testenv.h"

#include <QtConcurrent>
#include <QtTest>

// "yyyy-MM-dd hh:mm:ss.zzz ddd" then CR LF LF.
static const QString kRecordTail = QStringLiteral(R"( \(:0, \) \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \w{3}\r\n\n)");

static QString logContent()
{
    return QString::fromUtf8(testsupport::readFile(applog::logFilePath()));
}

class TestLog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() { applog::uninitLog(); }

    void directory_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("used"); // "default", or empty: no log file
        QTest::newRow("given") << m_dir.filePath("given") << m_dir.filePath("given");
        QTest::newRow("empty") << QString() << "default";
        QTest::newRow("does not exist") << m_dir.filePath("no/such/dir") << "default";
        // Nobody, not even root, creates files in /proc: the run goes on without a log.
        QTest::newRow("cannot be opened") << "/proc"
                                          << "";
    }

    void directory()
    {
        QFETCH(QString, given);
        QFETCH(QString, used);
#ifdef Q_OS_WIN
        if (given == "/proc")
            QSKIP("wine runs as an administrator, to whom every folder is open");
#endif
        QVERIFY(QDir().mkpath(m_dir.filePath("given")));
        QDir(applog::defaultLogDir()).removeRecursively();
        if (used == "default")
            used = QDir(applog::defaultLogDir()).absolutePath();
        testsupport::LogCapture capture;
        applog::initLog(given);
        const QString path = applog::logFilePath();
        QCOMPARE(QFileInfo(path).absolutePath(), used.isEmpty() ? QString() : used);
        const QRegularExpression name(
                QStringLiteral("/solupdate_%1_\\d{14}\\.log$").arg(QCoreApplication::applicationPid()));
        QCOMPARE(name.match(path).hasMatch(), !used.isEmpty());
        QVERIFY(!QFileInfo(m_dir.filePath("no/such/dir")).exists());
        // Without a file no handler is installed: messages go where they went before.
        applog::info(QStringLiteral("still running"));
        QCOMPARE(capture.texts(), used.isEmpty() ? QStringList{ "still running" } : QStringList());
    }

    void record_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("head");
        QTest::newRow("info, chinese") << int(applog::Info) << QStringLiteral("路径:教育 客户端")
                                       << QStringLiteral("Info: \"路径:教育 客户端\"");
        QTest::newRow("critical, path and quotes") << int(applog::Critical) << "C:\\Program Files\\\"Client\"\\a.exe"
                                                   << "Critical: \"C:\\\\Program Files\\\\\\\"Client\\\"\\\\a.exe\"";
        // Percent escapes look like placeholders; the record must not fill them.
        QTest::newRow("percent escapes") << int(applog::Debug) << "url:http://h/a%2Fb?c=%1&d=%5"
                                         << "Debug: \"url:http://h/a%2Fb?c=%1&d=%5\"";
    }

    void record()
    {
        QFETCH(int, level);
        QFETCH(QString, message);
        QFETCH(QString, head);
        const QString dir = m_dir.filePath(QTest::currentDataTag());
        QVERIFY(QDir().mkpath(dir));
        applog::initLog(dir);
        applog::write(applog::Level(level), message);
        // On disk as soon as it is written, before the file is closed.
        const QRegularExpression record("^" + QRegularExpression::escape(head) + kRecordTail + "$");
        QVERIFY2(record.match(logContent()).hasMatch(), qPrintable(logContent()));
    }

    void concurrentRecordsStayWhole()
    {
        QVERIFY(QDir().mkpath(m_dir.filePath("threads")));
        applog::initLog(m_dir.filePath("threads"));
        const int perThread = 2000;
        auto writer = [](const QString &tag) {
            for (int i = 0; i < perThread; ++i)
                applog::info(QStringLiteral("%1 record %2 with some padding to make it longer").arg(tag).arg(i));
        };
        QFuture<void> a = QtConcurrent::run(writer, QStringLiteral("alpha"));
        writer(QStringLiteral("beta"));
        a.waitForFinished();

        const QString content = logContent();
        const QRegularExpression record(
                "Info: \"(alpha|beta) record (\\d+) with some padding to make it longer\"" + kRecordTail);
        QMap<QString, int> next{ { "alpha", 0 }, { "beta", 0 } };
        int offset = 0;
        for (auto it = record.globalMatch(content); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            QCOMPARE(match.capturedStart(), offset); // no stray bytes between records
            offset = match.capturedEnd();
            // Each thread's records appear whole and in its own order.
            QCOMPARE(match.captured(2).toInt(), next[match.captured(1)]++);
        }
        QCOMPARE(offset, content.size());
        QCOMPARE(next, (QMap<QString, int>{ { "alpha", perThread }, { "beta", perThread } }));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
