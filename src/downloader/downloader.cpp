#include "downloader/downloader.h"

#include "downloader/packagedownloader.h"
#include "downloader/updateinfodownloader.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace downloader {

void Downloader::Delegate::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    Q_UNUSED(bytesTotal)
}

void Downloader::Delegate::onDownloadCancelled() {}

Downloader::Downloader() = default;

Downloader::~Downloader()
{
    // The reply must not call back into a half-destroyed downloader.
    if (m_reply) {
        m_reply->disconnect(this);
        delete m_reply;
        m_reply = nullptr;
    }
}

bool Downloader::openTargetFile()
{
    m_file = std::make_unique<QFile>(m_savePath);
    // Unbuffered: chunks arrive in large blocks already, and a failed write shows at once rather
    // than at a flush after the transfer.
    return m_file->open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

void Downloader::sendRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    // Redirects are ours to follow, so the limit on their number and the refusal of a step down
    // from https to http apply.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeoutMs);
    m_requestUrl = url;
    m_written = 0;
    m_writeFailed = false;
    m_abortedByUs = false;
    m_reply = m_networkManager.get(request);
    m_reply->setReadBufferSize(kReadBufferSize);
}

bool Downloader::writeAvailable()
{
    if (!m_reply)
        return !m_writeFailed;
    while (m_reply->bytesAvailable() > 0) {
        const QByteArray chunk = m_reply->read(kReadBufferSize);
        if (chunk.isEmpty())
            break;
        if (m_writeFailed)
            continue;
        const qint64 written = (m_file && m_file->isOpen()) ? m_file->write(chunk) : -1;
        if (written > 0)
            m_written += written;
        if (written != chunk.size())
            m_writeFailed = true;
    }
    return !m_writeFailed;
}

void Downloader::abortReply()
{
    if (!m_reply)
        return;
    m_abortedByUs = true;
    m_reply->abort();
}

Downloader::Finished Downloader::finishReply()
{
    Finished result;
    if (!m_reply)
        return result;
    // Whatever is still buffered belongs to the body.
    writeAvailable();
    result.statusCode = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.redirectTarget = m_reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl().toString();
    // Qt fills the redirect target only for the codes it follows itself, which leaves out 305.
    if (result.redirectTarget.isEmpty() && m_reply->hasRawHeader("Location"))
        result.redirectTarget = QString::fromUtf8(m_reply->rawHeader("Location"));
    if (m_file)
        m_file->close();
    result.errorCode = m_reply->error();
    result.aborted = m_abortedByUs;
    // Qt reports its transfer timeout as a cancellation; only the downloader's own aborts are one.
    if (result.errorCode == QNetworkReply::OperationCanceledError && !m_abortedByUs) {
        result.timedOut = true;
        result.errorCode = QNetworkReply::TimeoutError;
    }
    bool lengthKnown = false;
    const qint64 announced = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&lengthKnown);
    // A body that Qt decompressed has another length than the one announced for the wire.
    const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
    const bool identity = encoding.isEmpty() || encoding == "identity";
    if (m_writeFailed)
        result.complete = false;
    else if (lengthKnown && identity && m_reply->hasRawHeader("Content-Length") && announced != m_written)
        result.complete = false;
    m_reply->disconnect(this);
    m_reply->deleteLater();
    m_reply = nullptr;
    return result;
}

Downloader::RedirectCheck Downloader::checkRedirect(const QString &target, QUrl *next)
{
    if (target.isEmpty())
        return RedirectCheck::MissingTarget;
    // A relative Location is relative to the answer that carried it.
    const QUrl resolved = m_requestUrl.resolved(QUrl(target, QUrl::TolerantMode));
    if (!resolved.isValid() || resolved.scheme().isEmpty())
        return RedirectCheck::MissingTarget;
    *next = resolved;
    if (++m_redirectCount > kMaxRedirects)
        return RedirectCheck::TooMany;
    if (m_requestUrl.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
        && resolved.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return RedirectCheck::Insecure;
    return RedirectCheck::Follow;
}

void Downloader::removeTargetFile()
{
    if (m_file && m_file->isOpen())
        m_file->close();
    QFile::remove(m_savePath);
}

bool Downloader::isFollowedRedirect(int statusCode)
{
    switch (statusCode) {
    case 301:
    case 302:
    case 303:
    case 305:
    case 307:
    case 308:
        return true;
    default:
        return false;
    }
}

std::unique_ptr<Downloader> createDownloader(int kind, QThreadPool *ioPool)
{
    switch (kind) {
    case kKindUpdateInfo:
        return std::make_unique<UpdateInfoDownloader>();
    case kKindPackage:
        return std::make_unique<PackageDownloader>(ioPool);
    default:
        return nullptr;
    }
}

} // namespace downloader
