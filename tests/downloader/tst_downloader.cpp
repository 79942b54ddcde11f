#include "downloader/downloader.h"

#include "common/logcapture.h"
#include "common/testenv.h"
#include "httpserver/httpserver.h"

#include <QNetworkReply>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#endif

using downloader::ContentCheck;
using downloader::Downloader;
using downloader::kKindPackage;
using downloader::kKindUpdateInfo;
using testsupport::HttpServer;
using testsupport::LogCapture;

Q_DECLARE_METATYPE(ContentCheck)

namespace {

// Short enough that a stalled answer fails quickly, long enough that a busy machine never stalls.
constexpr int kStallMs = 500;

// Records the callbacks, and whether the target file still existed when the outcome arrived.
struct Recorder : Downloader::Delegate
{
    void onDownloadProgress(qint64 received, qint64 total) override { progress.append({ received, total }); }
    void onDownloadComplete(bool success) override { outcome(success ? "complete" : "failed"); }
    void onDownloadCancelled() override { outcome("cancelled"); }
    void outcome(const QString &what)
    {
        outcomes << what;
        fileAtOutcome = QFileInfo::exists(path);
    }

    QString path;
    QStringList outcomes;
    QList<QPair<qint64, qint64>> progress;
    bool fileAtOutcome = false;
};

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &byte : data)
        byte = char(generator.bounded(256));
    return data;
}

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

    struct Run
    {
        std::unique_ptr<Downloader> downloader;
        std::shared_ptr<Recorder> recorder;
        bool started = false;
    };

    Run start(int kind, const QUrl &url, const QString &path, int stallMs = kStallMs, const ContentCheck &check = {})
    {
        Run run{ downloader::createDownloader(kind, &m_pool, stallMs, check), std::make_shared<Recorder>() };
        run.recorder->path = path;
        run.started = run.downloader->initialize(run.recorder, url, path) && run.downloader->run();
        return run;
    }

    QTemporaryDir m_dir;
    HttpServer m_http;
    HttpServer m_https;
    QThreadPool m_pool;
    int m_counter = 0;
    const QByteArray m_large = randomBytes(3 * 1024 * 1024 + 17);
    const QByteArray m_huge = randomBytes(5 * 1024 * 1024);

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_http.listen());
        QVERIFY(m_https.listen(0, true));
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificate(HttpServer::testCertificate());
        QSslConfiguration::setDefaultConfiguration(ssl);
        m_pool.setMaxThreadCount(1);
#ifndef Q_OS_WIN
        // Writes past a file size limit then fail the way they do on a full disk.
        std::signal(SIGXFSZ, SIG_IGN);
#endif
        m_http.setBody("/file", "hello world");
        m_http.setBody("/dir/target", "relative target");
        m_http.setBody("/never", "plain http");
        m_http.setBody("/large-nolength", m_large, false);
        m_http.setStatus("/missing", 404, "gone");
        m_http.setRoute("/stall-mid", { 200, {}, randomBytes(1000), {}, true, true, 300 });
        // /hop<n> takes n + 1 redirects to reach /file.
        m_http.setRedirect("/hop0", 301, "/file");
        for (int i = 1; i <= 20; ++i)
            m_http.setRedirect(QStringLiteral("/hop%1").arg(i), 301, QStringLiteral("/hop%1").arg(i - 1).toUtf8());
        m_https.setBody("/file", "secure body");
        m_https.setRedirect("/to-https", 302, "/file");
        m_https.setRedirect("/to-http", 302, m_http.url("/never").toString().toUtf8());
    }

    void initialize_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("poolThreads"); // 0: no I/O pool at all
        QTest::addColumn<bool>("accepted");
        const QUrl good = m_http.url("/file");
        const QUrl invalid("http://[::1");
        const QString path = m_dir.filePath("initialized.bin");
        for (int kind : { kKindUpdateInfo, kKindPackage }) {
            const char *k = kind == kKindPackage ? "package" : "updateinfo";
            const int pool = kind == kKindPackage; // the update description needs none
            QTest::addRow("%s valid", k) << kind << good << path << pool << true;
            QTest::addRow("%s empty path", k) << kind << good << QString() << pool << false;
            QTest::addRow("%s invalid url", k) << kind << invalid << path << pool << false;
            QTest::addRow("%s local file", k) << kind << QUrl("file:///etc/hostname") << path << pool << false;
        }
        QTest::newRow("package pool of two") << kKindPackage << good << path << 2 << false;
        QTest::newRow("package without pool") << kKindPackage << good << path << 0 << false;
    }

    void initialize()
    {
        QFETCH(int, kind);
        QFETCH(QUrl, url);
        QFETCH(QString, path);
        QFETCH(int, poolThreads);
        QFETCH(bool, accepted);
        QThreadPool pool;
        pool.setMaxThreadCount(qMax(poolThreads, 1));
        LogCapture log;
        const auto downloader = downloader::createDownloader(kind, poolThreads ? &pool : nullptr);
        QCOMPARE(downloader->initialize(std::make_shared<Recorder>(), url, path), accepted);
        QCOMPARE(log.texts(QtCriticalMsg).size(), accepted ? 0 : 1);
    }

    void transfer_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QUrl>("url");
        // What the target holds afterwards; null: the transfer fails and leaves no file.
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("errorCode"); // -1: not checked
        QTest::addColumn<QString>("critical"); // part of the critical log line; empty: none at all
        QTest::addColumn<QString>("when"); // how the transfer is interrupted; empty: it is not
        QTest::addColumn<ContentCheck>("check"); // the package's size and hash as its description names them

        const QByteArray none;
        const QByteArray hello("hello world");
        for (int kind : { kKindUpdateInfo, kKindPackage }) {
            const bool info = kind == kKindUpdateInfo;
            const char *k = info ? "updateinfo" : "package";
            const auto row = [kind, k](const QString &name, const QUrl &url, const QByteArray &content,
                                     int errorCode = -1, const QString &critical = QString(),
                                     const QString &when = QString(), const ContentCheck &check = {}) {
                QTest::addRow("%s %s", k, qPrintable(name))
                        << kind << url << content << errorCode << critical << when << check;
            };
            const auto http = [this](const QString &path) { return m_http.url(path); };
            const auto serve = [this](const QString &path, const HttpServer::Route &route) {
                m_http.setRoute(path, route);
                return m_http.url(path);
            };
            row("200", serve("/ok", { 200, {}, hello }), hello, 0);
            row("no length", serve("/nolength", { 200, {}, "unknown length", {}, false }), "unknown length");
            row("empty body", serve("/empty", {}), "");
            row("3 MiB", serve("/large", { 200, {}, m_large }), m_large);
            row("5 MiB", serve("/huge", { 200, {}, m_huge }), info ? none : m_huge, -1,
                    info ? "content too large, limit:4194304" : "");
            for (int code : { 301, 302, 303, 305, 307, 308 }) {
                const QString path = QStringLiteral("/%1").arg(code);
                row("redirect " + path, serve(path, { code, "/file" }), hello);
            }
            row("absolute location", serve("/absolute", { 302, http("/file").toString().toUtf8() }), hello);
            row("relative location", serve("/dir/sub/relative", { 302, "../target" }), "relative target");
            row("304 not followed", serve("/304", { 304, "/file" }), "");
            row("306 not followed", serve("/306", { 306, "/file", "carried" }), "carried");
            row("no location", serve("/no-location", { 302 }), none, -1, "redirection target is invalid");
            row("20 redirects", http("/hop19"), hello);
            row("21 redirects", http("/hop20"), none, -1, "too many redirections, limit:20");
            row("https to https", m_https.url("/to-https"), "secure body");
            row("https to http", m_https.url("/to-http"), none, -1, "refuses insecure redirection");
            // Anyone who can answer plain http could otherwise hand over a local file.
            row("to a local file", serve("/to-file", { 302, "file:///etc/hostname" }), none, -1, "refuses url scheme");
            row("404", http("/missing"), none, QNetworkReply::ContentNotFoundError);
            row("stall mid-body", http("/stall-mid"), none, QNetworkReply::TimeoutError, "timed out");
            // Slower in total than the stall limit, but never silent for that long.
            const QByteArray body = randomBytes(1000);
            row("slow trickle", serve("/trickle", { 200, {}, body, {}, true, false, 0, -1, 100, 100 }), body);
            row("short body", serve("/drop", { 200, {}, m_large, {}, true, false, 0, 40000 }), none,
                    QNetworkReply::RemoteHostClosedError);
            // The target's directory is missing at run, or goes while a redirect is on its way; the disk
            // fills up after 1 MiB, and without a length only the failed write tells that the file is not
            // whole; a cancel mid-body, twice; the delegate gone before a 404 arrives.
            row("open", http("/large-nolength"), none, -1, "open file failed", "open");
            row("reopen", http("/hop0"), none, -1, "open file failed", "reopen");
            row("write", http("/large-nolength"), none, QNetworkReply::OperationCanceledError, "write file failed",
                    "write");
            row("cancel", http("/stall-mid"), none, -1, "", "cancel");
            row("no delegate", http("/missing"), none, -1, "", "no delegate");
        }
        // A package is taken only when it is what its description names; one that keeps coming past
        // its size is cut off there (the stall would otherwise fail it only after the limit).
        const auto check = [this](const char *tag, const char *path, const ContentCheck &check,
                                   const QByteArray &content, const QString &critical) {
            QTest::newRow(tag) << kKindPackage << m_http.url(path) << content << -1 << critical << QString() << check;
        };
        const QByteArray sha = QCryptographicHash::hash(m_large, QCryptographicHash::Sha256);
        QByteArray changed = m_large;
        changed[1000] = char(~changed[1000]);
        m_http.setBody("/changed", changed);
        m_http.setRoute("/endless", { 200, {}, m_huge, {}, false, true, 4 * 1024 * 1024 });
        check("package as named", "/large", { m_large.size(), sha }, m_large, "");
        check("package one byte changed", "/changed", { m_large.size(), sha }, none,
                "sha256 mismatch, expected:" + sha.toHex());
        check("package shorter than named", "/large", { m_large.size() + 1, sha }, none,
                "size mismatch, expected:3145746, received:3145745");
        check("package endless", "/endless", { 1024 * 1024, {} }, none, "content too large, limit:1048576");
    }

    void transfer()
    {
        QFETCH(int, kind);
        QFETCH(QUrl, url);
        QFETCH(QByteArray, content);
        QFETCH(int, errorCode);
        QFETCH(QString, critical);
        QFETCH(QString, when);
        QFETCH(ContentCheck, check);
        const QString dir = m_dir.filePath(QStringLiteral("dir%1").arg(++m_counter));
        const QString target = dir + "/target.bin";
        QVERIFY(when == "open" || QDir().mkpath(dir));
        const auto moved = connect(&m_http, &HttpServer::requestReceived, this, [&](const QString &requested) {
            if (when == "reopen" && requested == "/hop0")
                QDir().rename(dir, dir + "-gone");
        });
#ifdef Q_OS_WIN
        if (when == "write")
            QSKIP("Windows has no file size limit to stand in for a full disk");
        if (url.scheme() == "https" && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
            QSKIP("wine's Schannel, built on GnuTLS, fails the handshake with the test server");
        const auto restore = qScopeGuard([&] { disconnect(moved); });
#else
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit limited{ 1024 * 1024, saved.rlim_max };
        QVERIFY(when != "write" || setrlimit(RLIMIT_FSIZE, &limited) == 0);
        const auto restore = qScopeGuard([&] {
            setrlimit(RLIMIT_FSIZE, &saved);
            disconnect(moved);
        });
#endif
        const QStringList requestsBefore = m_http.requestedPaths();
        LogCapture log;
        Run run = start(kind, url, target, when.isEmpty() ? kStallMs : 10000, check);
        QCOMPARE(run.started, when != "open");
        if (when == "cancel") {
            // Part of the body is on disk and the rest does not come.
            QTRY_COMPARE(QFileInfo(target).size(), qint64(300));
            QVERIFY(run.downloader->cancel());
            QVERIFY(run.downloader->cancel());
        } else if (when == "no delegate") {
            run.recorder.reset();
        }
        // Nobody is told about a run that never started or has no delegate; the log shows its end.
        QTRY_VERIFY_WITH_TIMEOUT(run.recorder && run.started
                        ? !run.recorder->outcomes.isEmpty()
                        : log.texts().filter("finished, errorcode:").size() == int(run.started),
                10000);
        QTest::qWait(50); // nothing further arrives once the outcome is known
        // Qt finishes the reply inside abort(); only a later finish would be told as a cancel.
        const bool toldCancel
                = when == "cancel" && kind == kKindPackage && run.recorder->outcomes == QStringList{ "cancelled" };
        if (run.recorder && !toldCancel)
            QCOMPARE(run.recorder->outcomes,
                    run.started ? QStringList{ content.isNull() ? "failed" : "complete" } : QStringList());
        QCOMPARE(QFileInfo::exists(target), !content.isNull());
        QCOMPARE(testsupport::readFile(target), content);
        QVERIFY(errorCode < 0 || run.downloader->errorCode() == errorCode);
        const QString criticals = log.texts(QtCriticalMsg).join('\n');
        QVERIFY2(critical.isEmpty() ? criticals.isEmpty() : criticals.contains(critical), qPrintable(criticals));
        if (run.recorder) {
            // The upgrade runner must never see a partial package.
            QVERIFY(kind == kKindUpdateInfo || !content.isNull() || !run.recorder->fileAtOutcome);
            const auto &progress = run.recorder->progress;
            QVERIFY(kind == kKindUpdateInfo ? progress.isEmpty()
                                            : content.isEmpty()
                                    || progress.last() == qMakePair(qint64(content.size()), qint64(content.size())));
        }
        // No request for a file that cannot be opened, and none by plain http after https.
        QVERIFY(when != "open" || m_http.requestedPaths() == requestsBefore);
        QCOMPARE(m_http.requestedPaths().count("/never"), requestsBefore.count("/never"));
    }
};

QTEST_GUILESS_MAIN(TestDownloader)

#include "tst_downloader.moc"
