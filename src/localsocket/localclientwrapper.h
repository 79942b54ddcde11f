#pragma once

#include <QObject>

// Sends acknowledged messages to a local server, one connection per message.
class LocalClientWrapper : public QObject
{
    Q_OBJECT

public:
    explicit LocalClientWrapper(QObject *parent = nullptr);

    // Connects to serverName (waiting up to timeoutSeconds), writes data as one message with
    // needAck 1 and waits for any answer. True when the message was written and an answer came.
    // Blocks the calling thread: up to the connect time-out plus 30 s for the write and
    // answerTimeoutMs for the answer. Empty data or name: false at once, and the message counter
    // is not used.
    bool synchSendDataToServerWithAck(
            const QString &serverName, const QString &data, int timeoutSeconds, int answerTimeoutMs = kAnswerTimeoutMs);

    static constexpr int kAnswerTimeoutMs = 30000;

private:
    int m_index = 0;
};
