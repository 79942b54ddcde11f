#pragma once

#include "downloader/downloader.h"

class QThreadPool;

namespace downloader {

// Fetches one upgrade package for the upgrade runner. Passes every progress signal of the reply on
// unchanged, tells a cancelled transfer from a failed one, and deletes a failed file before the
// delegate hears of it. Requires the application's I/O pool, limited to one thread.
// Deliberately without meta-object data of its own: Qt reports it as the base class.
class PackageDownloader : public Downloader
{
public:
    // ioPool: the one-thread pool the file writes run on.
    explicit PackageDownloader(QThreadPool *ioPool);

    bool initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &dest) override;
    bool run() override;
    // A finish that Qt emits from inside abort() runs before the flag is set and is reported as
    // onDownloadComplete(false); a later finish as onDownloadCancelled(). A second cancel does nothing.
    bool cancel() override;
    qint32 errorCode() override { return m_errorCode; }

private:
    bool openFile(const QString &path);
    void startRequest(const QUrl &url);
    void onReadyRead();
    void onProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onFinished();
    void complete(bool success);

    QThreadPool *m_ioThreadPool = nullptr;
    qint32 m_errorCode = 0;
    bool m_cancelled = false;
};

} // namespace downloader
