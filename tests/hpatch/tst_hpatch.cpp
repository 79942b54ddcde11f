#include "packageformat.h"
#include "referencecache.h"
#include "common/testenv.h"
#include "upgrade/treecompare.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>
#include <xxhash.h>
#include <zstd.h>

using testsupport::readFile;
using testsupport::writeFile;

namespace {

const QString kBinDir = QStringLiteral(SOLUPDATE_BIN_DIR);

struct RunResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

RunResult runTool(const QString &name, const QStringList &args)
{
    QProcess process;
    process.start(kBinDir + QLatin1Char('/') + name, args);
    RunResult r;
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = process.exitCode();
    r.out = process.readAllStandardOutput();
    r.err = process.readAllStandardError();
    return r;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray data(size, Qt::Uninitialized);
    gen.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    for (int i = size / 4 * 4; i < size; ++i)
        data[i] = char(gen.generate());
    return data;
}

QByteArray textBytes(int lines, int variant)
{
    QByteArray text;
    for (int i = 0; i < lines; ++i)
        text += QByteArray("line ") + QByteArray::number(i) + " of the text, variant "
            + QByteArray::number(i % 97 == 0 ? variant : 0) + "\n";
    return text;
}

void setExecutable(const QString &path)
{
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                    | QFileDevice::ExeOther);
}

enum Scenario {
    NoChange,
    ChangedAddedRemoved,
    MovedAndDuplicated,
    NestedAndEmptyDirs,
    LargeFileSmallEdits,
    BinaryAndText,
    BlanksAndChinese,
    ExecBitOnly,
};

void buildScenario(Scenario scenario, const QString &oldDir, const QString &newDir)
{
    QDir().mkpath(oldDir);
    QDir().mkpath(newDir);
    auto both = [&](const QString &rel, const QByteArray &data) {
        writeFile(oldDir + "/" + rel, data);
        writeFile(newDir + "/" + rel, data);
    };
    switch (scenario) {
    case NoChange:
        both("a.txt", textBytes(100, 1));
        both("lib/b.bin", randomBytes(70000, 2));
        both("empty.txt", QByteArray());
        break;
    case ChangedAddedRemoved:
        both("same.txt", textBytes(50, 1));
        writeFile(oldDir + "/changed.txt", textBytes(400, 1));
        writeFile(newDir + "/changed.txt", textBytes(420, 2));
        writeFile(oldDir + "/removed.bin", randomBytes(5000, 3));
        writeFile(newDir + "/added/new.bin", randomBytes(6000, 4));
        break;
    case MovedAndDuplicated:
        writeFile(oldDir + "/from/moved.bin", randomBytes(100000, 5));
        writeFile(newDir + "/to/moved.bin", randomBytes(100000, 5));
        writeFile(newDir + "/to/copy1.bin", randomBytes(100000, 5));
        both("dup.txt", textBytes(30, 3));
        writeFile(newDir + "/dup2.txt", textBytes(30, 3));
        break;
    case NestedAndEmptyDirs:
        both("a/b/c/d/e/deep.txt", textBytes(10, 1));
        QDir().mkpath(oldDir + "/old/empty");
        QDir().mkpath(newDir + "/new/empty/too");
        QDir().mkpath(newDir + "/x/y");
        break;
    case LargeFileSmallEdits: {
        QByteArray data = randomBytes(6 * 1024 * 1024, 6);
        writeFile(oldDir + "/large.bin", data);
        for (int at : {0, 1000, 3 * 1024 * 1024, 5 * 1024 * 1024 + 7, data.size() - 3})
            data[at] = char(data[at] ^ 0x5a);
        data.insert(2 * 1024 * 1024, randomBytes(3000, 7));
        data.remove(4 * 1024 * 1024, 1500);
        writeFile(newDir + "/large.bin", data);
        break;
    }
    case BinaryAndText: {
        QByteArray bin = randomBytes(200000, 8);
        writeFile(oldDir + "/prog.bin", bin);
        bin.replace(50000, 100, randomBytes(100, 9));
        writeFile(newDir + "/prog.bin", bin);
        writeFile(oldDir + "/readme.txt", textBytes(1000, 1));
        writeFile(newDir + "/readme.txt", textBytes(1000, 5));
        break;
    }
    case BlanksAndChinese:
        writeFile(oldDir + QStringLiteral("/程序 文件/说明 书.txt"), textBytes(40, 1));
        writeFile(newDir + QStringLiteral("/程序 文件/说明 书.txt"), textBytes(40, 2));
        writeFile(newDir + QStringLiteral("/新 目录/空 格 .bin"), randomBytes(3000, 10));
        QDir().mkpath(newDir + QStringLiteral("/空的 目录"));
        break;
    case ExecBitOnly:
        both("tool", randomBytes(9000, 11));
        both("script.sh", "#!/bin/sh\necho hi\n");
        setExecutable(newDir + "/tool");
        setExecutable(oldDir + "/script.sh");
        setExecutable(newDir + "/script.sh");
        break;
    }
}

// A package put together by hand, for input the maker would never write.
QByteArray craftPackage(const hpatch::Manifest &manifest, const QByteArray &stream, quint32 version = hpatch::kFormatVersion)
{
    const std::string raw = hpatch::encodeManifest(manifest);
    std::string packed(ZSTD_compressBound(raw.size()), '\0');
    packed.resize(ZSTD_compress(packed.data(), packed.size(), raw.data(), raw.size(), 3));
    std::string streamPacked(ZSTD_compressBound(size_t(stream.size())), '\0');
    streamPacked.resize(ZSTD_compress(streamPacked.data(), streamPacked.size(), stream.constData(), size_t(stream.size()), 3));
    hpatch::Header header;
    header.version = version;
    header.manifestSize = packed.size();
    header.manifestRawSize = raw.size();
    header.manifestHash = XXH3_64bits(packed.data(), packed.size());
    header.streamSize = streamPacked.size();
    header.streamHash = XXH3_64bits(streamPacked.data(), streamPacked.size());
    const std::string all = hpatch::encodeHeader(header) + packed + streamPacked;
    return QByteArray(all.data(), int(all.size()));
}

hpatch::NewEntry newFile(const std::string &path, const QByteArray &content)
{
    hpatch::NewEntry e;
    e.path = path;
    e.size = uint64_t(content.size());
    e.hash = XXH3_64bits(content.constData(), size_t(content.size()));
    e.kind = hpatch::Kind::New;
    return e;
}

} // namespace

class TestHpatch : public QObject {
    Q_OBJECT

private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void fullPackageOnEmptyOldTree();
    void onlyReferencedOldFilesNeeded();
    void badPackage_data();
    void badPackage();
    void craftedManifest_data();
    void craftedManifest();
    void oldTreeMismatch_data();
    void oldTreeMismatch();
    void badDirectories_data();
    void badDirectories();
    void badArguments_data();
    void badArguments();
    void fullDisk();
    void fileLargerThan4GiB();
    void referenceCache_data();
    void referenceCache();

private:
    // Makes a package of the two trees; the test fails when the maker does.
    QString makePackage(const QStringList &extraArgs = {});
    // Runs hpatchz and checks a refused run: the exit code, one reason line, nothing left behind.
    void expectRefused(const QStringList &args, int exitCode, const QString &outDir);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_old, m_new, m_out, m_pkg;
};

void TestHpatch::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_old = m_dir->filePath("old");
    m_new = m_dir->filePath("new");
    m_out = m_dir->filePath("out");
    m_pkg = m_dir->filePath("update.pkg");
}

QString TestHpatch::makePackage(const QStringList &extraArgs)
{
    const RunResult r = runTool("mkhpatch", extraArgs + QStringList{m_old, m_new, m_pkg});
    if (r.exitCode != 0)
        qWarning() << "mkhpatch failed:" << r.exitCode << r.err;
    return r.exitCode == 0 ? m_pkg : QString();
}

void TestHpatch::expectRefused(const QStringList &args, int exitCode, const QString &outDir)
{
    const testsupport::Tree oldBefore = testsupport::snapshotTree(m_old);
    const QStringList rootBefore = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const bool outExisted = QFileInfo::exists(outDir);
    const RunResult r = runTool("hpatchz", args);
    QCOMPARE(r.exitCode, exitCode);
    const QByteArray reason = r.err.trimmed();
    QVERIFY2(!reason.isEmpty() && !reason.contains('\n'), reason.constData());
    QVERIFY2(reason.startsWith("hpatchz: error: "), reason.constData());
    QCOMPARE(testsupport::treeDifferences(oldBefore, testsupport::snapshotTree(m_old)), QString());
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), rootBefore);
    if (outExisted)
        QVERIFY(QDir(outDir).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    else
        QVERIFY(!QFileInfo::exists(outDir));
}

void TestHpatch::roundTrip_data()
{
    QTest::addColumn<int>("scenario");
    QTest::addColumn<bool>("allOld");
    const QList<QPair<const char *, Scenario>> rows = {
        {"no change", NoChange},
        {"changed, added, removed", ChangedAddedRemoved},
        {"moved and duplicated", MovedAndDuplicated},
        {"nested and empty directories", NestedAndEmptyDirs},
        {"large file with small edits", LargeFileSmallEdits},
        {"binary and text", BinaryAndText},
        {"blanks and Chinese names", BlanksAndChinese},
        {"exec bit", ExecBitOnly},
    };
    for (const auto &row : rows) {
        QTest::newRow(row.first) << int(row.second) << false;
        QTest::newRow(QByteArray(row.first).append(", all old files").constData()) << int(row.second) << true;
    }
}

void TestHpatch::roundTrip()
{
    QFETCH(int, scenario);
    QFETCH(bool, allOld);
    buildScenario(Scenario(scenario), m_old, m_new);
    const testsupport::Tree oldBefore = testsupport::snapshotTree(m_old);
    QVERIFY(!makePackage(allOld ? QStringList{"--all-old"} : QStringList{}).isEmpty());
    const RunResult r = runTool("hpatchz", {"-C-diff", "-f", m_old, m_pkg, m_out});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(testsupport::treeDifferences(testsupport::snapshotTree(m_new), testsupport::snapshotTree(m_out)), QString());
    QCOMPARE(testsupport::treeDifferences(oldBefore, testsupport::snapshotTree(m_old)), QString());

    if (scenario == LargeFileSmallEdits) {
        // The point of a delta: a few edits in 6 MiB of random bytes cost a few KiB.
        QVERIFY2(QFileInfo(m_pkg).size() < 64 * 1024, QByteArray::number(QFileInfo(m_pkg).size()).constData());
    }
    if (scenario == MovedAndDuplicated)
        QVERIFY2(QFileInfo(m_pkg).size() < 4096, QByteArray::number(QFileInfo(m_pkg).size()).constData());
}

void TestHpatch::fullPackageOnEmptyOldTree()
{
    buildScenario(BlanksAndChinese, m_dir->filePath("unused"), m_new);
    buildScenario(LargeFileSmallEdits, m_dir->filePath("unused2"), m_new);
    setExecutable(m_new + "/large.bin");
    QDir().mkpath(m_old);
    const RunResult made = runTool("mkhpatch", {"--full", m_new, m_pkg});
    QVERIFY2(made.exitCode == 0, made.err.constData());
    for (const QString &check : {QStringLiteral("-C-diff"), QStringLiteral("-C-all"), QStringLiteral("-C-no")}) {
        QDir(m_out).removeRecursively();
        const RunResult r = runTool("hpatchz", {check, "-f", m_old, m_pkg, m_out});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(testsupport::treeDifferences(testsupport::snapshotTree(m_new), testsupport::snapshotTree(m_out)), QString());
    }
}

void TestHpatch::onlyReferencedOldFilesNeeded()
{
    buildScenario(ChangedAddedRemoved, m_old, m_new);
    QVERIFY(!makePackage().isEmpty());
    // The new version deletes removed.bin, so the apply does not need it.
    QVERIFY(QFile::remove(m_old + "/removed.bin"));
    RunResult r = runTool("hpatchz", {"-C-diff", "-f", m_old, m_pkg, m_out});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(testsupport::treeDifferences(testsupport::snapshotTree(m_new), testsupport::snapshotTree(m_out)), QString());

    // A file the new version keeps is needed.
    QDir(m_out).removeRecursively();
    QVERIFY(QFile::remove(m_old + "/same.txt"));
    expectRefused({"-C-diff", "-f", m_old, m_pkg, m_out}, hpatch::ExitOldMismatch, m_out);
    QVERIFY(runTool("hpatchz", {"-C-diff", "-f", m_old, m_pkg, m_out}).err.contains("same.txt"));
}

void TestHpatch::badPackage_data()
{
    QTest::addColumn<QString>("mutation");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("empty") << "empty" << int(hpatch::ExitBadPackage);
    QTest::newRow("missing") << "missing" << int(hpatch::ExitBadPackage);
    QTest::newRow("other format") << "other format" << int(hpatch::ExitBadPackage);
    QTest::newRow("other version") << "other version" << int(hpatch::ExitBadPackage);
    QTest::newRow("truncated in header") << "truncate:40" << int(hpatch::ExitBadPackage);
    QTest::newRow("truncated in manifest") << "truncate:70" << int(hpatch::ExitBadPackage);
    QTest::newRow("truncated by one byte") << "truncate:-1" << int(hpatch::ExitBadPackage);
    QTest::newRow("trailing byte") << "append" << int(hpatch::ExitBadPackage);
    QTest::newRow("bit flip in header") << "flip:20" << int(hpatch::ExitBadPackage);
    QTest::newRow("bit flip in manifest") << "flip:manifest" << int(hpatch::ExitBadPackage);
    QTest::newRow("bit flip in stream") << "flip:stream" << int(hpatch::ExitBadPackage);
    QTest::newRow("bit flip at the end") << "flip:-1" << int(hpatch::ExitBadPackage);
}

void TestHpatch::badPackage()
{
    QFETCH(QString, mutation);
    QFETCH(int, exitCode);
    buildScenario(BinaryAndText, m_old, m_new);
    writeFile(m_new + "/plain.bin", randomBytes(50000, 20));
    QVERIFY(!makePackage().isEmpty());
    QByteArray data = readFile(m_pkg);
    const qint64 manifestSize = qint64(qFromLittleEndian<quint64>(data.constData() + 16));
    if (mutation == "empty")
        data.clear();
    else if (mutation == "other format")
        data = "PK\x03\x04 this is some zip file, not a package at all........................................";
    else if (mutation == "other version") {
        hpatch::Header header;
        QVERIFY(hpatch::decodeHeader(reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size()), &header).ok());
        header.version = 2;
        const std::string head = hpatch::encodeHeader(header);
        data.replace(0, int(head.size()), QByteArray(head.data(), int(head.size())));
    } else if (mutation.startsWith("truncate:")) {
        const int at = mutation.mid(9).toInt();
        data.truncate(at < 0 ? data.size() + at : at);
    } else if (mutation == "append")
        data.append('\0');
    else if (mutation.startsWith("flip:")) {
        const QString where = mutation.mid(5);
        int at = where == "manifest" ? int(hpatch::kHeaderSize + manifestSize / 2)
            : where == "stream"      ? int(hpatch::kHeaderSize + manifestSize + (data.size() - hpatch::kHeaderSize - manifestSize) / 2)
                                     : where.toInt();
        if (at < 0)
            at += data.size();
        data[at] = char(data[at] ^ 0x10);
    }
    if (mutation == "missing")
        QFile::remove(m_pkg);
    else
        QVERIFY(writeFile(m_pkg, data));
    expectRefused({"-C-diff", "-f", m_old, m_pkg, m_out}, exitCode, m_out);
    expectRefused({"-C-all", "-f", m_old, m_pkg, m_out}, exitCode, m_out);
}

void TestHpatch::craftedManifest_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("dirs");
    QTest::newRow("dot dot") << QStringList{"../evil.txt"} << QStringList{};
    QTest::newRow("dot dot inside") << QStringList{"a/../../evil.txt"} << QStringList{};
    QTest::newRow("dot dot directory") << QStringList{"ok.txt"} << QStringList{".."};
    QTest::newRow("absolute") << QStringList{"/tmp/hpatch-evil.txt"} << QStringList{};
    QTest::newRow("drive") << QStringList{"C:/evil.txt"} << QStringList{};
    QTest::newRow("drive relative") << QStringList{"C:evil.txt"} << QStringList{};
    QTest::newRow("backslash") << QStringList{"..\\evil.txt"} << QStringList{};
    QTest::newRow("empty part") << QStringList{"a//b.txt"} << QStringList{};
    QTest::newRow("two entries") << QStringList{"same.txt", "same.txt"} << QStringList{};
    QTest::newRow("file and directory") << QStringList{"same"} << QStringList{"same"};
    QTest::newRow("file below a file") << QStringList{"a", "a/b.txt"} << QStringList{};
}

void TestHpatch::craftedManifest()
{
    QFETCH(QStringList, paths);
    QFETCH(QStringList, dirs);
    QDir().mkpath(m_old);
    hpatch::Manifest manifest;
    QByteArray stream;
    for (const QString &p : paths) {
        const QByteArray content = "payload of " + p.toUtf8();
        manifest.newFiles.push_back(newFile(p.toStdString(), content));
        stream += content;
    }
    for (const QString &d : dirs)
        manifest.dirs.push_back({d.toStdString(), 0755});
    QVERIFY(writeFile(m_pkg, craftPackage(manifest, stream)));
    expectRefused({"-C-diff", "-f", m_old, m_pkg, m_out}, hpatch::ExitBadPackage, m_out);
    expectRefused({"-C-no", "-f", m_old, m_pkg, m_out}, hpatch::ExitBadPackage, m_out);
    QVERIFY(!QFileInfo::exists("/tmp/hpatch-evil.txt"));
    QVERIFY(!QFileInfo::exists(m_dir->filePath("evil.txt")));
}

void TestHpatch::oldTreeMismatch_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("check");
    for (const QString check : {"-C-diff", "-C-all"}) {
        for (const QString file : {"same.txt", "changed.txt"}) {
            const QString kind = file == "same.txt" ? "copied" : "delta";
            QTest::newRow(qPrintable(kind + " missing " + check)) << file << "missing" << check;
            QTest::newRow(qPrintable(kind + " shorter " + check)) << file << "shorter" << check;
            QTest::newRow(qPrintable(kind + " same size other bytes " + check)) << file << "other bytes" << check;
            QTest::newRow(qPrintable(kind + " is a directory " + check)) << file << "directory" << check;
        }
    }
}

void TestHpatch::oldTreeMismatch()
{
    QFETCH(QString, file);
    QFETCH(QString, change);
    QFETCH(QString, check);
    buildScenario(ChangedAddedRemoved, m_old, m_new);
    QVERIFY(!makePackage().isEmpty());
    const QString path = m_old + "/" + file;
    QByteArray data = readFile(path);
    QFile::remove(path);
    if (change == "shorter")
        QVERIFY(writeFile(path, data.left(data.size() - 1)));
    else if (change == "other bytes") {
        data[data.size() / 2] = char(data[data.size() / 2] ^ 1);
        QVERIFY(writeFile(path, data));
    } else if (change == "directory")
        QVERIFY(QDir().mkpath(path));
    expectRefused({check, "-f", m_old, m_pkg, m_out}, hpatch::ExitOldMismatch, m_out);
    QVERIFY(runTool("hpatchz", {check, "-f", m_old, m_pkg, m_out}).err.contains(file.toUtf8()));
}

void TestHpatch::badDirectories_data()
{
    QTest::addColumn<QString>("outRelative");
    QTest::addColumn<bool>("force");
    QTest::addColumn<QString>("prepare");
    QTest::newRow("out is old") << "old" << true << "";
    QTest::newRow("out is old with a trailing slash") << "old/" << true << "";
    QTest::newRow("out is old by a dotted path") << "old/../old/." << true << "";
    QTest::newRow("out inside old") << "old/sub/out" << true << "";
    QTest::newRow("out inside old through a link") << "link/out" << true << "link";
    QTest::newRow("out exists without -f") << "out" << false << "empty out";
    QTest::newRow("out not empty") << "out" << true << "full out";
    QTest::newRow("out is a file") << "out" << true << "file out";
}

void TestHpatch::badDirectories()
{
    QFETCH(QString, outRelative);
    QFETCH(bool, force);
    QFETCH(QString, prepare);
    buildScenario(ChangedAddedRemoved, m_old, m_new);
    QVERIFY(!makePackage().isEmpty());
    QDir().mkpath(m_old + "/sub");
    if (prepare == "link")
        QVERIFY(QFile::link(m_old + "/sub", m_dir->filePath("link")));
    else if (prepare == "empty out")
        QVERIFY(QDir().mkpath(m_out));
    else if (prepare == "full out")
        QVERIFY(writeFile(m_out + "/keep.txt", "keep"));
    else if (prepare == "file out")
        QVERIFY(writeFile(m_out, "a file"));
    const QStringList rootBefore = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const testsupport::Tree oldBefore = testsupport::snapshotTree(m_old);
    const testsupport::Tree outBefore = prepare.endsWith("out") && prepare != "file out" ? testsupport::snapshotTree(m_out) : testsupport::Tree();
    QStringList args{"-C-diff"};
    if (force)
        args << "-f";
    args << m_old << m_pkg << m_dir->path() + "/" + outRelative;
    const RunResult r = runTool("hpatchz", args);
    QCOMPARE(r.exitCode, int(hpatch::ExitBadArguments));
    QVERIFY2(r.err.startsWith("hpatchz: error: ") && !r.err.trimmed().contains('\n'), r.err.constData());
    QCOMPARE(testsupport::treeDifferences(oldBefore, testsupport::snapshotTree(m_old)), QString());
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), rootBefore);
    if (!outBefore.isEmpty() || prepare == "empty out")
        QCOMPARE(testsupport::treeDifferences(outBefore, testsupport::snapshotTree(m_out)), QString());
}

void TestHpatch::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("none") << QStringList{};
    QTest::newRow("two paths") << QStringList{"-C-diff", "-f", "a", "b"};
    QTest::newRow("four paths") << QStringList{"-C-diff", "a", "b", "c", "d"};
    QTest::newRow("unknown option") << QStringList{"-C-some", "-f", "a", "b", "c"};
    QTest::newRow("long option") << QStringList{"--force", "a", "b", "c"};
    QTest::newRow("empty path") << QStringList{"-f", "", "b", "c"};
}

void TestHpatch::badArguments()
{
    QFETCH(QStringList, args);
    const RunResult r = runTool("hpatchz", args);
    QCOMPARE(r.exitCode, int(hpatch::ExitBadArguments));
    QVERIFY2(r.err.contains("usage: hpatchz [-C-no|-C-diff|-C-all] [-f] <oldDir> <package> <outDir>"), r.err.constData());
}

void TestHpatch::fullDisk()
{
    const QString mountPoint = m_dir->filePath("small");
    QVERIFY(QDir().mkpath(mountPoint));
    if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=1m") != 0)
        QSKIP("cannot mount a small tmpfs here (needs root)");
    struct Unmount {
        QString path;
        ~Unmount() { ::umount2(QFile::encodeName(path).constData(), MNT_DETACH); }
    } unmount{mountPoint};

    buildScenario(BinaryAndText, m_old, m_new);
    writeFile(m_new + "/big/random.bin", randomBytes(3 * 1024 * 1024, 30));
    QVERIFY(!makePackage().isEmpty());
    const QString out = mountPoint + "/out";
    const RunResult r = runTool("hpatchz", {"-C-diff", "-f", m_old, m_pkg, out});
    QCOMPARE(r.exitCode, int(hpatch::ExitIoError));
    QVERIFY2(r.err.startsWith("hpatchz: error: ") && !r.err.trimmed().contains('\n'), r.err.constData());
    QVERIFY2(r.err.contains("No space left on device"), r.err.constData());
    // What was written is removed again, so the disk is as full as before.
    QVERIFY(!QFileInfo::exists(out));
    QVERIFY(QDir(mountPoint).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void TestHpatch::fileLargerThan4GiB()
{
    // A sparse file costs neither disk nor time to create; sizes and offsets above 4 GiB are what
    // is tested, with marks just below and above the 32-bit boundary.
    const qint64 size = (qint64(4) << 30) + 123457;
    QDir().mkpath(m_old);
    QDir().mkpath(m_new);
    QFile big(m_new + "/huge.img");
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.resize(size));
    for (qint64 at : {qint64(0), (qint64(4) << 30) - 3, (qint64(4) << 30) + 5, size - 8}) {
        QVERIFY(big.seek(at));
        QVERIFY(big.write("MARKMARK") == 8);
    }
    big.close();
    writeFile(m_new + "/small.txt", "small");
    const RunResult made = runTool("mkhpatch", {"--full", "--level", "3", m_new, m_pkg});
    QVERIFY2(made.exitCode == 0, made.err.constData());
    QVERIFY(QFileInfo(m_pkg).size() < 4 * 1024 * 1024);
    const RunResult r = runTool("hpatchz", {"-C-diff", "-f", m_old, m_pkg, m_out});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QFile result(m_out + "/huge.img");
    QCOMPARE(result.size(), size);
    QVERIFY(result.open(QIODevice::ReadOnly));
    for (qint64 at : {qint64(0), (qint64(4) << 30) - 3, (qint64(4) << 30) + 5, size - 8}) {
        QVERIFY(result.seek(at));
        QCOMPARE(result.read(8), QByteArray("MARKMARK"));
    }
    QCOMPARE(readFile(m_out + "/small.txt"), QByteArray("small"));
}

void TestHpatch::referenceCache_data()
{
    QTest::addColumn<int>("budget");
    QTest::newRow("every file fits") << (1 << 20);
    QTest::newRow("whole files and blocks evict each other") << 40000;
    QTest::newRow("blocks evict each other") << 9000;
    QTest::newRow("files larger than the budget") << 1000;
}

// Scattered reads through the cache give the files' bytes, whichever files it holds at the time.
void TestHpatch::referenceCache()
{
    QFETCH(int, budget);
    const QList<int> sizes = {5000, 1, 3000, 7000, 4096, 2500, 90000};
    QList<QByteArray> contents;
    std::vector<int> fds;
    for (int i = 0; i < sizes.size(); ++i) {
        contents.append(randomBytes(sizes[i], quint32(100 + i)));
        const QString path = m_dir->filePath(QString("ref%1").arg(i));
        QVERIFY(writeFile(path, contents.last()));
        fds.push_back(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        QVERIFY(fds.back() >= 0);
    }
    int opens = 0;
    hpatch::ReferenceCache cache(size_t(budget), [&](uint32_t key) {
        ++opens;
        return key < fds.size() ? fds[key] : -1;
    });
    QRandomGenerator gen(7);
    QByteArray piece;
    // In order first (the cache reads ahead), then anywhere.
    for (uint32_t key = 0; key < uint32_t(sizes.size()); ++key) {
        for (int offset = 0; offset < sizes[int(key)]; offset += 700) {
            const int length = std::min(700, sizes[int(key)] - offset);
            piece.fill('\0', length);
            QVERIFY(cache.read(key, uint64_t(sizes[int(key)]), uint64_t(offset), piece.data(), size_t(length)));
            QCOMPARE(piece, contents[int(key)].mid(offset, length));
        }
    }
    for (int n = 0; n < 3000; ++n) {
        const uint32_t key = gen.bounded(uint32_t(sizes.size()));
        const int size = sizes[int(key)];
        const int offset = gen.bounded(size);
        const int length = gen.bounded(std::min(size - offset, 300) + 1);
        piece.fill('\0', length);
        QVERIFY(cache.read(key, uint64_t(size), uint64_t(offset), piece.data(), size_t(length)));
        QCOMPARE(piece, contents[int(key)].mid(offset, length));
    }
    // With room for everything, small files are read once whole and the 90,000-byte file in
    // growing runs of 4 KiB blocks (1, 2, 4, 8, then the last 7): nothing is read twice.
    if (budget >= 1 << 20)
        QCOMPARE(opens, 6 + 5);
    // Reads past the recorded size, past the end of a file shorter than recorded, or of a file
    // that cannot be opened fail instead of giving bytes.
    char bytes[2] = {};
    QVERIFY(!cache.read(0, 5000, 4999, bytes, 2));
    QVERIFY(!cache.read(uint32_t(sizes.size()), 10, 0, bytes, 1));
    hpatch::ReferenceCache fresh(size_t(budget), [&](uint32_t key) { return fds[key]; });
    QVERIFY(!fresh.read(2, 3001, 2999, bytes, 2));
    for (int fd : fds)
        ::close(fd);
}

QTEST_GUILESS_MAIN(TestHpatch)
#include "tst_hpatch.moc"
