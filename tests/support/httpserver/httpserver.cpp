#include "httpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace testsupport {
namespace {

constexpr qint64 kChunk = 256 * 1024;
constexpr qint64 kMaxRequestHeader = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 306: return "Switch Proxy";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

QString tlsFile(const char *name)
{
    return QStringLiteral(SOLUPDATE_TEST_TLS_DIR "/") + QLatin1String(name);
}

} // namespace

// Accepts connections, wrapping each in TLS when asked to.
class HttpServer::Listener : public QTcpServer
{
public:
    explicit Listener(bool tls, QObject *parent)
        : QTcpServer(parent)
        , m_tls(tls)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!m_tls) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        QFile key(tlsFile("key.pem"));
        key.open(QIODevice::ReadOnly);
        socket->setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa));
        socket->setLocalCertificate(testCertificate());
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

private:
    bool m_tls;
};

struct HttpServer::Connection
{
    QTcpSocket *socket = nullptr;
    QByteArray request;
    bool responded = false;
    Route route;
    QByteArray body;
    std::unique_ptr<QFile> file;
    qint64 total = 0;
    qint64 sent = 0;
    QTimer *trickle = nullptr;
    bool done = false;
};

bool HttpServer::parseRoute(const QString &description, Route *route, QString *error)
{
    *route = Route();
    const QStringList items = description.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const int colon = item.indexOf(QLatin1Char(':'));
        const QString key = colon < 0 ? item : item.left(colon);
        const QString value = colon < 0 ? QString() : item.mid(colon + 1);
        bool ok = true;
        if (key == QLatin1String("status")) {
            route->status = value.toInt(&ok);
        } else if (key == QLatin1String("location")) {
            route->location = value.toUtf8();
        } else if (key == QLatin1String("body")) {
            route->body = value.toUtf8();
        } else if (key == QLatin1String("file")) {
            route->filePath = value;
        } else if (key == QLatin1String("nolength")) {
            route->sendLength = false;
        } else if (key == QLatin1String("stall")) {
            route->stall = true;
            route->stallAfter = value.isEmpty() ? 0 : value.toLongLong(&ok);
        } else if (key == QLatin1String("drop")) {
            route->dropAfter = value.toLongLong(&ok);
        } else if (key == QLatin1String("trickle")) {
            const QStringList parts = value.split(QLatin1Char('/'));
            bool ok2 = false;
            route->trickleBytes = parts.value(0).toInt(&ok);
            route->trickleIntervalMs = parts.value(1).toInt(&ok2);
            ok = ok && ok2 && route->trickleBytes > 0;
        } else {
            ok = false;
        }
        if (!ok) {
            if (error)
                *error = QStringLiteral("bad route item: %1").arg(item);
            return false;
        }
    }
    return true;
}

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
{
}

HttpServer::~HttpServer()
{
    const QList<Connection *> connections = m_connections.values();
    for (Connection *connection : connections) {
        connection->socket->disconnect(this);
        connection->socket->abort();
        delete connection;
    }
    m_connections.clear();
}

bool HttpServer::listen(quint16 port, bool tls)
{
    m_tls = tls;
    delete m_listener;
    m_listener = new Listener(tls, this);
    connect(m_listener, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
    return m_listener->listen(QHostAddress::LocalHost, port);
}

quint16 HttpServer::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

QUrl HttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
                        .arg(port())
                        .arg(path));
}

void HttpServer::setStatus(const QString &path, int status, const QByteArray &body)
{
    Route route;
    route.status = status;
    route.body = body;
    setRoute(path, route);
}

void HttpServer::setRedirect(const QString &path, int status, const QByteArray &location)
{
    Route route;
    route.status = status;
    route.location = location;
    route.body = "redirected";
    setRoute(path, route);
}

void HttpServer::setBody(const QString &path, const QByteArray &body, bool sendLength)
{
    Route route;
    route.body = body;
    route.sendLength = sendLength;
    setRoute(path, route);
}

void HttpServer::addRedirectChain(const QString &prefix, int count, int status, const QByteArray &finalLocation)
{
    for (int i = 0; i < count; ++i) {
        const QByteArray next = i + 1 < count ? (prefix + QString::number(i + 1)).toUtf8() : finalLocation;
        setRedirect(prefix + QString::number(i), status, next);
    }
}

int HttpServer::openConnections() const
{
    return m_connections.size();
}

QSslCertificate HttpServer::testCertificate()
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(tlsFile("cert.pem"));
    return certificates.value(0);
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_listener->nextPendingConnection()) {
        auto connection = new Connection;
        connection->socket = socket;
        m_connections.insert(socket, connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            if (Connection *c = m_connections.value(socket); c && !c->trickle)
                pump(c);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (Connection *c = m_connections.value(socket))
                closeConnection(c, false);
        });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void HttpServer::onReadyRead(QTcpSocket *socket)
{
    Connection *connection = m_connections.value(socket);
    if (!connection || connection->responded)
        return;
    connection->request += socket->readAll();
    const int end = connection->request.indexOf("\r\n\r\n");
    if (end < 0) {
        if (connection->request.size() > kMaxRequestHeader)
            closeConnection(connection, true);
        return;
    }
    const QList<QByteArray> requestLine = connection->request.left(connection->request.indexOf("\r\n")).split(' ');
    connection->responded = true;
    const QString path = QString::fromUtf8(requestLine.value(1));
    m_requested << path;
    emit requestReceived(path);
    respond(connection, path);
}

void HttpServer::respond(Connection *connection, const QString &target)
{
    const QString path = QUrl(target).path();
    Route route;
    if (m_routes.contains(target)) {
        route = m_routes.value(target);
    } else if (m_routes.contains(path)) {
        route = m_routes.value(path);
    } else {
        // Only files inside root are served.
        const QString cleaned = QDir::cleanPath(path);
        const QString file = m_root.isEmpty() || cleaned.contains(QLatin1String(".."))
                ? QString()
                : QDir(m_root).filePath(cleaned.mid(1));
        if (!file.isEmpty() && QFileInfo(file).isFile()) {
            route.filePath = file;
        } else {
            route.status = 404;
            route.body = "not found";
        }
    }
    connection->route = route;

    if (!route.filePath.isEmpty()) {
        const QString file = QFileInfo(route.filePath).isAbsolute() ? route.filePath
                                                                   : QDir(m_root).filePath(route.filePath);
        connection->file = std::make_unique<QFile>(file);
        if (!connection->file->open(QIODevice::ReadOnly)) {
            connection->file.reset();
            connection->route.status = 404;
            connection->body = "not found";
        } else {
            connection->total = connection->file->size();
        }
    }
    if (!connection->file) {
        connection->body = connection->route.body;
        connection->total = connection->body.size();
    }
    // 304 and 1xx/204 answers carry no body.
    if (connection->route.status == 304 || connection->route.status == 204) {
        connection->total = 0;
        connection->file.reset();
    }

    QByteArray head = "HTTP/1.1 " + QByteArray::number(connection->route.status) + ' '
            + reasonPhrase(connection->route.status) + "\r\n";
    head += "Connection: close\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    if (connection->route.sendLength && connection->route.status != 304)
        head += "Content-Length: " + QByteArray::number(connection->total) + "\r\n";
    if (!connection->route.location.isEmpty())
        head += "Location: " + connection->route.location + "\r\n";
    for (const auto &header : qAsConst(connection->route.headers))
        head += header.first + ": " + header.second + "\r\n";
    head += "\r\n";
    connection->socket->write(head);

    if (connection->route.trickleBytes > 0) {
        connection->trickle = new QTimer(connection->socket);
        connect(connection->trickle, &QTimer::timeout, this, [this, connection] { pump(connection); });
        connection->trickle->start(connection->route.trickleIntervalMs);
    }
    pump(connection);
}

void HttpServer::pump(Connection *connection)
{
    if (connection->done)
        return;
    const Route &route = connection->route;
    QTcpSocket *socket = connection->socket;
    while (connection->sent < connection->total && socket->bytesToWrite() < kChunk) {
        qint64 n = qMin(kChunk, connection->total - connection->sent);
        if (route.dropAfter >= 0)
            n = qMin(n, route.dropAfter - connection->sent);
        if (route.stall)
            n = qMin(n, route.stallAfter - connection->sent);
        if (route.trickleBytes > 0)
            n = qMin<qint64>(n, route.trickleBytes);
        if (n <= 0)
            break;
        const QByteArray data = connection->file ? connection->file->read(n) : connection->body.mid(connection->sent, n);
        if (data.isEmpty())
            break;
        socket->write(data);
        connection->sent += data.size();
        if (route.trickleBytes > 0)
            break;
    }
    if (route.dropAfter >= 0 && connection->sent >= route.dropAfter) {
        connection->done = true;
        socket->disconnectFromHost();
        return;
    }
    if (route.stall && connection->sent >= route.stallAfter) {
        // Keeps the connection open and silent until the client gives up.
        connection->done = true;
        if (connection->trickle)
            connection->trickle->stop();
        return;
    }
    if (connection->sent >= connection->total) {
        connection->done = true;
        socket->disconnectFromHost();
    }
}

void HttpServer::closeConnection(Connection *connection, bool abort)
{
    QTcpSocket *socket = connection->socket;
    m_connections.remove(socket);
    socket->disconnect(this);
    if (abort)
        socket->abort();
    socket->deleteLater();
    delete connection;
}

} // namespace testsupport
