#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace testsupport {
namespace {

QMutex g_mutex;
QList<LogCapture::Line> *g_lines = nullptr;
QtMessageHandler g_previous = nullptr;

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker locker(&g_mutex);
    if (g_lines)
        g_lines->append({ type, LogCapture::unquote(message) });
}

} // namespace

LogCapture::LogCapture()
{
    QMutexLocker locker(&g_mutex);
    g_lines = new QList<Line>;
    g_previous = qInstallMessageHandler(handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previous);
    QMutexLocker locker(&g_mutex);
    delete g_lines;
    g_lines = nullptr;
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker locker(&g_mutex);
    return g_lines ? *g_lines : QList<Line>();
}

QStringList LogCapture::texts() const
{
    QStringList result;
    for (const Line &line : lines())
        result << line.text;
    return result;
}

QStringList LogCapture::texts(QtMsgType type) const
{
    QStringList result;
    for (const Line &line : lines()) {
        if (line.type == type)
            result << line.text;
    }
    return result;
}

QStringList LogCapture::textsStartingWith(const QString &prefix) const
{
    QStringList result;
    for (const Line &line : lines()) {
        if (line.text.startsWith(prefix))
            result << line.text;
    }
    return result;
}

void LogCapture::clear()
{
    QMutexLocker locker(&g_mutex);
    if (g_lines)
        g_lines->clear();
}

QString LogCapture::unquote(const QString &message)
{
    if (message.size() < 2 || !message.startsWith(QLatin1Char('"')) || !message.endsWith(QLatin1Char('"')))
        return message;
    QString out;
    const QString inner = message.mid(1, message.size() - 2);
    for (int i = 0; i < inner.size(); ++i) {
        const QChar c = inner.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= inner.size()) {
            out += c;
            continue;
        }
        const QChar e = inner.at(++i);
        switch (e.unicode()) {
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'u':
            out += QChar(inner.mid(i + 1, 4).toUShort(nullptr, 16));
            i += 4;
            break;
        case 'x': {
            int j = i + 1;
            while (j < inner.size() && QStringLiteral("0123456789abcdefABCDEF").contains(inner.at(j)))
                ++j;
            out += QChar(inner.mid(i + 1, j - i - 1).toUShort(nullptr, 16));
            i = j - 1;
            break;
        }
        default:
            out += e;
            break;
        }
    }
    return out;
}

} // namespace testsupport
