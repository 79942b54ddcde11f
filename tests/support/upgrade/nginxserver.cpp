#include "upgrade/nginxserver.h"

#include "common/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace testsupport {

namespace {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::executable()
{
    for (const QString &candidate : { QStringLiteral("/usr/sbin/nginx"), QStringLiteral("/usr/bin/nginx") }) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return QString();
}

bool NginxServer::start(const QString &root, QString *error)
{
    // The port is free when probed but may be taken before nginx binds it: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (startOnce(root, error))
            return true;
    }
    return false;
}

bool NginxServer::startOnce(const QString &root, QString *error)
{
    stop();
    const QString nginx = executable();
    if (nginx.isEmpty() || !m_dir.isValid()) {
        if (error)
            *error = QStringLiteral("nginx is not installed");
        return false;
    }
    m_port = freePort();
    const QString dir = m_dir.path();
    // One process, in the foreground, as the user who starts it: no workers that need other
    // rights to read the served files, and stopping it is ending one child.
    const QString config = QStringLiteral(
            "daemon off;\nmaster_process off;\npid %1/nginx.pid;\nerror_log %1/error.log;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  access_log %1/access.log;\n"
            "  client_body_temp_path %1/body; proxy_temp_path %1/proxy; fastcgi_temp_path %1/fastcgi;\n"
            "  uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;\n"
            "  types { application/json json; application/octet-stream pkg; }\n"
            "  default_type application/octet-stream;\n"
            "  server {\n    listen 127.0.0.1:%2;\n    root \"%3\";\n  }\n"
            "}\n")
                                   .arg(dir)
                                   .arg(m_port)
                                   .arg(QDir(root).absolutePath());
    writeFile(dir + QStringLiteral("/nginx.conf"), config.toUtf8());
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(nginx,
            { QStringLiteral("-p"), dir, QStringLiteral("-e"), dir + QStringLiteral("/error.log"), QStringLiteral("-c"),
                    dir + QStringLiteral("/nginx.conf") });
    if (!m_process.waitForStarted(10000)) {
        if (error)
            *error = QStringLiteral("nginx did not start: ") + m_process.errorString();
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (m_process.state() == QProcess::NotRunning)
            break;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(200))
            return true;
        m_process.waitForFinished(50);
    }
    if (error)
        *error = QStringLiteral("nginx did not come up on port %1: %2%3")
                         .arg(m_port)
                         .arg(QString::fromLocal8Bit(m_process.readAll()),
                                 QString::fromLocal8Bit(readFile(dir + QStringLiteral("/error.log"))));
    stop();
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QUrl NginxServer::url(const QString &path) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(m_port);
    url.setPath(path);
    return url;
}

} // namespace testsupport
