#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace testsupport {

// One entry of a tree: directory, file or symbolic link; for files the permission bits, size and
// content hash, for links the link text as written (never followed).
struct TreeEntry
{
    bool dir = false;
    int permissions = 0;
    qint64 size = 0;
    QByteArray hash;
    QString link;
    bool operator==(const TreeEntry &o) const
    {
        return dir == o.dir && permissions == o.permissions && size == o.size && hash == o.hash && link == o.link;
    }
};

// Relative "/"-separated path -> entry, hidden files included.
using Tree = QMap<QString, TreeEntry>;

// Relative "/"-separated path -> content. A path ending in "/" is a directory; content "->text" is
// a symbolic link holding text; content starting with "#!" makes an executable file, with "#ro" a
// read-only one (0444).
using Files = QMap<QString, QByteArray>;

// Writes files below root, making the directories they need; what root holds already stays.
bool writeTree(const QString &root, const Files &files);

Tree snapshotTree(const QString &root);
// Every difference as a line ("missing: p", "unexpected: p", "differs: p ..."); empty when equal.
QString treeDifferences(const Tree &expected, const Tree &actual);

} // namespace testsupport
