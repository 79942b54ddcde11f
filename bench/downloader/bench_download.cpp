// bench_download URL DEST [SIZE SHA256]
//
// Downloads URL into DEST with the package downloader, the way the upgrade runner does: progress
// mapped onto a progress bar and percent label (0 to 60 %), no throttling; with SIZE and SHA256 (hex)
// the package is checked against them as a signed description names them. Prints one line:
//   ok=<0|1> bytes=<n> seconds=<s> mib_per_s=<x> peak_rss_kib=<k> progress_calls=<n>
// The exit status is 0 only for a successful download.

#include "app/mainapplication.h"
#include "downloader/downloader.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QThreadPool>
#include <QUrl>

#include <sys/resource.h>

#include <cstdio>
#include <memory>

namespace {

class ProgressDelegate : public downloader::Downloader::Delegate
{
public:
    void onDownloadProgress(qint64 received, qint64 total) override
    {
        ++calls;
        if (total <= 0)
            return;
        const int value = int(double(received) / double(total) * 60);
        if (value > m_progress) {
            m_progress = value;
            m_bar.setValue(value);
            m_label.setText(QStringLiteral("%1%").arg(value));
        }
    }
    void onDownloadComplete(bool ok) override
    {
        success = ok;
        finished = true;
        QCoreApplication::quit();
    }
    void onDownloadCancelled() override
    {
        finished = true;
        QCoreApplication::quit();
    }

    qint64 calls = 0;
    bool success = false;
    bool finished = false;

private:
    QProgressBar m_bar;
    QLabel m_label;
    int m_progress = 0;
};

long peakRssKib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: bench_download URL DEST [SIZE SHA256]\n");
        return 2;
    }
    downloader::ContentCheck check;
    if (argc == 5)
        check = { QByteArray(argv[3]).toLongLong(), QByteArray::fromHex(argv[4]) };
    const QUrl url = QUrl::fromUserInput(QString::fromLocal8Bit(argv[1]));
    const QString dest = QString::fromLocal8Bit(argv[2]);
    int appArgc = 1;
    char *appArgv[] = { argv[0], nullptr };
    app::MainApplication::choosePlatform(appArgc, appArgv);
    app::MainApplication application(appArgc, appArgv);
    application.threadPool()->setMaxThreadCount(1);

    auto delegate = std::make_shared<ProgressDelegate>();
    const std::unique_ptr<downloader::Downloader> package = downloader::createDownloader(
            downloader::kKindPackage, application.threadPool(), downloader::kTransferTimeoutMs, check);
    QElapsedTimer timer;
    timer.start();
    if (!package->initialize(delegate, url, dest) || !package->run())
        return 1;
    if (!delegate->finished)
        application.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 bytes = QFileInfo(dest).size();
    std::printf("ok=%d bytes=%lld seconds=%.3f mib_per_s=%.1f peak_rss_kib=%ld progress_calls=%lld\n",
            delegate->success ? 1 : 0, static_cast<long long>(bytes), seconds,
            bytes / 1048576.0 / (seconds > 0 ? seconds : 1), peakRssKib(), static_cast<long long>(delegate->calls));
    return delegate->success ? 0 : 1;
}
