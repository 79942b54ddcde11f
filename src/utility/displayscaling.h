#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

class QWidget;

// Pixel sizes of the dialogs are given for a reference screen 1440 pixels wide and scaled to the
// screen the process finds first. The screen facts are read once and then kept for the process.
namespace utility {

// What the scaling reads from one screen: its full geometry and its physical DPI.
struct ScreenFacts
{
    QRect geometry;
    qreal physicalDpiX = 0;
    qreal physicalDpiY = 0;
};

// Caches screen index, its size and its physical DPI; false when there is no such screen or it
// has no width. Selecting the cached index again returns true without reading anything.
bool selectScreen(int index);

// The screen width relative to 1440, clamped to [min(0.66, dpi/111), max(1.5, dpi/111)].
// 0 when there is no usable screen; then it is computed again at every call.
double scaleFactor();

// Each length times scaleFactor(), truncated toward zero and at least 1; 0 stays 0.
QSize scaledSize(int width, int height);
int scaledValue(int length);
QString scaledValueText(int length);

// Lengths scaled by physical DPI / 111, except on Windows 7, where scaledSize applies.
QSize dpiScaledSize(int width, int height);
int dpiScaledValue(int length);

// Rewrites every size token of a style sheet: "<n>pxSize" becomes scaledValue(n) followed by
// "px", "<n>fxSize" becomes dpiScaledValue(n) followed by "px", for n from 0 to 400. Tokens
// with larger numbers are left as they are.
QString scaleStyleSheet(const QString &styleSheet);

// Moves the widget to the middle of the primary screen's full geometry; does nothing when there
// is no screen.
void centerOnPrimaryScreen(QWidget *widget);

// The same rules for a given screen and system name (QSysInfo::productVersion()), without the
// process-wide cache; the functions above apply them to the first screen and this system.
double scaleFactor(const ScreenFacts &screen);
QSize scaledSize(int width, int height, double factor);
QSize dpiScaledSize(int width, int height, const ScreenFacts &screen, const QString &systemName);
QString scaleStyleSheet(const QString &styleSheet, const ScreenFacts &screen, const QString &systemName);
// Top-left corner that centres a widget of widgetSize on a screen of screenSize.
QPoint centeredPosition(const QSize &screenSize, const QSize &widgetSize);

} // namespace utility
