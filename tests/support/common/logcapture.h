#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace testsupport {

// Collects every message that goes through Qt's logger while it lives, in order, and puts the
// previous handler back when destroyed. Messages arrive as the updater's log writes them.
class LogCapture
{
public:
    struct Line
    {
        QtMsgType type;
        QString text;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QList<Line> lines() const;
    // The texts, optionally only those of one level.
    QStringList texts() const;
    QStringList texts(QtMsgType type) const;
    // Texts that start with prefix, in order.
    QStringList textsStartingWith(const QString &prefix) const;
    void clear();

    // The text as written by the caller: a message streamed through QDebug arrives quoted and
    // escaped; that is undone here so tests compare with the caller's own text.
    static QString unquote(const QString &message);
};

} // namespace testsupport
