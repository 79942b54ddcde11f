#include "localsocket/localclientwrapper.h"

#include "localsocket/localsocketmessage.h"

#include <QLocalSocket>

namespace {
constexpr int kWriteTimeoutMs = 30000;
} // namespace

LocalClientWrapper::LocalClientWrapper(QObject *parent)
    : QObject(parent)
{
}

bool LocalClientWrapper::synchSendDataToServerWithAck(
        const QString &serverName, const QString &data, int timeoutSeconds, int answerTimeoutMs)
{
    if (data.isEmpty() || serverName.isEmpty())
        return false;

    QLocalSocket socket;
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    if (!socket.waitForConnected(timeoutSeconds * 1000))
        return false;

    LocalSocketMessage message;
    message.index = m_index++;
    message.needAck = 1;
    message.data = data;
    const qint64 written = socket.write(message.toWire());

    if (!socket.waitForBytesWritten(kWriteTimeoutMs)) {
        socket.close();
        return false;
    }
    // Any answer is the acknowledgement; its content does not matter.
    if (!socket.waitForReadyRead(answerTimeoutMs)) {
        socket.close();
        return false;
    }
    socket.disconnectFromServer();
    socket.close();
    return written > 0;
}
