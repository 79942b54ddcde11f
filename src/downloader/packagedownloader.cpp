#include "downloader/packagedownloader.h"

#include "app/log.h"

#include <QNetworkReply>
#include <QThreadPool>

namespace downloader {

PackageDownloader::PackageDownloader(QThreadPool *ioPool)
    : m_ioThreadPool(ioPool)
{
}

bool PackageDownloader::initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &dest)
{
    m_delegate = delegate;
    m_savePath = dest;
    m_url = url;
    applog::info(QStringLiteral("package downloader initialize: url:%1, dest:%2").arg(url.toString(), dest));
    if (!url.isValid() || dest.isEmpty()) {
        applog::critical(QStringLiteral("package downloader initialize failed"));
        return false;
    }
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

bool PackageDownloader::openFile(const QString &path)
{
    Q_UNUSED(path)
    if (!openTargetFile()) {
        applog::critical(QStringLiteral("package downloader open file failed"));
        return false;
    }
    return true;
}

void PackageDownloader::startRequest(const QUrl &url)
{
    applog::info(QStringLiteral("package downloader startrequest"));
    sendRequest(url);
    connect(m_reply, &QNetworkReply::readyRead, this, &PackageDownloader::onReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &PackageDownloader::onProgress);
    connect(m_reply, &QNetworkReply::finished, this, &PackageDownloader::onFinished);
}

void PackageDownloader::onReadyRead()
{
    if (!writeAvailable()) {
        // A full disk will not take the rest of a package either.
        applog::critical(QStringLiteral("package downloader write file failed, path:%1").arg(m_savePath));
        abortReply();
    }
}

void PackageDownloader::onProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (const std::shared_ptr<Delegate> delegate = m_delegate.lock())
        delegate->onDownloadProgress(bytesReceived, bytesTotal);
}

void PackageDownloader::onFinished()
{
    const Finished finished = finishReply();
    m_errorCode = finished.errorCode;
    applog::info(QStringLiteral("package downloader finished, errorcode:%1").arg(m_errorCode));
    if (finished.timedOut)
        applog::critical(QStringLiteral("package downloader transfer timed out"));

    if (isFollowedRedirect(finished.statusCode) && !finished.aborted) {
        QFile::remove(m_savePath);
        applog::info(QStringLiteral("package downloader redirection, reUrl:%1").arg(finished.redirectTarget));
        QUrl next;
        switch (checkRedirect(finished.redirectTarget, &next)) {
        case RedirectCheck::Follow:
            break;
        case RedirectCheck::MissingTarget:
            applog::critical(QStringLiteral("package downloader redirection target is invalid"));
            complete(false);
            return;
        case RedirectCheck::TooMany:
            applog::critical(QStringLiteral("package downloader too many redirections, limit:%1").arg(kMaxRedirects));
            complete(false);
            return;
        case RedirectCheck::Insecure:
            applog::critical(
                    QStringLiteral("package downloader refuses insecure redirection, reUrl:%1").arg(next.toString()));
            complete(false);
            return;
        }
        if (!openFile(m_savePath)) {
            applog::critical(QStringLiteral("package downloader open file failed, path:%1").arg(m_savePath));
            complete(false);
            return;
        }
        startRequest(next);
        return;
    }

    // A reply can end short without an error of its own.
    if (m_errorCode == 0 && !finished.complete)
        applog::critical(QStringLiteral("package downloader incomplete content, written:%1").arg(bytesWritten()));
    complete(m_errorCode == 0 && finished.complete);
}

void PackageDownloader::complete(bool success)
{
    // The file goes before the delegate is called, so it never sees a partial package and nothing
    // touches this downloader once the callback has returned.
    if (!success)
        removeTargetFile();
    if (const std::shared_ptr<Delegate> delegate = m_delegate.lock()) {
        if (m_cancelled)
            delegate->onDownloadCancelled();
        else
            delegate->onDownloadComplete(success);
    }
}

} // namespace downloader
