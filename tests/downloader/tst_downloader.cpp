#include "downloader/downloader.h"

#include "app/mainapplication.h"
#include "common/logcapture.h"
#include "common/testenv.h"
#include "httpserver/httpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using downloader::Downloader;
using testsupport::HttpServer;
using testsupport::LogCapture;

namespace {

// Records every callback, and what the target file looked like when the outcome arrived.
class Recorder : public Downloader::Delegate
{
public:
    explicit Recorder(const QString &path)
        : m_path(path)
    {
    }
    void onDownloadProgress(qint64 received, qint64 total) override
    {
        if (!outcomes.isEmpty())
            progressAfterOutcome = true;
        progress.append({ received, total });
    }
    void onDownloadComplete(bool success) override
    {
        outcomes << (success ? QStringLiteral("complete:1") : QStringLiteral("complete:0"));
        fileAtOutcome = QFileInfo::exists(m_path);
        duringCancel = insideCancel;
    }
    void onDownloadCancelled() override
    {
        outcomes << QStringLiteral("cancelled");
        fileAtOutcome = QFileInfo::exists(m_path);
        duringCancel = insideCancel;
    }

    QStringList outcomes;
    QList<QPair<qint64, qint64>> progress;
    bool progressAfterOutcome = false;
    bool fileAtOutcome = false;
    bool insideCancel = false;
    bool duringCancel = false;

private:
    QString m_path;
};

QString prefix(int kind)
{
    return kind == downloader::kKindUpdateInfo ? QStringLiteral("updateinfo downloader ")
                                               : QStringLiteral("package downloader ");
}

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (int i = 0; i < size; ++i)
        data[i] = char(generator.bounded(256));
    return data;
}

const int kShortTimeoutMs = 400;

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void factory();
    void initializeChecks_data();
    void initializeChecks();
    void ioThreadPool();
    void transfer_data();
    void transfer();
    void successLogLines_data();
    void successLogLines();
    void progress();
    void httpsToHttpRefused_data();
    void httpsToHttpRefused();
    void cancelMidBody_data();
    void cancelMidBody();
    void delegateGoneBeforeFinish_data();
    void delegateGoneBeforeFinish();
    void targetCannotBeOpened_data();
    void targetCannotBeOpened();
    void writeFailure_data();
    void writeFailure();
    void targetCannotBeReopenedAfterRedirect_data();
    void targetCannotBeReopenedAfterRedirect();

private:
    struct Run
    {
        std::unique_ptr<Downloader> downloader;
        std::shared_ptr<Recorder> recorder;
    };
    Run start(int kind, const QUrl &url, const QString &path, int timeoutMs = 10000);
    void addKinds();
    QString newPath() { return m_dir.filePath(QStringLiteral("target_%1.bin").arg(++m_counter)); }

    QTemporaryDir m_dir;
    HttpServer m_server;
    HttpServer m_tlsServer;
    int m_counter = 0;
    QByteArray m_large;
    QByteArray m_huge;
};

void TestDownloader::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_server.listen());
    QVERIFY(m_tlsServer.listen(0, true));
    // The downloaders trust what the system trusts; the test certificate is added to that.
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificate(HttpServer::testCertificate());
    QSslConfiguration::setDefaultConfiguration(ssl);

    m_large = randomBytes(3 * 1024 * 1024 + 17);
    m_huge = randomBytes(5 * 1024 * 1024);
    m_server.setBody("/file", "hello world");
    m_server.setBody("/empty", QByteArray());
    m_server.setBody("/nolength", "body without a length", false);
    m_server.setBody("/large", m_large);
    m_server.setBody("/huge", m_huge);
    m_server.setBody("/huge-nolength", m_huge, false);
    for (int code : { 301, 302, 303, 305, 307, 308 })
        m_server.setRedirect(QStringLiteral("/redirect/%1").arg(code), code, "/file");
    m_server.setRedirect("/absolute", 302, m_server.url("/file").toString().toUtf8());
    m_server.setRedirect("/dir/sub/relative", 302, "../target");
    m_server.setBody("/dir/target", "relative target");
    m_server.setRedirect("/not-modified", 304, "/file");
    m_server.setRedirect("/switch-proxy", 306, "/file");
    m_server.setRedirect("/no-location", 302, QByteArray());
    m_server.addRedirectChain("/chain20-", 20, 301, "/file");
    m_server.addRedirectChain("/chain21-", 21, 301, "/file");
    m_server.setRedirect("/loop", 302, "/loop");
    m_server.setStatus("/missing", 404, "gone");
    m_server.setStatus("/error", 500, "broken");
    HttpServer::Route stall;
    stall.body = randomBytes(1000);
    stall.stall = true;
    stall.stallAfter = 0;
    m_server.setRoute("/stall", stall);
    stall.stallAfter = 300;
    m_server.setRoute("/stall-mid", stall);
    HttpServer::Route trickle;
    trickle.body = randomBytes(200);
    trickle.trickleBytes = 20;
    trickle.trickleIntervalMs = 60;
    m_server.setRoute("/trickle", trickle);
    HttpServer::Route drop;
    drop.body = randomBytes(100000);
    drop.dropAfter = 40000;
    m_server.setRoute("/drop", drop);

    m_tlsServer.setBody("/file", "secure body");
    m_tlsServer.setRedirect("/to-http", 302, m_server.url("/file").toString().toUtf8());
    m_tlsServer.setRedirect("/to-https", 302, "/file");
}

TestDownloader::Run TestDownloader::start(int kind, const QUrl &url, const QString &path, int timeoutMs)
{
    Run run;
    run.downloader = downloader::createDownloader(kind);
    run.recorder = std::make_shared<Recorder>(path);
    if (!run.downloader)
        return run;
    run.downloader->setTransferTimeoutForTest(timeoutMs);
    if (!run.downloader->initialize(run.recorder, url, path) || !run.downloader->run())
        run.downloader.reset();
    return run;
}

void TestDownloader::addKinds()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("updateinfo") << downloader::kKindUpdateInfo;
    QTest::newRow("package") << downloader::kKindPackage;
}

void TestDownloader::factory()
{
    const std::unique_ptr<Downloader> info = downloader::createDownloader(0);
    const std::unique_ptr<Downloader> package = downloader::createDownloader(1);
    QVERIFY(info);
    QVERIFY(package);
    QCOMPARE(info->metaObject()->className(), "downloader::UpdateInfoDownloader");
    QCOMPARE(package->metaObject()->className(), "downloader::Downloader");
    QVERIFY(!downloader::createDownloader(2));
    QVERIFY(!downloader::createDownloader(-1));
}

void TestDownloader::initializeChecks_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<bool>("emptyPath");
    QTest::addColumn<QString>("message");
    for (int kind : { 0, 1 }) {
        QTest::addRow("%s empty path", kind ? "package" : "updateinfo")
                << kind << m_server.url("/file") << true << prefix(kind) + "initialize failed";
        QTest::addRow("%s invalid url", kind ? "package" : "updateinfo")
                << kind << QUrl("http://[::1") << false << prefix(kind) + "initialize failed";
    }
}

void TestDownloader::initializeChecks()
{
    QFETCH(int, kind);
    QFETCH(QUrl, url);
    QFETCH(bool, emptyPath);
    QFETCH(QString, message);
    LogCapture log;
    const std::unique_ptr<Downloader> downloader = downloader::createDownloader(kind);
    auto recorder = std::make_shared<Recorder>(QString());
    QVERIFY(!downloader->initialize(recorder, url, emptyPath ? QString() : newPath()));
    QCOMPARE(log.texts(QtCriticalMsg), QStringList { message });
}

void TestDownloader::ioThreadPool()
{
    QThreadPool *pool = app::MainApplication::instance()->threadPool();
    pool->setMaxThreadCount(2);
    LogCapture log;
    const std::unique_ptr<Downloader> package = downloader::createDownloader(downloader::kKindPackage, app::MainApplication::instance()->threadPool());
    auto recorder = std::make_shared<Recorder>(QString());
    const bool initialized = package->initialize(recorder, m_server.url("/file"), newPath());
    pool->setMaxThreadCount(1);
    QVERIFY(!initialized);
    QCOMPARE(log.texts(QtCriticalMsg), QStringList { QStringLiteral("package downloader io thread error") });
    // The update-info downloader does not need the pool.
    const std::unique_ptr<Downloader> info = downloader::createDownloader(downloader::kKindUpdateInfo);
    pool->setMaxThreadCount(2);
    const bool infoInitialized = info->initialize(recorder, m_server.url("/file"), newPath());
    pool->setMaxThreadCount(1);
    QVERIFY(infoInitialized);
}

void TestDownloader::transfer_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("success");
    // What the target holds afterwards; a null array means no file is left.
    QTest::addColumn<QByteArray>("content");
    // Critical lines, in order.
    QTest::addColumn<QStringList>("criticals");
    // The finish line's error code of the last answer.
    QTest::addColumn<int>("errorCode");
    // How many redirection lines are logged; a refused redirect is logged, then refused.
    QTest::addColumn<int>("redirections");

    const QByteArray none;
    for (int kind : { 0, 1 }) {
        const char *k = kind ? "package" : "updateinfo";
        const QString p = prefix(kind);
        QTest::addRow("%s 200 with length", k) << kind << "/file" << true << QByteArray("hello world") << QStringList() << 0 << 0;
        QTest::addRow("%s 200 without length", k) << kind << "/nolength" << true << QByteArray("body without a length") << QStringList() << 0 << 0;
        QTest::addRow("%s 200 empty", k) << kind << "/empty" << true << QByteArray("") << QStringList() << 0 << 0;
        QTest::addRow("%s 3 MiB streamed", k) << kind << "/large" << true << m_large << QStringList() << 0 << 0;
        for (int code : { 301, 302, 303, 305, 307, 308 }) {
            QTest::addRow("%s redirect %d", k, code) << kind << QStringLiteral("/redirect/%1").arg(code) << true
                                                     << QByteArray("hello world") << QStringList() << 0 << 1;
        }
        QTest::addRow("%s absolute location", k) << kind << "/absolute" << true << QByteArray("hello world") << QStringList() << 0 << 1;
        QTest::addRow("%s relative location", k) << kind << "/dir/sub/relative" << true << QByteArray("relative target") << QStringList() << 0 << 1;
        // 304 and 306 end the transfer with what they carried.
        QTest::addRow("%s 304 not followed", k) << kind << "/not-modified" << true << QByteArray("") << QStringList() << 0 << 0;
        QTest::addRow("%s 306 not followed", k) << kind << "/switch-proxy" << true << QByteArray("redirected") << QStringList() << 0 << 0;
        QTest::addRow("%s redirect without location", k) << kind << "/no-location" << false << none
                                                          << QStringList { p + "redirection target is invalid" } << 0 << 1;
        QTest::addRow("%s chain of 20", k) << kind << "/chain20-0" << true << QByteArray("hello world") << QStringList() << 0 << 20;
        QTest::addRow("%s chain of 21", k) << kind << "/chain21-0" << false << none
                                           << QStringList { p + "too many redirections, limit:20" } << 0 << 21;
        QTest::addRow("%s loop", k) << kind << "/loop" << false << none
                                    << QStringList { p + "too many redirections, limit:20" } << 0 << 21;
        QTest::addRow("%s 404", k) << kind << "/missing" << false << none << QStringList() << int(QNetworkReply::ContentNotFoundError) << 0;
        QTest::addRow("%s 500", k) << kind << "/error" << false << none << QStringList() << int(QNetworkReply::InternalServerError) << 0;
        QTest::addRow("%s unknown path", k) << kind << "/nowhere" << false << none << QStringList() << int(QNetworkReply::ContentNotFoundError) << 0;
        QTest::addRow("%s stall after headers", k) << kind << "/stall" << false << none
                                                   << QStringList { p + "transfer timed out" } << int(QNetworkReply::TimeoutError) << 0;
        QTest::addRow("%s stall mid-body", k) << kind << "/stall-mid" << false << none
                                              << QStringList { p + "transfer timed out" } << int(QNetworkReply::TimeoutError) << 0;
        // Slower in total than the stall limit, but never silent for that long.
        QTest::addRow("%s slow trickle", k) << kind << "/trickle" << true << QByteArray() << QStringList() << 0 << 0;
        QTest::addRow("%s dropped connection", k) << kind << "/drop" << false << none << QStringList() << -1 << 0;
    }
    QTest::newRow("updateinfo past the size limit")
            << 0 << "/huge" << false << none
            << QStringList { QStringLiteral("updateinfo downloader content too large, limit:4194304") }
            << int(QNetworkReply::OperationCanceledError) << 0;
    QTest::newRow("updateinfo past the size limit without length")
            << 0 << "/huge-nolength" << false << none
            << QStringList { QStringLiteral("updateinfo downloader content too large, limit:4194304") }
            << int(QNetworkReply::OperationCanceledError) << 0;
    QTest::newRow("package has no size limit") << 1 << "/huge" << true << m_huge << QStringList() << 0 << 0;
}

void TestDownloader::transfer()
{
    QFETCH(int, kind);
    QFETCH(QString, path);
    QFETCH(bool, success);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, criticals);
    QFETCH(int, errorCode);
    QFETCH(int, redirections);

    const QString target = newPath();
    LogCapture log;
    Run run = start(kind, m_server.url(path), target, kShortTimeoutMs);
    QVERIFY(run.downloader);
    QTRY_COMPARE_WITH_TIMEOUT(run.recorder->outcomes.size(), 1, 15000);
    // Nothing further arrives once the outcome is known.
    QTest::qWait(50);
    QCOMPARE(run.recorder->outcomes, QStringList { success ? "complete:1" : "complete:0" });
    QVERIFY(!run.recorder->progressAfterOutcome);

    if (content.isNull() && success) {
        // The trickle row: whatever the route served must have arrived whole.
        QCOMPARE(QFileInfo(target).size(), qint64(200));
    } else if (content.isNull()) {
        QVERIFY(!QFileInfo::exists(target));
    } else {
        QVERIFY(QFileInfo::exists(target));
        QCOMPARE(testsupport::readFile(target), content);
    }
    // The update-info downloader deletes a failed file only after telling the delegate; the
    // package downloader before.
    const bool refusedRedirect = !criticals.isEmpty() && criticals.last().contains("redirection");
    // A redirect answer's file is gone before the next step either way.
    if (!success)
        QCOMPARE(run.recorder->fileAtOutcome, kind == downloader::kKindUpdateInfo && !refusedRedirect);

    QCOMPARE(log.texts(QtCriticalMsg), criticals);
    const QStringList finished = log.textsStartingWith(prefix(kind) + "finished, errorcode:");
    QCOMPARE(finished.size(), refusedRedirect ? redirections : redirections + 1);
    if (errorCode >= 0)
        QCOMPARE(finished.last(), prefix(kind) + "finished, errorcode:" + QString::number(errorCode));
    else
        QVERIFY(finished.last() != prefix(kind) + "finished, errorcode:0" || !log.texts(QtCriticalMsg).isEmpty());
    if (errorCode >= 0)
        QCOMPARE(run.downloader->errorCode(), errorCode);
    QCOMPARE(log.textsStartingWith(prefix(kind) + "redirection, reUrl:").size(), redirections);
    if (kind == downloader::kKindUpdateInfo)
        QVERIFY(run.recorder->progress.isEmpty());
}

void TestDownloader::successLogLines_data()
{
    addKinds();
}

void TestDownloader::successLogLines()
{
    QFETCH(int, kind);
    const QString target = newPath();
    const QUrl url = m_server.url("/redirect/302");
    LogCapture log;
    Run run = start(kind, url, target);
    QVERIFY(run.downloader);
    QTRY_COMPARE(run.recorder->outcomes.size(), 1);
    QStringList expected;
    if (kind == downloader::kKindUpdateInfo) {
        expected << "updateinfo downloader initialize: url:" + url.toString() << "updateinfo downloader run"
                 << "updateinfo downloader open file, path:" + target
                 << "updateinfo downloader startrequest, url:" + url.toString()
                 << "updateinfo downloader finished, errorcode:0" << "updateinfo downloader redirection, reUrl:/file"
                 << "updateinfo downloader open file, path:" + target
                 << "updateinfo downloader startrequest, url:" + m_server.url("/file").toString()
                 << "updateinfo downloader finished, errorcode:0";
    } else {
        expected << QStringLiteral("package downloader initialize: url:%1, dest:%2").arg(url.toString(), target)
                 << "package downloader run" << "package downloader startrequest"
                 << "package downloader finished, errorcode:0" << "package downloader redirection, reUrl:/file"
                 << "package downloader startrequest" << "package downloader finished, errorcode:0";
    }
    QCOMPARE(log.texts(), expected);
    QCOMPARE(run.recorder->outcomes, QStringList { "complete:1" });
}

void TestDownloader::progress()
{
    // A redirect's own answer reports its progress too; the numbers start again with the target's.
    const QString target = newPath();
    Run run = start(downloader::kKindPackage, m_server.url("/redirect/307"), target);
    QVERIFY(run.downloader);
    QTRY_COMPARE(run.recorder->outcomes, QStringList { "complete:1" });
    const auto &progress = run.recorder->progress;
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last(), qMakePair(qint64(11), qint64(11)));
    for (const auto &step : progress)
        QVERIFY(step.second == 10 || step.second == 11);

    Run large = start(downloader::kKindPackage, m_server.url("/large"), newPath());
    QVERIFY(large.downloader);
    QTRY_COMPARE(large.recorder->outcomes, QStringList { "complete:1" });
    qint64 previous = -1;
    for (const auto &step : large.recorder->progress) {
        QCOMPARE(step.second, qint64(m_large.size()));
        QVERIFY(step.first >= previous);
        previous = step.first;
    }
    QCOMPARE(previous, qint64(m_large.size()));

    Run unknown = start(downloader::kKindPackage, m_server.url("/nolength"), newPath());
    QVERIFY(unknown.downloader);
    QTRY_COMPARE(unknown.recorder->outcomes, QStringList { "complete:1" });
    const auto &steps = unknown.recorder->progress;
    QVERIFY(!steps.isEmpty());
    // Qt's own last signal, at the end of the body, may give the total it then knows.
    for (int i = 0; i + 1 < steps.size(); ++i)
        QCOMPARE(steps.at(i).second, qint64(-1));
    QVERIFY(steps.last().second == -1 || steps.last().second == steps.last().first);
    QCOMPARE(steps.last().first, qint64(21));
}

void TestDownloader::httpsToHttpRefused_data()
{
    addKinds();
}

void TestDownloader::httpsToHttpRefused()
{
    QFETCH(int, kind);
    {
        // An https redirect that stays on https is followed.
        const QString target = newPath();
        Run run = start(kind, m_tlsServer.url("/to-https"), target);
        QVERIFY(run.downloader);
        QTRY_COMPARE(run.recorder->outcomes.size(), 1);
        QCOMPARE(run.recorder->outcomes, QStringList { "complete:1" });
        QCOMPARE(testsupport::readFile(target), QByteArray("secure body"));
    }
    const QString target = newPath();
    const int before = m_server.requestedPaths().size();
    LogCapture log;
    Run run = start(kind, m_tlsServer.url("/to-http"), target);
    QVERIFY(run.downloader);
    QTRY_COMPARE(run.recorder->outcomes.size(), 1);
    QCOMPARE(run.recorder->outcomes, QStringList { "complete:0" });
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(log.texts(QtCriticalMsg),
             QStringList { prefix(kind) + "refuses insecure redirection, reUrl:" + m_server.url("/file").toString() });
    // The plain-http server never heard of it.
    QCOMPARE(m_server.requestedPaths().size(), before);
}

void TestDownloader::cancelMidBody_data()
{
    addKinds();
}

void TestDownloader::cancelMidBody()
{
    QFETCH(int, kind);
    const QString target = newPath();
    LogCapture log;
    Run run = start(kind, m_server.url("/stall-mid"), target);
    QVERIFY(run.downloader);
    // Part of the body is on disk and the rest does not come.
    QTRY_COMPARE(QFileInfo(target).size(), qint64(300));
    QVERIFY(run.recorder->outcomes.isEmpty());

    run.recorder->insideCancel = true;
    QVERIFY(run.downloader->cancel());
    run.recorder->insideCancel = false;
    if (kind == downloader::kKindPackage) {
        // A second cancel aborts nothing and reports nothing.
        QVERIFY(run.downloader->cancel());
    }
    QTRY_COMPARE(run.recorder->outcomes.size(), 1);
    QTest::qWait(50);
    QCOMPARE(run.recorder->outcomes.size(), 1);
    if (kind == downloader::kKindUpdateInfo || run.recorder->duringCancel)
        QCOMPARE(run.recorder->outcomes, QStringList { "complete:0" });
    else
        QCOMPARE(run.recorder->outcomes, QStringList { "cancelled" });
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(log.textsStartingWith(prefix(kind) + "cancel").size(), kind == downloader::kKindPackage ? 2 : 1);
    QCOMPARE(log.textsStartingWith(prefix(kind) + "finished, errorcode:"),
             QStringList { prefix(kind) + "finished, errorcode:" + QString::number(QNetworkReply::OperationCanceledError) });
    QVERIFY(log.texts(QtCriticalMsg).isEmpty());
}

void TestDownloader::delegateGoneBeforeFinish_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("fileLeft");
    for (int kind : { 0, 1 }) {
        const char *k = kind ? "package" : "updateinfo";
        QTest::addRow("%s failure", k) << kind << "/missing" << false;
        QTest::addRow("%s success", k) << kind << "/file" << true;
    }
}

void TestDownloader::delegateGoneBeforeFinish()
{
    QFETCH(int, kind);
    QFETCH(QString, path);
    QFETCH(bool, fileLeft);
    const QString target = newPath();
    LogCapture log;
    Run run = start(kind, m_server.url(path), target);
    QVERIFY(run.downloader);
    std::weak_ptr<Recorder> watch = run.recorder;
    run.recorder.reset();
    QVERIFY(watch.expired());
    QTRY_COMPARE(log.textsStartingWith(prefix(kind) + "finished, errorcode:").size(), 1);
    QCOMPARE(QFileInfo::exists(target), fileLeft);
}

void TestDownloader::targetCannotBeOpened_data()
{
    addKinds();
}

void TestDownloader::targetCannotBeOpened()
{
    QFETCH(int, kind);
    const QString target = m_dir.filePath("no/such/dir/target.bin");
    const int before = m_server.requestedPaths().size();
    LogCapture log;
    const std::unique_ptr<Downloader> downloader = downloader::createDownloader(kind);
    auto recorder = std::make_shared<Recorder>(target);
    QVERIFY(downloader->initialize(recorder, m_server.url("/file"), target));
    QVERIFY(!downloader->run());
    QStringList expected { prefix(kind) + "open file failed" };
    if (kind == downloader::kKindPackage)
        expected << "package downloader open file failed, path:" + target;
    QCOMPARE(log.texts(QtCriticalMsg), expected);
    QTest::qWait(50);
    QVERIFY(recorder->outcomes.isEmpty());
    QCOMPARE(m_server.requestedPaths().size(), before);
    QVERIFY(!QFileInfo::exists(target));
}

void TestDownloader::writeFailure_data()
{
    addKinds();
}

void TestDownloader::writeFailure()
{
    QFETCH(int, kind);
    // A file size limit on the process makes writes past 1 MiB fail the way a full disk does.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 1024 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);

    const QString target = newPath();
    LogCapture log;
    Run run = start(kind, m_server.url("/large"), target);
    const bool started = bool(run.downloader);
    if (started)
        QTRY_COMPARE(run.recorder->outcomes.size(), 1);
    setrlimit(RLIMIT_FSIZE, &saved);
    QVERIFY(started);
    QCOMPARE(run.recorder->outcomes, QStringList { "complete:0" });
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(log.texts(QtCriticalMsg), QStringList { prefix(kind) + "write file failed, path:" + target });
    // The rest of the body is not fetched once the file cannot take it.
    QCOMPARE(log.textsStartingWith(prefix(kind) + "finished, errorcode:"),
             QStringList { prefix(kind) + "finished, errorcode:" + QString::number(QNetworkReply::OperationCanceledError) });
}

void TestDownloader::targetCannotBeReopenedAfterRedirect_data()
{
    addKinds();
}

void TestDownloader::targetCannotBeReopenedAfterRedirect()
{
    QFETCH(int, kind);
    const QString dir = m_dir.filePath(QStringLiteral("moving%1").arg(kind));
    QVERIFY(QDir().mkpath(dir));
    const QString target = dir + "/target.bin";
    // The directory goes away while the first answer is on its way, so the target cannot be
    // opened again for the redirect.
    m_server.setRedirect(QStringLiteral("/moving%1").arg(kind), 302, "/file");
    QMetaObject::Connection moved = connect(&m_server, &HttpServer::requestReceived, this, [dir](const QString &path) {
        if (path.startsWith("/moving"))
            QDir().rename(dir, dir + "-gone");
    });
    LogCapture log;
    Run run = start(kind, m_server.url(QStringLiteral("/moving%1").arg(kind)), target);
    QVERIFY(run.downloader);
    QTRY_COMPARE(run.recorder->outcomes.size(), 1);
    disconnect(moved);
    QCOMPARE(run.recorder->outcomes, QStringList { "complete:0" });
    QCOMPARE(log.texts(QtCriticalMsg),
             QStringList({ prefix(kind) + "open file failed", prefix(kind) + "open file failed, path:" + target }));
    QVERIFY(!QFileInfo::exists(target));
}

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    // The package downloader asks the application object for its I/O pool.
    int appArgc = 1;
    char *appArgv[] = { argv[0], nullptr };
    app::MainApplication::choosePlatform(appArgc, appArgv);
    app::MainApplication application(appArgc, appArgv);
    application.threadPool()->setMaxThreadCount(1);
    TestDownloader test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_downloader.moc"
