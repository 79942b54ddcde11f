#pragma once

#include "ui/constants.h"
#include "utility/displayscaling.h"

#include <QString>

class QApplication;

namespace ui {

// A fixed pixel size of the dialogs, scaled to the screen.
inline int pxSize(int n)
{
    return utility::scaledValue(n);
}

// Reads the skin style sheet, rewrites its size tokens for this screen and makes it the
// application's style sheet. A skin that cannot be read gives an empty style sheet.
void loadSkin(QApplication *application, const QString &path = kSkinPath);

} // namespace ui
