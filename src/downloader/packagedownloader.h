#pragma once

#include "downloader/downloader.h"

#include "crypto/sha256.h"

class QThreadPool;

namespace downloader {

// Fetches one upgrade package for the upgrade runner. Passes every progress signal of the reply on
// unchanged, tells a cancelled transfer from a failed one, and deletes a failed file before the
// delegate hears of it. Requires ioThreadPool, the application's I/O pool, limited to one thread.
// With a check, a body that grows past its size fails at once, and one whose size or SHA-256
// (computed as the bytes arrive) differs fails at its end, so the package is never applied.
// Deliberately without meta-object data of its own: Qt reports it as the base class.
class PackageDownloader : public Downloader
{
public:
    explicit PackageDownloader(
            QThreadPool *ioThreadPool, int transferTimeoutMs = kTransferTimeoutMs, const ContentCheck &check = {});

    bool initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &dest) override;
    bool run() override;
    // A finish that Qt emits from inside abort() runs before the flag is set and is reported as
    // onDownloadComplete(false); a later finish as onDownloadCancelled(). A second cancel does nothing.
    bool cancel() override;
    qint32 errorCode() override { return m_errorCode; }

private:
    void startRequest(const QUrl &url) override;
    void chunkWritten(const QByteArray &chunk) override;
    void reportProgress(qint64 bytesReceived, qint64 bytesTotal) override;
    void complete(bool success) override;
    // Whether the finished body is the one the check names; logs what differs.
    bool matchesCheck();

    QThreadPool *m_ioThreadPool = nullptr;
    bool m_cancelled = false;
    const ContentCheck m_check;
    crypto::Sha256 m_hash;
};

} // namespace downloader
