#include "downloader/packagedownloader.h"

#include "log/log.h"

#include <QThreadPool>

namespace downloader {

PackageDownloader::PackageDownloader(QThreadPool *ioThreadPool, int transferTimeoutMs, const ContentCheck &check)
    : Downloader(QStringLiteral("package downloader"), false, transferTimeoutMs)
    , m_ioThreadPool(ioThreadPool)
    , m_check(check)
{
    setSizeLimit(check.size);
}

bool PackageDownloader::initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &dest)
{
    applog::info(QStringLiteral("package downloader initialize: url:%1, dest:%2").arg(url.toString(), dest));
    if (!setTarget(delegate, url, dest))
        return false;
    if (!m_ioThreadPool || m_ioThreadPool->maxThreadCount() != 1) {
        applog::critical(QStringLiteral("package downloader io thread error"));
        return false;
    }
    return true;
}

bool PackageDownloader::run()
{
    applog::info(QStringLiteral("package downloader run"));
    if (!openFile(m_savePath)) {
        applog::critical(QStringLiteral("package downloader open file failed, path:%1").arg(m_savePath));
        return false;
    }
    startRequest(m_url);
    return true;
}

bool PackageDownloader::cancel()
{
    applog::info(QStringLiteral("package downloader cancel"));
    if (!m_cancelled) {
        abortReply();
        m_cancelled = true;
    }
    return true;
}

void PackageDownloader::startRequest(const QUrl &url)
{
    // Only the body of the final answer counts, not that of a redirect.
    m_hash.reset();
    Downloader::startRequest(url);
}

void PackageDownloader::chunkWritten(const QByteArray &chunk)
{
    // The bytes are hashed as they arrive: reading a large package again would cost as long as the
    // download, and the file could change in between. On this thread: handing pieces to the I/O
    // thread measured slower on a busy machine than hashing them here.
    if (!m_check.sha256.isEmpty())
        m_hash.addData(chunk);
}

bool PackageDownloader::matchesCheck()
{
    if (m_check.size >= 0 && bytesWritten() != m_check.size) {
        applog::critical(QStringLiteral("package downloader size mismatch, expected:%1, received:%2")
                                 .arg(m_check.size)
                                 .arg(bytesWritten()));
        return false;
    }
    if (!m_check.sha256.isEmpty() && m_hash.result() != m_check.sha256) {
        applog::critical(QStringLiteral("package downloader sha256 mismatch, expected:%1, received:%2")
                                 .arg(QString::fromLatin1(m_check.sha256.toHex()),
                                         QString::fromLatin1(m_hash.result().toHex())));
        return false;
    }
    return true;
}

void PackageDownloader::reportProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (const std::shared_ptr<Delegate> delegate = m_delegate.lock())
        delegate->onDownloadProgress(bytesReceived, bytesTotal);
}

void PackageDownloader::complete(bool success)
{
    // The file goes before the delegate is called, so it never sees a partial package and nothing
    // touches this downloader once the callback has returned.
    success = success && matchesCheck();
    if (!success)
        QFile::remove(m_savePath);
    if (const std::shared_ptr<Delegate> delegate = m_delegate.lock()) {
        if (m_cancelled)
            delegate->onDownloadCancelled();
        else
            delegate->onDownloadComplete(success);
    }
}

} // namespace downloader
