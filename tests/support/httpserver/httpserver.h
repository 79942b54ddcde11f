#pragma once

#include <QHash>
#include <QObject>
#include <QSslCertificate>
#include <QStringList>
#include <QUrl>

class QTcpSocket;

namespace testsupport {

// A small HTTP/1.1 server on 127.0.0.1 for tests. Files come from a root directory; single paths
// can be told to answer otherwise (status, redirect, no length, stall, trickle, drop). Every answer
// closes its connection, so a body without Content-Length ends with the connection.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    // How one path answers.
    struct Route
    {
        int status = 200;
        // Location header, sent as is.
        QByteArray location;
        // The body; when filePath is set the file's bytes are sent instead.
        QByteArray body;
        QString filePath;
        // false: no Content-Length, the body ends when the connection closes.
        bool sendLength = true;
        // Sends the first stallAfter body bytes, then nothing, keeping the connection open.
        bool stall = false;
        qint64 stallAfter = 0;
        // Closes the connection after this many body bytes (-1: never).
        qint64 dropAfter = -1;
        // >0: sends the body trickleBytes at a time, every trickleIntervalMs.
        int trickleBytes = 0;
        int trickleIntervalMs = 0;
    };

    explicit HttpServer(QObject *parent = nullptr);
    ~HttpServer() override;

    // Listens on 127.0.0.1 (port 0: a free port); with tls it speaks https with testCertificate().
    bool listen(quint16 port = 0, bool tls = false);
    quint16 port() const;
    // "http://127.0.0.1:<port>" + path (or https).
    QUrl url(const QString &path) const;

    // Files not named by a route are served from below root; anything else is 404.
    void setRoot(const QString &dir) { m_root = dir; }
    void setRoute(const QString &path, const Route &route) { m_routes.insert(path, route); }
    void setStatus(const QString &path, int status, const QByteArray &body = {})
    {
        setRoute(path, { status, {}, body });
    }
    void setRedirect(const QString &path, int status, const QByteArray &location)
    {
        setRoute(path, { status, location, "redirected" });
    }
    void setBody(const QString &path, const QByteArray &body, bool sendLength = true)
    {
        setRoute(path, { 200, {}, body, {}, sendLength });
    }

    // Paths (with query) in the order they were requested.
    QStringList requestedPaths() const { return m_requested; }

    // The certificate the tls server presents, for clients to trust.
    static QSslCertificate testCertificate();

signals:
    void requestReceived(const QString &path);

private:
    class Listener;
    struct Connection;

    void onReadyRead(Connection *connection);
    void pump(Connection *connection);
    void close(Connection *connection);

    Listener *m_listener = nullptr;
    QString m_root;
    QHash<QString, Route> m_routes;
    QStringList m_requested;
    QHash<QTcpSocket *, Connection *> m_connections;
};

} // namespace testsupport
