#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace testsupport {

// One entry of a tree: directory or file, and for files the executable bit, size and content hash.
struct TreeEntry
{
    bool dir = false;
    bool executable = false;
    qint64 size = 0;
    QByteArray hash;
    bool operator==(const TreeEntry &o) const
    {
        return dir == o.dir && executable == o.executable && size == o.size && hash == o.hash;
    }
};

// Relative "/"-separated path -> entry, hidden files included.
using Tree = QMap<QString, TreeEntry>;

// Relative "/"-separated path -> content.
using Files = QMap<QString, QByteArray>;

// Writes files below root, making the directories they need; what root holds already stays.
bool writeTree(const QString &root, const Files &files);

Tree snapshotTree(const QString &root);
// Every difference as a line ("missing: p", "unexpected: p", "differs: p ..."); empty when equal.
QString treeDifferences(const Tree &expected, const Tree &actual);

} // namespace testsupport
