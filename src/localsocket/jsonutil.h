#pragma once

#include <QString>
#include <QVariantMap>

// Compact JSON text of a string-keyed map (members in sorted key order); empty for a null document.
QString jsonFromVariantMap(const QVariantMap &map);
