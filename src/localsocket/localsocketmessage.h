#pragma once

#include <QByteArray>
#include <QString>

// One message on a local socket connection: the receiver answers on the same connection when
// needAck is 1.
struct LocalSocketMessage
{
    int index = 0;
    int needAck = 0;
    QString data;

    // The wire text: {"data":...,"index":N,"needAck":N}, compact, members in key order.
    QString toJson() const;
    // The bytes written to the socket (the local 8-bit code page, no framing).
    QByteArray toWire() const;
};
