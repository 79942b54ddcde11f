#include "httpserver.h"

#include <QDir>
#include <QFile>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

namespace testsupport {

static const QString kTlsDir = QStringLiteral(SOLUPDATE_TEST_TLS_DIR);

// Accepts connections, speaking TLS when asked to.
class HttpServer::Listener : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;
    bool tls = false;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        if (tls) {
            socket->setPrivateKey(kTlsDir + "/key.pem");
            socket->setLocalCertificate(kTlsDir + "/cert.pem");
            socket->startServerEncryption();
        }
        addPendingConnection(socket);
    }
};

struct HttpServer::Connection
{
    QTcpSocket *socket = nullptr;
    QByteArray request;
    Route route;
    // Body bytes sent, and where sending stops (the end, a stall or a drop); -1 before the request.
    qint64 sent = 0;
    qint64 end = -1;
    QTimer *trickle = nullptr;
};

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
{
}

HttpServer::~HttpServer()
{
    for (Connection *connection : qAsConst(m_connections)) {
        connection->socket->disconnect(this);
        connection->socket->abort();
        delete connection;
    }
}

bool HttpServer::listen(quint16 port, bool tls)
{
    delete m_listener;
    m_listener = new Listener(this);
    m_listener->tls = tls;
    connect(m_listener, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_listener->nextPendingConnection()) {
            auto connection = new Connection{ socket };
            m_connections.insert(socket, connection);
            connect(socket, &QTcpSocket::readyRead, this, [this, connection] { onReadyRead(connection); });
            connect(socket, &QTcpSocket::bytesWritten, this, [this, connection] {
                if (!connection->trickle)
                    pump(connection);
            });
            connect(socket, &QTcpSocket::disconnected, this, [this, connection] { close(connection); });
            onReadyRead(connection);
        }
    });
    return m_listener->listen(QHostAddress::LocalHost, port);
}

quint16 HttpServer::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

QUrl HttpServer::url(const QString &path) const
{
    const bool tls = m_listener && m_listener->tls;
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(tls ? "https" : "http").arg(port()).arg(path));
}

QSslCertificate HttpServer::testCertificate()
{
    return QSslCertificate::fromPath(kTlsDir + "/cert.pem").value(0);
}

void HttpServer::onReadyRead(Connection *connection)
{
    if (connection->end >= 0)
        return;
    connection->request += connection->socket->readAll();
    if (!connection->request.contains("\r\n\r\n"))
        return;
    const QString target = QString::fromUtf8(connection->request.split(' ').value(1));
    m_requested << target;
    emit requestReceived(target);

    const QString path = QUrl(target).path();
    Route &route = connection->route;
    QString file;
    if (m_routes.contains(target) || m_routes.contains(path)) {
        route = m_routes.value(target, m_routes.value(path));
        file = route.filePath;
    } else if (!m_root.isEmpty() && !path.contains(QLatin1String(".."))) {
        // Only files inside root are served.
        file = QDir::cleanPath(path).mid(1);
    } else {
        route = { 404, {}, "not found" };
    }
    QFile content(QDir(m_root).filePath(file));
    if (!file.isEmpty() && content.open(QIODevice::ReadOnly))
        route.body = content.readAll();
    else if (!file.isEmpty())
        route = { 404, {}, "not found" };
    if (route.status == 204 || route.status == 304)
        route.body.clear();
    connection->end = route.body.size();
    if (route.stall)
        connection->end = qMin(connection->end, route.stallAfter);
    if (route.dropAfter >= 0)
        connection->end = qMin(connection->end, route.dropAfter);

    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + " Status\r\nConnection: close\r\n";
    if (route.sendLength)
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    if (!route.location.isEmpty())
        head += "Location: " + route.location + "\r\n";
    connection->socket->write(head + "\r\n");
    if (route.trickleBytes > 0) {
        connection->trickle = new QTimer(connection->socket);
        connect(connection->trickle, &QTimer::timeout, this, [this, connection] { pump(connection); });
        connection->trickle->start(route.trickleIntervalMs);
    }
    pump(connection);
}

void HttpServer::pump(Connection *connection)
{
    QTcpSocket *socket = connection->socket;
    if (connection->end < 0 || socket->state() != QAbstractSocket::ConnectedState)
        return;
    while (connection->sent < connection->end && socket->bytesToWrite() < 256 * 1024) {
        qint64 n = qMin<qint64>(256 * 1024, connection->end - connection->sent);
        if (connection->trickle)
            n = qMin<qint64>(n, connection->route.trickleBytes);
        socket->write(connection->route.body.constData() + connection->sent, n);
        connection->sent += n;
        if (connection->trickle)
            break;
    }
    if (connection->sent < connection->end)
        return;
    if (connection->trickle)
        connection->trickle->stop();
    // A stalled answer keeps its connection open and silent until the client gives up.
    if (!connection->route.stall)
        socket->disconnectFromHost();
}

void HttpServer::close(Connection *connection)
{
    m_connections.remove(connection->socket);
    delete connection->trickle;
    connection->socket->disconnect(this);
    connection->socket->deleteLater();
    delete connection;
}

} // namespace testsupport
