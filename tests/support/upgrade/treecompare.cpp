#include "upgrade/treecompare.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <unistd.h>

namespace testsupport {
namespace {

// The owner, group and other bits; the duplicate "user" bits depend on who runs the test.
constexpr QFileDevice::Permissions kModeBits = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
        | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
        | QFileDevice::WriteOther | QFileDevice::ExeOther;

const QByteArray kLinkMark = QByteArrayLiteral("->");
const QByteArray kExecutableMark = QByteArrayLiteral("#!");
const QByteArray kReadOnlyMark = QByteArrayLiteral("#ro");

} // namespace

bool writeTree(const QString &root, const Files &files)
{
    if (!QDir().mkpath(root))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        const QByteArray &content = it.value();
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (it.key().endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path))
                return false;
            continue;
        }
        if (content.startsWith(kLinkMark)) {
            if (::symlink(content.mid(kLinkMark.size()).constData(), QFile::encodeName(path).constData()) != 0)
                return false;
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
            return false;
        file.close();
        if (content.startsWith(kExecutableMark))
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        else if (content.startsWith(kReadOnlyMark))
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
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
        entry.dir = info.isDir() && !info.isSymbolicLink();
        if (info.isSymbolicLink()) {
            char text[4096];
            const ssize_t length = ::readlink(QFile::encodeName(path).constData(), text, sizeof text);
            entry.link = QFile::decodeName(QByteArray(text, length > 0 ? int(length) : 0));
        } else if (!entry.dir) {
            entry.permissions = int(info.permissions() & kModeBits);
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
            lines << QStringLiteral("differs: %1 (dir %2/%3, mode %4/%5, size %6/%7, link %8/%9)")
                             .arg(it.key())
                             .arg(it->dir)
                             .arg(a.dir)
                             .arg(it->permissions, 0, 16)
                             .arg(a.permissions, 0, 16)
                             .arg(it->size)
                             .arg(a.size)
                             .arg(it->link, a.link);
        }
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("unexpected: ") + it.key();
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace testsupport
