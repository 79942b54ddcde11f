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
    QSize size{0, 0};
    int dpiX = 0;
    int dpiY = 0;
    double factor = 0.0;
};

ScreenCache &cache()
{
    static ScreenCache c;
    return c;
}

QList<ScreenFacts> applicationScreens()
{
    QList<ScreenFacts> list;
    for (const QScreen *screen : QGuiApplication::screens())
        list.append({screen->geometry(), screen->physicalDotsPerInchX(), screen->physicalDotsPerInchY()});
    return list;
}

ScreenSource &screenSource()
{
    static ScreenSource source;
    return source;
}

QList<ScreenFacts> screens()
{
    return screenSource() ? screenSource()() : applicationScreens();
}

int screenWidth()
{
    if (cache().size.width() < 1)
        selectScreen(0);
    return cache().size.width();
}

int physicalDpiX()
{
    if (cache().dpiX < 1)
        selectScreen(0);
    return cache().dpiX;
}

int physicalDpiY()
{
    if (cache().dpiY < 1)
        selectScreen(0);
    return cache().dpiY;
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

} // namespace

void setScreenSource(ScreenSource source)
{
    screenSource() = std::move(source);
    resetScreenCache();
}

void resetScreenCache()
{
    cache() = ScreenCache();
}

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

double scaleFactor()
{
    if (std::abs(cache().factor) > kZeroTolerance)
        return cache().factor;
    double a = screenWidth() * 1.0 / kReferenceWidth;
    const double b = physicalDpiX() / static_cast<double>(kDpiDivisor);
    const double upper = std::max(kUpperBound, b);
    const double lower = std::min(kLowerBound, b);
    if (a > upper)
        a = upper;
    if (lower > a)
        a = lower;
    cache().factor = a;
    return a;
}

QSize scaledSize(int width, int height)
{
    const double f = scaleFactor();
    return QSize(scaledLength(width, f), scaledLength(height, f));
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
    // Windows 7 reports no useful physical DPI, so the width rule stands in for it there.
    if (solvaneGetSysInfo::getInstance()->systemName().startsWith(QLatin1Char('7')))
        return scaledSize(width, height);
    return QSize(dpiScaledLength(width, physicalDpiX()), dpiScaledLength(height, physicalDpiY()));
}

int dpiScaledValue(int length)
{
    return dpiScaledSize(length, length).width();
}

QString scaleStyleSheet(const QString &styleSheet)
{
    // The system facts are collected when the skin is first rewritten at start-up, as they
    // always were, whether or not the sheet holds a DPI token.
    solvaneGetSysInfo::getInstance();

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
        result += QString::number(dpiToken ? dpiScaledValue(n) : scaledValue(n));
        result += QLatin1String("px");
        last = match.capturedEnd();
    }
    result += styleSheet.midRef(last);
    return result;
}

void centerOnPrimaryScreen(QWidget *widget)
{
    if (!widget)
        return;
    const QList<ScreenFacts> list = screens();
    if (list.isEmpty())
        return;
    const QRect geometry = list.first().geometry;
    widget->move((geometry.width() - widget->width()) / 2, (geometry.height() - widget->height()) / 2);
}

} // namespace utility
