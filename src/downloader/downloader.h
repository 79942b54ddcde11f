#pragma once

#include "downloader/constants.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkReply;
class QThreadPool;

namespace downloader {

// What a package must be once downloaded, as its description names it: its size in bytes (-1: not
// named) and its SHA-256 (32 bytes; empty: not named).
struct ContentCheck
{
    qint64 size = -1;
    QByteArray sha256;
};

// One HTTP GET streamed into one file. A downloader serves one transfer: initialize, run, then
// exactly one outcome callback on the delegate (progress callbacks may come before it). The
// delegate is held weakly; callbacks to a delegate that is gone are skipped.
//
// The base opens the target file, sends the request, writes the body and follows redirects; the
// concrete downloaders decide on progress, limits, cancellation and when a failed file goes.
class Downloader : public QObject
{
    Q_OBJECT

public:
    // Callbacks of a transfer; they arrive on the thread that runs the downloader.
    class Delegate
    {
    public:
        virtual ~Delegate() = default;
        virtual void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
        virtual void onDownloadComplete(bool success) = 0;
        virtual void onDownloadCancelled();
    };

    ~Downloader() override;

    // Stores the arguments; false for an invalid URL or an empty savePath.
    virtual bool initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &savePath) = 0;
    // Opens the target file and sends the request; false when the file cannot be opened.
    virtual bool run() = 0;
    // Aborts the transfer in flight; only between a successful run and the outcome callback.
    virtual bool cancel() = 0;
    // The QNetworkReply::NetworkError of the finished transfer, 0 meaning none.
    virtual qint32 errorCode() = 0;

protected:
    // logName starts every log line ("updateinfo downloader"); logTargets adds the path and URL
    // to the open and request lines. A transfer silent for transferTimeoutMs fails.
    Downloader(const QString &logName, bool logTargets, int transferTimeoutMs);

    // Replaces the file object by a new one for path and opens it write-only, emptying it.
    // Keeps the delegate, url and path of this transfer; false (logged) for an invalid url, an empty
    // path, or a url that is not http or https with a host.
    bool setTarget(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &path);
    bool openFile(const QString &path);
    // Sends the GET for url with the framework's limits; redirects come back to httpFinished.
    virtual void startRequest(const QUrl &url);
    // Appends what the reply holds to the file, and gives up on the transfer when a write fails.
    virtual void httpReadyRead();
    // Follows a redirect or reports the outcome through complete().
    void httpFinished();
    // Aborts the reply on the downloader's own account (cancel, a limit), as opposed to the
    // transfer timeout, which aborts it from inside Qt.
    void abortReply();
    // Reports the outcome once; the concrete downloader decides when a failed file is removed.
    virtual void complete(bool success) = 0;
    virtual void reportProgress(qint64 bytesReceived, qint64 bytesTotal);
    // Sees every chunk of the current answer right after it was written to the file.
    virtual void chunkWritten(const QByteArray &chunk);
    // Bytes of the current answer written to the file.
    qint64 bytesWritten() const { return m_written; }
    // A body that would grow past limit bytes is not written further and fails the transfer at once
    // (logged); -1: no limit.
    void setSizeLimit(qint64 limit) { m_sizeLimit = limit; }

    std::weak_ptr<Delegate> m_delegate;
    QUrl m_url;
    QString m_savePath;
    QNetworkAccessManager m_networkManager;
    QNetworkReply *m_reply = nullptr;
    std::unique_ptr<QFile> m_file;
    qint32 m_errorCode = 0;

private:
    // Whether url may be fetched at all: http or https with a host. Anything else (file:, ftp:, a
    // bare path) could read local files into the description or the package; refusals are logged.
    bool acceptsUrl(const QUrl &url) const;
    bool writeAvailable();
    void followRedirect(const QString &target);

    const QString m_logName;
    const bool m_logTargets;
    const int m_transferTimeoutMs;
    QUrl m_requestUrl;
    int m_redirectCount = 0;
    qint64 m_written = 0;
    qint64 m_sizeLimit = -1;
    bool m_writeFailed = false;
    bool m_tooLarge = false;
    bool m_abortedByUs = false;
};

// kind 0 (kKindUpdateInfo): the update-info downloader; kind 1 (kKindPackage): the package
// downloader, which needs ioPool (the application's I/O pool, limited to one thread) and holds the
// package to check (a mismatch is a failed download); any other kind: none. A transfer that
// receives nothing for transferTimeoutMs fails.
std::unique_ptr<Downloader> createDownloader(int kind, QThreadPool *ioPool = nullptr,
        int transferTimeoutMs = kTransferTimeoutMs, const ContentCheck &check = {});

} // namespace downloader
