#include "utility/displayscaling.h"

#include "utility/sysinfo.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace utility {

namespace {

constexpr double kReferenceWidth = 1440.0;
constexpr int kDpiDivisor = 111;
constexpr double kUpperBound = 1.5;
constexpr double kLowerBound = 0.66;
constexpr double kZeroTolerance = 1e-12;
constexpr int kLargestToken = 400;

struct ScreenCache
{
    int index = -1;
    QSize size{ 0, 0 };
    int dpiX = 0;
    int dpiY = 0;
    double factor = 0.0;
};

ScreenCache &cache()
{
    static ScreenCache c;
    return c;
}

QList<ScreenFacts> screens()
{
    QList<ScreenFacts> list;
    for (const QScreen *screen : QGuiApplication::screens())
        list.append({ screen->geometry(), screen->physicalDotsPerInchX(), screen->physicalDotsPerInchY() });
    return list;
}

// The cached screen, read from the first screen while nothing usable is cached.
ScreenFacts cachedScreen()
{
    if (cache().size.width() < 1 || cache().dpiX < 1 || cache().dpiY < 1)
        selectScreen(0);
    return { QRect(QPoint(0, 0), cache().size), qreal(cache().dpiX), qreal(cache().dpiY) };
}

int scaledLength(int length, double factor)
{
    if (length == 0)
        return 0;
    return std::max(1, static_cast<int>(length * factor));
}

int dpiScaledLength(int length, int dpi)
{
    if (length == 0)
        return 0;
    return std::max(1, length * dpi / kDpiDivisor);
}

QString systemName()
{
    return solvaneGetSysInfo::getInstance()->systemName();
}

QString rewriteTokens(const QString &styleSheet, double factor, const ScreenFacts &screen, const QString &system)
{
    // Whole tokens only: a number is never split, so 500pxSize is not read as 50 followed by
    // 0pxSize, nor 1140pxSize as 1 followed by 140pxSize.
    static const QRegularExpression token(QStringLiteral("(?<![0-9])([0-9]+)(pxSize|fxSize)"));
    QString result;
    result.reserve(styleSheet.size());
    int last = 0;
    QRegularExpressionMatchIterator it = token.globalMatch(styleSheet);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QString digits = match.captured(1);
        bool ok = false;
        const int n = digits.toInt(&ok);
        const bool canonical = ok && QString::number(n) == digits;
        if (!canonical || n > kLargestToken)
            continue;
        result += styleSheet.midRef(last, match.capturedStart() - last);
        const bool dpiToken = match.capturedRef(2) == QLatin1String("fxSize");
        result += QString::number(
                dpiToken ? dpiScaledSize(n, n, screen, system).width() : scaledSize(n, n, factor).width());
        result += QLatin1String("px");
        last = match.capturedEnd();
    }
    result += styleSheet.midRef(last);
    return result;
}

} // namespace

bool selectScreen(int index)
{
    if (index == cache().index)
        return true;
    const QList<ScreenFacts> list = screens();
    if (index < 0 || index >= list.size())
        return false;
    const ScreenFacts &screen = list.at(index);
    if (screen.geometry.width() < 1)
        return false;
    cache().index = index;
    cache().size = screen.geometry.size();
    cache().dpiX = static_cast<int>(screen.physicalDpiX);
    cache().dpiY = static_cast<int>(screen.physicalDpiY);
    return true;
}

double scaleFactor(const ScreenFacts &screen)
{
    double a = screen.geometry.width() * 1.0 / kReferenceWidth;
    const double b = static_cast<int>(screen.physicalDpiX) / static_cast<double>(kDpiDivisor);
    const double upper = std::max(kUpperBound, b);
    const double lower = std::min(kLowerBound, b);
    if (a > upper)
        a = upper;
    if (lower > a)
        a = lower;
    return a;
}

QSize scaledSize(int width, int height, double factor)
{
    return QSize(scaledLength(width, factor), scaledLength(height, factor));
}

QSize dpiScaledSize(int width, int height, const ScreenFacts &screen, const QString &systemName)
{
    // Windows 7 reports no useful physical DPI, so the width rule stands in for it there.
    if (systemName.startsWith(QLatin1Char('7')))
        return scaledSize(width, height, scaleFactor(screen));
    return QSize(dpiScaledLength(width, static_cast<int>(screen.physicalDpiX)),
            dpiScaledLength(height, static_cast<int>(screen.physicalDpiY)));
}

QString scaleStyleSheet(const QString &styleSheet, const ScreenFacts &screen, const QString &systemName)
{
    return rewriteTokens(styleSheet, scaleFactor(screen), screen, systemName);
}

QPoint centeredPosition(const QSize &screenSize, const QSize &widgetSize)
{
    return QPoint((screenSize.width() - widgetSize.width()) / 2, (screenSize.height() - widgetSize.height()) / 2);
}

double scaleFactor()
{
    if (std::abs(cache().factor) > kZeroTolerance)
        return cache().factor;
    cache().factor = scaleFactor(cachedScreen());
    return cache().factor;
}

QSize scaledSize(int width, int height)
{
    return scaledSize(width, height, scaleFactor());
}

int scaledValue(int length)
{
    return scaledSize(length, length).width();
}

QString scaledValueText(int length)
{
    return QString::number(scaledValue(length));
}

QSize dpiScaledSize(int width, int height)
{
    if (systemName().startsWith(QLatin1Char('7')))
        return scaledSize(width, height);
    return dpiScaledSize(width, height, cachedScreen(), systemName());
}

int dpiScaledValue(int length)
{
    return dpiScaledSize(length, length).width();
}

QString scaleStyleSheet(const QString &styleSheet)
{
    // The system facts are collected when the skin is first rewritten at start-up, as they
    // always were, whether or not the sheet holds a DPI token.
    return rewriteTokens(styleSheet, scaleFactor(), cachedScreen(), systemName());
}

void centerOnPrimaryScreen(QWidget *widget)
{
    if (!widget)
        return;
    const QList<ScreenFacts> list = screens();
    if (list.isEmpty())
        return;
    widget->move(centeredPosition(list.first().geometry.size(), widget->size()));
}

} // namespace utility
