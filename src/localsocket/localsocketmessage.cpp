#include "localsocket/localsocketmessage.h"

#include "localsocket/jsonutil.h"

#include <QVariantMap>

namespace {
const QString kKeyData = QStringLiteral("data");
const QString kKeyIndex = QStringLiteral("index");
const QString kKeyNeedAck = QStringLiteral("needAck");
} // namespace

QString LocalSocketMessage::toJson() const
{
    return jsonFromVariantMap(QVariantMap{ { kKeyData, data }, { kKeyIndex, index }, { kKeyNeedAck, needAck } });
}

QByteArray LocalSocketMessage::toWire() const
{
    // The master reads the text in the machine's own code page.
    return toJson().toLocal8Bit();
}
