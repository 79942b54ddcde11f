#include "downloader/updateinfodownloader.h"

#include "app/log.h"

#include <QNetworkReply>

namespace downloader {

UpdateInfoDownloader::UpdateInfoDownloader() = default;

bool UpdateInfoDownloader::initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url,
                                      const QString &savePath)
{
    m_delegate = delegate;
    m_savePath = savePath;
    m_url = url;
    applog::info(QStringLiteral("updateinfo downloader initialize: url:%1").arg(url.toString()));
    if (!url.isValid() || savePath.isEmpty()) {
        applog::critical(QStringLiteral("updateinfo downloader initialize failed"));
        return false;
    }
    return true;
}

bool UpdateInfoDownloader::run()
{
    applog::info(QStringLiteral("updateinfo downloader run"));
    if (!openFile(m_savePath))
        return false;
    startRequest(m_url);
    return true;
}

bool UpdateInfoDownloader::cancel()
{
    applog::info(QStringLiteral("updateinfo downloader cancel"));
    abortReply();
    return true;
}

bool UpdateInfoDownloader::openFile(const QString &path)
{
    applog::info(QStringLiteral("updateinfo downloader open file, path:%1").arg(path));
    if (!openTargetFile()) {
        applog::critical(QStringLiteral("updateinfo downloader open file failed"));
        return false;
    }
    return true;
}

void UpdateInfoDownloader::closeFile()
{
    if (m_file)
        m_file->close();
}

void UpdateInfoDownloader::startRequest(const QUrl &url)
{
    applog::info(QStringLiteral("updateinfo downloader startrequest, url:%1").arg(url.toString()));
    sendRequest(url);
    connect(m_reply, &QNetworkReply::readyRead, this, &UpdateInfoDownloader::httpReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &UpdateInfoDownloader::httpFinished);
}

void UpdateInfoDownloader::httpReadyRead()
{
    if (!writeAvailable()) {
        // A full disk will not take the rest either.
        applog::critical(QStringLiteral("updateinfo downloader write file failed, path:%1").arg(m_savePath));
        abortReply();
        return;
    }
    // An endless answer would otherwise fill the disk, and the log, which receives the document.
    if (!m_tooLarge && bytesWritten() > kUpdateInfoSizeLimit) {
        m_tooLarge = true;
        applog::critical(QStringLiteral("updateinfo downloader content too large, limit:%1").arg(kUpdateInfoSizeLimit));
        abortReply();
    }
}

void UpdateInfoDownloader::httpFinished()
{
    const Finished finished = finishReply();
    closeFile();
    m_errorCode = finished.errorCode;
    applog::info(QStringLiteral("updateinfo downloader finished, errorcode:%1").arg(m_errorCode));
    if (finished.timedOut)
        applog::critical(QStringLiteral("updateinfo downloader transfer timed out"));

    if (isFollowedRedirect(finished.statusCode) && !finished.aborted) {
        QFile::remove(m_savePath);
        applog::info(QStringLiteral("updateinfo downloader redirection, reUrl:%1").arg(finished.redirectTarget));
        QUrl next;
        switch (checkRedirect(finished.redirectTarget, &next)) {
        case RedirectCheck::Follow:
            break;
        case RedirectCheck::MissingTarget:
            applog::critical(QStringLiteral("updateinfo downloader redirection target is invalid"));
            complete(false);
            return;
        case RedirectCheck::TooMany:
            applog::critical(QStringLiteral("updateinfo downloader too many redirections, limit:%1").arg(kMaxRedirects));
            complete(false);
            return;
        case RedirectCheck::Insecure:
            applog::critical(QStringLiteral("updateinfo downloader refuses insecure redirection, reUrl:%1")
                                     .arg(next.toString()));
            complete(false);
            return;
        }
        if (!openFile(m_savePath)) {
            applog::critical(QStringLiteral("updateinfo downloader open file failed, path:%1").arg(m_savePath));
            complete(false);
            return;
        }
        startRequest(next);
        return;
    }

    // A reply can end short without an error of its own.
    if (m_errorCode == 0 && !finished.complete)
        applog::critical(QStringLiteral("updateinfo downloader incomplete content, written:%1").arg(bytesWritten()));
    complete(m_errorCode == 0 && finished.complete && !m_tooLarge);
}

void UpdateInfoDownloader::complete(bool success)
{
    // The delegate is told first and the file goes afterwards; the path is kept aside in case
    // the delegate lets go of this downloader during the callback.
    const QString path = m_savePath;
    if (const std::shared_ptr<Delegate> delegate = m_delegate.lock())
        delegate->onDownloadComplete(success);
    if (!success)
        QFile::remove(path);
}

} // namespace downloader
