#include "treesnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

TreeSnapshot snapshotTree(const QString &root)
{
    TreeSnapshot snapshot;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        TreeItem item;
        item.dir = info.isDir();
        if (!item.dir) {
            item.executable = info.permission(QFileDevice::ExeOwner);
            item.size = info.size();
            QFile file(path);
            QCryptographicHash hash(QCryptographicHash::Sha1);
            if (file.open(QIODevice::ReadOnly))
                hash.addData(&file);
            item.hash = hash.result().toHex();
        }
        snapshot.insert(QDir(root).relativeFilePath(path), item);
    }
    return snapshot;
}

QString firstDifference(const TreeSnapshot &expected, const TreeSnapshot &actual)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            return QStringLiteral("missing: ") + it.key();
        const TreeItem &a = actual.value(it.key());
        if (!(a == it.value()))
            return QStringLiteral("differs: %1 (dir %2/%3, exec %4/%5, size %6/%7)")
                .arg(it.key())
                .arg(it->dir)
                .arg(a.dir)
                .arg(it->executable)
                .arg(a.executable)
                .arg(it->size)
                .arg(a.size);
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            return QStringLiteral("unexpected: ") + it.key();
    }
    return QString();
}
