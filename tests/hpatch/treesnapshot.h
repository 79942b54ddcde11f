#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// What a tree holds, for comparing two trees file by file: per relative path the content hash,
// the size, the executable bit, and whether it is a directory.
struct TreeItem {
    bool dir = false;
    bool executable = false;
    qint64 size = 0;
    QByteArray hash;
    bool operator==(const TreeItem &o) const
    {
        return dir == o.dir && executable == o.executable && size == o.size && hash == o.hash;
    }
};

using TreeSnapshot = QMap<QString, TreeItem>;

TreeSnapshot snapshotTree(const QString &root);
// The first difference between two snapshots as a readable line; empty when equal.
QString firstDifference(const TreeSnapshot &expected, const TreeSnapshot &actual);
