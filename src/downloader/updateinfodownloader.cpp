#include "downloader/updateinfodownloader.h"

#include "log/log.h"

namespace downloader {

UpdateInfoDownloader::UpdateInfoDownloader(int transferTimeoutMs)
    : Downloader(QStringLiteral("updateinfo downloader"), true, transferTimeoutMs)
{
    // An endless answer would otherwise fill the disk, and the log, which receives the document.
    setSizeLimit(kUpdateInfoSizeLimit);
}

bool UpdateInfoDownloader::initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &savePath)
{
    applog::info(QStringLiteral("updateinfo downloader initialize: url:%1").arg(url.toString()));
    return setTarget(delegate, url, savePath);
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
