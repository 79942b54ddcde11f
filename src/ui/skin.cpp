#include "ui/skin.h"

#include <QApplication>
#include <QFile>

namespace ui {

void loadSkin(QApplication *application, const QString &path)
{
    QString styleSheet;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        styleSheet = QString::fromUtf8(file.readAll());
        // The skin is saved with a byte-order mark, which is no part of any selector.
        if (styleSheet.startsWith(QChar(0xFEFF)))
            styleSheet.remove(0, 1);
    }
    application->setStyleSheet(utility::scaleStyleSheet(styleSheet));
}

} // namespace ui
