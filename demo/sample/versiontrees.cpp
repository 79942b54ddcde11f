#include "sample/versiontrees.h"

#include "common/testenv.h"
#include "sample/versioninfowriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>

#include <unistd.h>

namespace sample {

namespace {

struct Entry
{
    QByteArray content; // the link text for a link
    bool executable = false;
    bool readOnly = false;
    bool link = false;
};

// Bytes that compress badly and differ by seed, so deltas have real work to do.
QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x & 0xff);
    }
    return bytes;
}

QMap<QString, Entry> treeOf(const QString &version, const QByteArray &client)
{
    const bool newer = version == kSampleNewVersion;
    QMap<QString, Entry> tree;
    tree.insert(kSampleClientName, { client + versionInfoBlock(version), true });
    tree.insert(QStringLiteral("readme.txt"), { QStringLiteral("Sample client %1\n").arg(version).toUtf8(), false });
    QByteArray core = noise(48 * 1024, 7);
    if (newer)
        core.replace(20000, 11, "patched 1.1").append(noise(4096, 8));
    tree.insert(kSampleDeltaFile, { core, false });
    tree.insert(QStringLiteral("data/nested/deep/config.json"), { "{\"server\": \"127.0.0.1\"}\n", false });
    tree.insert(QStringLiteral("data/unchanged.bin"), { noise(10000, 3), false });
    tree.insert(QStringLiteral("tools/helper.sh"), { "#!/bin/sh\necho helper\n", true });
    tree.insert(QStringLiteral("文档 docs/使用 说明.txt"),
            { QStringLiteral("说明 for %1: 更新内容\n").arg(version).toUtf8(), false });
    if (newer) {
        tree.insert(QStringLiteral("lib/new feature.dll"), { noise(6000, 11), false });
        tree.insert(QStringLiteral("新目录 added/层 two/新 文件.txt"), { "新的文件\n", false });
    } else {
        tree.insert(kSampleRemovedFile, { noise(5000, 5), false });
        tree.insert(QStringLiteral("lib/old.dll"), { "old plugin.dll", false, false, true });
    }
    tree.insert(QStringLiteral("lib/current.dll"), { "core.dll", false, false, true });
    tree.insert(QStringLiteral("data/linked"), { "nested/deep", false, false, true });
    tree.insert(QStringLiteral("data/licence.txt"), { "licence " + version.toUtf8() + "\n", false, true });
    return tree;
}

bool runTool(const QStringList &arguments, QString *error)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(SOLUPDATE_MKHPATCH_PATH), arguments);
    if (!tool.waitForFinished(120000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("mkhpatch %1 failed: %2")
                             .arg(arguments.join(' '), QString::fromLocal8Bit(tool.readAll()));
        return false;
    }
    return true;
}

} // namespace

bool writeVersionTree(const QString &dir, const QString &version, QString *error)
{
    if (version != kSampleOldVersion && version != kSampleNewVersion) {
        if (error)
            *error = QStringLiteral("no sample tree for version %1").arg(version);
        return false;
    }
    const QByteArray client = testsupport::readFile(QStringLiteral(SOLUPDATE_SAMPLECLIENT_PATH));
    if (client.isEmpty()) {
        if (error)
            *error = QStringLiteral("cannot read the sample client " SOLUPDATE_SAMPLECLIENT_PATH);
        return false;
    }
    const QMap<QString, Entry> tree = treeOf(version, client);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = dir + QLatin1Char('/') + it.key();
        if (it->link) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            if (::symlink(it->content.constData(), QFile::encodeName(path).constData()) == 0)
                continue;
        }
        if (it->link || !testsupport::writeFile(path, it->content)) {
            if (error)
                *error = QStringLiteral("cannot write %1").arg(path);
            return false;
        }
        QFile::Permissions permissions = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        if (!it->readOnly)
            permissions |= QFile::WriteOwner;
        if (it->executable)
            permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        QFile::setPermissions(path, permissions);
    }
    return true;
}

bool makeIncrementalPackage(const QString &oldDir, const QString &newDir, const QString &package, QString *error)
{
    return runTool({ oldDir, newDir, package }, error);
}

bool makeFullPackage(const QString &newDir, const QString &package, QString *error)
{
    return runTool({ QStringLiteral("--full"), newDir, package }, error);
}

bool corruptPackage(const QString &package)
{
    QFile file(package);
    if (!file.open(QIODevice::ReadWrite) || file.size() < 64)
        return false;
    const qint64 middle = file.size() / 2;
    file.seek(middle);
    QByteArray bytes = file.read(16);
    for (char &c : bytes)
        c = char(~c);
    file.seek(middle);
    return file.write(bytes) == bytes.size();
}

QByteArray updateDocument(const UpdateDocument &document)
{
    QJsonArray incrementals;
    for (const auto &entry : document.incrementals)
        incrementals.append(QJsonObject{ { "download_url", entry.first }, { "version_required", entry.second } });
    const QJsonObject package{ { "upgrade_packages", incrementals },
        { "full_package", QJsonObject{ { "download_url", document.fullUrl } } } };
    QJsonObject config{ { "name", "sample client" }, { "version", document.version },
        { "content", QJsonObject{ { "cn", "示例客户端的新版本" }, { "en", "A new sample client" } } },
        { "title", "Sample client " + document.version }, { "package", package } };
    if (!document.productUrl.isEmpty())
        config.insert("product_url", document.productUrl);
    const QJsonObject root{ { "strategy", QJsonObject{ { "force", document.force } } }, { "config", config } };
    return QJsonDocument(root).toJson();
}

} // namespace sample
