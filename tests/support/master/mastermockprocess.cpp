#include "mastermockprocess.h"

#include <QFile>

namespace testsupport {

MasterMockProcess::~MasterMockProcess()
{
    stop();
}

bool MasterMockProcess::start(
        const QString &name, const QString &outFile, const QStringList &extra, const QProcessEnvironment &environment)
{
    m_outFile = outFile;
    m_process.setProcessEnvironment(environment);
    m_process.start(QStringLiteral(SOLUPDATE_MASTERMOCK_PATH), QStringList{ "--name", name, "--out", outFile } + extra);
    if (!m_process.waitForStarted(10000))
        return false;
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10000))
            return false;
    }
    return m_process.readLine().trimmed() == "listening";
}

void MasterMockProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

QList<QByteArray> MasterMockProcess::messages() const
{
    QFile file(m_outFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> result = file.readAll().split('\n');
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

} // namespace testsupport
