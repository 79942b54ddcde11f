#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

namespace testsupport {

// Runs the master stand-in program for one test and reads what it received.
class MasterMockProcess
{
public:
    ~MasterMockProcess();

    // Starts listening on name; extra arguments such as "--answer-from", "3". Waits until the
    // server is up. The environment decides where the name lives (TMPDIR on Unix).
    bool start(const QString &name, const QString &outFile, const QStringList &extra = {},
            const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    void stop();

    // One entry per message received so far, as the raw bytes of the message.
    QList<QByteArray> messages() const;

private:
    QProcess m_process;
    QString m_outFile;
};

} // namespace testsupport
