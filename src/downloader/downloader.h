#pragma once

#include "downloader/constants.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

class QThreadPool;

#include <memory>

class QNetworkReply;

namespace downloader {

// One HTTP GET streamed into one file. A downloader serves one transfer: initialize, run, then
// exactly one outcome callback on the delegate (progress callbacks may come before it). The
// delegate is held weakly; callbacks to a delegate that is gone are skipped.
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

    // Shortens the stall limit so tests need not wait a minute. Not for product code.
    void setTransferTimeoutForTest(int milliseconds) { m_transferTimeoutMs = milliseconds; }

protected:
    Downloader();

    // What a finished reply left behind, read before the reply is released.
    struct Finished
    {
        int statusCode = 0;
        QString redirectTarget;
        qint32 errorCode = 0;
        // Every write succeeded and, when the answer announced a length, exactly that many bytes
        // reached the file. A reply can end short without an error code, so this is checked apart.
        bool complete = true;
        // Nothing arrived for the transfer timeout.
        bool timedOut = false;
        // The downloader aborted the reply itself; a redirect it carried is not followed.
        bool aborted = false;
    };

    enum class RedirectCheck { Follow, MissingTarget, TooMany, Insecure };

    // Replaces the file object by a new one for savePath and opens it write-only, emptying it.
    bool openTargetFile();
    // Sends the GET with the framework's limits (bounded read buffer, transfer timeout, redirects
    // left to the caller); the reply becomes m_reply.
    void sendRequest(const QUrl &url);
    // Appends what the reply holds to the file; false once a write failed or fell short.
    bool writeAvailable();
    // Bytes written to the file by the current reply.
    qint64 bytesWritten() const { return m_written; }
    // Aborts the reply on the downloader's own account (cancel, size limit), as opposed to the
    // transfer timeout, which aborts it from inside Qt.
    void abortReply();
    // Closes the file, reads the end of the reply, schedules it for deletion and clears m_reply.
    Finished finishReply();
    // Resolves a redirect target against the URL of the answer that carried it and counts it.
    RedirectCheck checkRedirect(const QString &target, QUrl *next);
    void removeTargetFile();

    static bool isFollowedRedirect(int statusCode);

    std::weak_ptr<Delegate> m_delegate;
    QUrl m_url;
    QString m_savePath;
    QNetworkAccessManager m_networkManager;
    QNetworkReply *m_reply = nullptr;
    std::unique_ptr<QFile> m_file;

private:
    QUrl m_requestUrl;
    int m_redirectCount = 0;
    qint64 m_written = 0;
    bool m_writeFailed = false;
    bool m_abortedByUs = false;
    int m_transferTimeoutMs = kTransferTimeoutMs;
};

// kind 0 (kKindUpdateInfo): the update-info downloader; kind 1 (kKindPackage): the package
// downloader; any other kind: none.
std::unique_ptr<Downloader> createDownloader(int kind, QThreadPool *ioPool = nullptr);

} // namespace downloader
