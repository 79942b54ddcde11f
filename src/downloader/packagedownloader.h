#pragma once

#include "downloader/downloader.h"

class QThreadPool;

namespace downloader {

// Fetches one upgrade package for the upgrade runner. Passes every progress signal of the reply on
// unchanged, tells a cancelled transfer from a failed one, and deletes a failed file before the
// delegate hears of it. Requires ioThreadPool, the application's I/O pool, limited to one thread.
// Deliberately without meta-object data of its own: Qt reports it as the base class.
class PackageDownloader : public Downloader
{
public:
    explicit PackageDownloader(QThreadPool *ioThreadPool, int transferTimeoutMs = kTransferTimeoutMs);

    bool initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &dest) override;
    bool run() override;
    // A finish that Qt emits from inside abort() runs before the flag is set and is reported as
    // onDownloadComplete(false); a later finish as onDownloadCancelled(). A second cancel does nothing.
    bool cancel() override;
    qint32 errorCode() override { return m_errorCode; }

private:
    void reportProgress(qint64 bytesReceived, qint64 bytesTotal) override;
    void complete(bool success) override;

    QThreadPool *m_ioThreadPool = nullptr;
    bool m_cancelled = false;
};

} // namespace downloader
