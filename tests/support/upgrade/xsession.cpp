#include "upgrade/xsession.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>

namespace testsupport {

namespace {

const QString kXvfb = QStringLiteral("Xvfb");
const QString kXdotool = QStringLiteral("xdotool");
const QString kXwininfo = QStringLiteral("xwininfo");
const QString kImport = QStringLiteral("import");

} // namespace

XSession::~XSession()
{
    stop();
}

QString XSession::missingPrograms()
{
    QStringList missing;
    for (const QString &program : { kXvfb, kXdotool, kXwininfo, kImport }) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            missing << program;
    }
    return missing.join(QLatin1Char(' '));
}

bool XSession::start(QString *error)
{
    const QString missing = missingPrograms();
    if (!missing.isEmpty()) {
        if (error)
            *error = QStringLiteral("missing programs: ") + missing;
        return false;
    }
    // Xvfb picks a free display itself and writes its number to the given descriptor. Without
    // -noreset it resets whenever its last client leaves, and a process connecting in that moment
    // (the upgrade copy, just after the hand-off ended) is refused.
    m_process.start(kXvfb, { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                             QStringLiteral("0"), QStringLiteral("%1x%2x24").arg(kWidth).arg(kHeight),
                             QStringLiteral("-dpi"), QString::number(kDpi), QStringLiteral("-nolisten"),
                             QStringLiteral("tcp"), QStringLiteral("-noreset") });
    if (!m_process.waitForStarted(10000)) {
        if (error)
            *error = QStringLiteral("Xvfb did not start");
        return false;
    }
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains('\n') && timer.elapsed() < 20000 && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(500);
        out += m_process.readAllStandardOutput();
    }
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok) {
        if (error)
            *error = QStringLiteral("Xvfb gave no display: ") + QString::fromLocal8Bit(m_process.readAllStandardError());
        stop();
        return false;
    }
    m_display = QStringLiteral(":%1").arg(number);
    return true;
}

void XSession::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    m_display.clear();
}

QProcessEnvironment XSession::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("DISPLAY"), m_display);
    base.remove(QStringLiteral("QT_QPA_PLATFORM"));
    base.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return base;
}

QByteArray XSession::run(const QString &program, const QStringList &arguments, bool *ok) const
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    const bool finished = process.waitForStarted(10000) && process.waitForFinished(20000);
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!finished)
        process.kill();
    return process.readAllStandardOutput();
}

QList<quint64> XSession::visibleWindowsOf(qint64 pid) const
{
    QList<quint64> windows;
    const QByteArray out = run(kXdotool, { QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                           QString::number(pid) });
    for (const QByteArray &line : out.split('\n')) {
        bool ok = false;
        const quint64 id = line.trimmed().toULongLong(&ok);
        if (ok)
            windows << id;
    }
    return windows;
}

bool XSession::geometry(quint64 window, QRect *rect) const
{
    bool ok = false;
    const QByteArray out = run(kXdotool, { QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"),
                                           QString::number(window) }, &ok);
    if (!ok)
        return false;
    QHash<QByteArray, int> values;
    for (const QByteArray &line : out.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            values.insert(line.left(eq), line.mid(eq + 1).toInt());
    }
    if (!values.contains("WIDTH") || !values.contains("X"))
        return false;
    *rect = QRect(values.value("X"), values.value("Y"), values.value("WIDTH"), values.value("HEIGHT"));
    return true;
}

bool XSession::click(const QPoint &point) const
{
    bool ok = false;
    // "--sync" waits for the pointer to arrive, and waits in vain when it is there already (the
    // same button of the next dialog lies at the same spot), so it starts from the corner.
    run(kXdotool, { QStringLiteral("mousemove"), QStringLiteral("0"), QStringLiteral("0"),
                    QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(point.x()),
                    QString::number(point.y()), QStringLiteral("click"), QStringLiteral("1") }, &ok);
    return ok;
}

bool XSession::requestClose(quint64 window) const
{
    bool ok = false;
    run(QStringLiteral(SOLUPDATE_WMCLOSE_PATH), { QString::number(window) }, &ok);
    return ok;
}

QList<quint64> XSession::stackingOrder() const
{
    // xwininfo lists the root's children from the top of the stack down.
    static const QRegularExpression child(QStringLiteral("^\\s+(0x[0-9a-fA-F]+) "));
    QList<quint64> order;
    const QByteArray out = run(kXwininfo, { QStringLiteral("-root"), QStringLiteral("-children") });
    for (const QByteArray &line : out.split('\n')) {
        const QRegularExpressionMatch match = child.match(QString::fromLocal8Bit(line));
        if (match.hasMatch())
            order.prepend(match.captured(1).toULongLong(nullptr, 16));
    }
    return order;
}

bool XSession::screenshot(const QString &path) const
{
    bool ok = false;
    run(kImport, { QStringLiteral("-window"), QStringLiteral("root"), path }, &ok);
    return ok;
}

} // namespace testsupport
