#pragma once

#include <QList>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>

namespace testsupport {

// A virtual X display (Xvfb) for programs that show windows, and a user in front of it: real
// pointer clicks through xdotool (XTEST), the close request a window manager sends, screenshots.
// Only the processes given environment() see the display; the test itself stays offscreen.
class XSession
{
public:
    // The screen every test window is laid out for: 1440 pixels wide at 111 DPI is scale 1.
    static constexpr int kWidth = 1440;
    static constexpr int kHeight = 900;
    static constexpr int kDpi = 111;

    ~XSession();

    // The programs the session needs, or an empty text when all are there.
    static QString missingPrograms();
    bool start(QString *error = nullptr);
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QString display() const { return m_display; }

    // base with DISPLAY set to this session and no platform override.
    QProcessEnvironment environment(QProcessEnvironment base) const;

    // The mapped top-level windows whose _NET_WM_PID is pid.
    QList<quint64> visibleWindowsOf(qint64 pid) const;
    // The window's position on the screen and size; false when it is gone.
    bool geometry(quint64 window, QRect *rect) const;
    // Moves the pointer to point (screen coordinates) and clicks the left button there.
    bool click(const QPoint &point) const;
    // Asks the window to close, as a window manager does for its close button.
    bool requestClose(quint64 window) const;
    // The children of the root window from the bottom of the stack to the top.
    QList<quint64> stackingOrder() const;
    // The whole screen as a PNG file.
    bool screenshot(const QString &path) const;

private:
    QByteArray run(const QString &program, const QStringList &arguments, bool *ok = nullptr) const;

    QProcess m_process;
    QString m_display;
};

} // namespace testsupport
