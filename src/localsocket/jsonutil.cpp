#include "localsocket/jsonutil.h"

#include <QJsonDocument>

QString jsonFromVariantMap(const QVariantMap &map)
{
    const QJsonDocument document = QJsonDocument::fromVariant(map);
    if (document.isNull())
        return QString();
    return QString::fromUtf8(document.toJson(QJsonDocument::Compact));
}
