#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

namespace testsupport {

// nginx from the distribution, serving one directory on 127.0.0.1 as a user would run it: its own
// configuration, logs and temporary files in a private directory, one process, a free port.
class NginxServer
{
public:
    ~NginxServer();

    static QString executable();
    // Starts serving root; false with error set when nginx is missing or does not come up.
    bool start(const QString &root, QString *error = nullptr);
    void stop();

    quint16 port() const { return m_port; }
    QUrl url(const QString &path) const;

private:
    bool startOnce(const QString &root, QString *error);

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace testsupport
