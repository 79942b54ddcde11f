#include "upgrade/treecompare.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace testsupport {

bool writeTree(const QString &root, const Files &files)
{
    if (!QDir().mkpath(root))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(it.value()) != it.value().size())
            return false;
    }
    return true;
}

Tree snapshotTree(const QString &root)
{
    Tree tree;
    QDirIterator it(
            root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        TreeEntry entry;
        entry.dir = info.isDir() && !info.isSymLink();
        if (!entry.dir) {
            entry.executable = info.permission(QFileDevice::ExeOwner);
            entry.size = info.size();
            QFile file(path);
            QCryptographicHash hash(QCryptographicHash::Sha1);
            if (info.isFile() && file.open(QIODevice::ReadOnly))
                hash.addData(&file);
            entry.hash = hash.result().toHex();
        }
        tree.insert(QDir(root).relativeFilePath(path), entry);
    }
    return tree;
}

QString treeDifferences(const Tree &expected, const Tree &actual)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key())) {
            lines << QStringLiteral("missing: ") + it.key();
            continue;
        }
        const TreeEntry &a = actual.value(it.key());
        if (!(a == it.value())) {
            lines << QStringLiteral("differs: %1 (dir %2/%3, exec %4/%5, size %6/%7)")
                             .arg(it.key())
                             .arg(it->dir)
                             .arg(a.dir)
                             .arg(it->executable)
                             .arg(a.executable)
                             .arg(it->size)
                             .arg(a.size);
        }
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("unexpected: ") + it.key();
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace testsupport
