#include "downloader/downloader.h"

#include "downloader/packagedownloader.h"
#include "downloader/updateinfodownloader.h"
#include "log/log.h"
#include "utility/fileutils.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace downloader {
namespace {

bool isFollowedRedirect(int statusCode)
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

bool isHttps(const QUrl &url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

bool isWeb(const QUrl &url)
{
    return (isHttps(url) || url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0)
            && !url.host().isEmpty();
}

} // namespace

bool Downloader::acceptsUrl(const QUrl &url) const
{
    if (isWeb(url))
        return true;
    applog::critical(QStringLiteral("%1 refuses url scheme, url:%2").arg(m_logName, url.toString()));
    return false;
}

bool Downloader::setTarget(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &path)
{
    m_delegate = delegate;
    m_savePath = path;
    m_url = url;
    if (!url.isValid() || path.isEmpty()) {
        applog::critical(QStringLiteral("%1 initialize failed").arg(m_logName));
        return false;
    }
    return acceptsUrl(url);
}

void Downloader::Delegate::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    Q_UNUSED(bytesTotal)
}

void Downloader::Delegate::onDownloadCancelled() { }

Downloader::Downloader(const QString &logName, bool logTargets, int transferTimeoutMs)
    : m_logName(logName)
    , m_logTargets(logTargets)
    , m_transferTimeoutMs(transferTimeoutMs)
{
}

Downloader::~Downloader()
{
    // The reply must not call back into a half-destroyed downloader.
    if (m_reply) {
        m_reply->disconnect(this);
        delete m_reply;
        m_reply = nullptr;
    }
}

bool Downloader::openFile(const QString &path)
{
    if (m_logTargets)
        applog::info(QStringLiteral("%1 open file, path:%2").arg(m_logName, path));
    m_file = std::make_unique<QFile>(path);
    // Unbuffered: chunks arrive in large blocks already, and a failed write shows at once rather
    // than at a flush after the transfer.
    // The description and the packages may carry what the update URL's owner would keep private.
    if (!utility::openOwnerOnly(*m_file, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        applog::critical(QStringLiteral("%1 open file failed").arg(m_logName));
        return false;
    }
    return true;
}

void Downloader::startRequest(const QUrl &url)
{
    applog::info(m_logTargets ? QStringLiteral("%1 startrequest, url:%2").arg(m_logName, url.toString())
                              : QStringLiteral("%1 startrequest").arg(m_logName));
    QNetworkRequest request(url);
    // Redirects are ours to follow, so the limit on their number and the refusal of a step down
    // from https to http apply.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeoutMs);
    m_requestUrl = url;
    m_written = 0;
    m_writeFailed = false;
    m_tooLarge = false;
    m_abortedByUs = false;
    m_reply = m_networkManager.get(request);
    m_reply->setReadBufferSize(kReadBufferSize);
    connect(m_reply, &QNetworkReply::readyRead, this, &Downloader::httpReadyRead);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &Downloader::reportProgress);
    connect(m_reply, &QNetworkReply::finished, this, &Downloader::httpFinished);
}

bool Downloader::writeAvailable()
{
    while (m_reply->bytesAvailable() > 0) {
        // Sized to what is there: a buffer of the full limit for a small piece costs a fresh mapping.
        const QByteArray chunk = m_reply->read(qMin(m_reply->bytesAvailable(), kReadBufferSize));
        if (chunk.isEmpty())
            break;
        if (m_writeFailed || m_tooLarge)
            continue;
        if (m_sizeLimit >= 0 && m_written + chunk.size() > m_sizeLimit) {
            m_tooLarge = true;
            applog::critical(QStringLiteral("%1 content too large, limit:%2").arg(m_logName).arg(m_sizeLimit));
            continue;
        }
        const qint64 written = (m_file && m_file->isOpen()) ? m_file->write(chunk) : -1;
        if (written > 0)
            m_written += written;
        if (written != chunk.size())
            m_writeFailed = true;
        else
            chunkWritten(chunk);
    }
    return !m_writeFailed;
}

void Downloader::httpReadyRead()
{
    if (!m_reply || m_writeFailed || m_tooLarge)
        return;
    if (!writeAvailable()) {
        // A full disk will not take the rest either.
        applog::critical(QStringLiteral("%1 write file failed, path:%2").arg(m_logName, m_savePath));
        abortReply();
    } else if (m_tooLarge) {
        // An answer that does not end must not fill the disk.
        abortReply();
    }
}

void Downloader::chunkWritten(const QByteArray &chunk)
{
    Q_UNUSED(chunk)
}

void Downloader::reportProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    Q_UNUSED(bytesTotal)
}

void Downloader::abortReply()
{
    if (!m_reply)
        return;
    m_abortedByUs = true;
    m_reply->abort();
}

void Downloader::httpFinished()
{
    if (!m_reply)
        return;
    // Whatever is still buffered belongs to the body.
    writeAvailable();
    const int statusCode = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString redirectTarget = m_reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl().toString();
    // Qt fills the redirect target only for the codes it follows itself, which leaves out 305.
    if (redirectTarget.isEmpty() && m_reply->hasRawHeader("Location"))
        redirectTarget = QString::fromUtf8(m_reply->rawHeader("Location"));
    if (m_file)
        m_file->close();
    m_errorCode = m_reply->error();
    // Qt reports its transfer timeout as a cancellation; only the downloader's own aborts are one.
    const bool timedOut = m_errorCode == QNetworkReply::OperationCanceledError && !m_abortedByUs;
    if (timedOut)
        m_errorCode = QNetworkReply::TimeoutError;
    // A reply can end short of its announced length without an error of its own. A body that Qt
    // decompressed has another length than the one announced for the wire.
    bool lengthKnown = false;
    const qint64 announced = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&lengthKnown);
    const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
    const bool identity = encoding.isEmpty() || encoding == "identity";
    const bool whole = !m_writeFailed && !m_tooLarge && !(lengthKnown && identity && announced != m_written);
    m_reply->disconnect(this);
    m_reply->deleteLater();
    m_reply = nullptr;

    applog::info(QStringLiteral("%1 finished, errorcode:%2").arg(m_logName).arg(m_errorCode));
    if (timedOut)
        applog::critical(QStringLiteral("%1 transfer timed out").arg(m_logName));
    if (isFollowedRedirect(statusCode) && !m_abortedByUs) {
        followRedirect(redirectTarget);
        return;
    }
    if (m_errorCode == 0 && !whole && !m_tooLarge)
        applog::critical(QStringLiteral("%1 incomplete content, written:%2").arg(m_logName).arg(m_written));
    complete(m_errorCode == 0 && whole);
}

void Downloader::followRedirect(const QString &target)
{
    QFile::remove(m_savePath);
    applog::info(QStringLiteral("%1 redirection, reUrl:%2").arg(m_logName, target));
    // A relative Location is relative to the answer that carried it.
    const QUrl next = m_requestUrl.resolved(QUrl(target, QUrl::TolerantMode));
    if (target.isEmpty() || !next.isValid() || next.scheme().isEmpty()) {
        applog::critical(QStringLiteral("%1 redirection target is invalid").arg(m_logName));
        complete(false);
        return;
    }
    // A loop must not hang a run.
    if (++m_redirectCount > kMaxRedirects) {
        applog::critical(QStringLiteral("%1 too many redirections, limit:%2").arg(m_logName).arg(kMaxRedirects));
        complete(false);
        return;
    }
    // A redirect is followed only to the web: a plain-http answer could otherwise point at a local file.
    if (!acceptsUrl(next)) {
        complete(false);
        return;
    }
    // What was asked for over https must not arrive from a plain-http answer anyone could forge.
    if (isHttps(m_requestUrl) && !isHttps(next)) {
        applog::critical(QStringLiteral("%1 refuses insecure redirection, reUrl:%2").arg(m_logName, next.toString()));
        complete(false);
        return;
    }
    if (!openFile(m_savePath)) {
        applog::critical(QStringLiteral("%1 open file failed, path:%2").arg(m_logName, m_savePath));
        complete(false);
        return;
    }
    startRequest(next);
}

std::unique_ptr<Downloader> createDownloader(
        int kind, QThreadPool *ioPool, int transferTimeoutMs, const ContentCheck &check)
{
    switch (kind) {
    case kKindUpdateInfo:
        return std::make_unique<UpdateInfoDownloader>(transferTimeoutMs);
    case kKindPackage:
        return std::make_unique<PackageDownloader>(ioPool, transferTimeoutMs, check);
    default:
        return nullptr;
    }
}

} // namespace downloader
