#include "packageformat.h"
#include "referencecache.h"
#include "common/testenv.h"
#include "upgrade/treecompare.h"

#include <QDir>
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
using testsupport::snapshotTree;
using testsupport::treeDifferences;
using testsupport::writeFile;

namespace {

struct RunResult {
    int exitCode = -1;
    QByteArray output;
};

RunResult run(const QString &tool, const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(SOLUPDATE_BIN_DIR "/") + tool, args);
    const bool done = process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit;
    return {done ? process.exitCode() : -1, process.readAll()};
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(gen.generate());
    return data;
}

// "text:lines:variant", "rand:size:seed", "edit:size:seed" (random with scattered edits, an
// insertion and a deletion) or "patch:size:seed" (random with 100 bytes replaced).
QByteArray content(const QString &spec)
{
    const QStringList p = spec.split(':');
    const int size = p.value(1).toInt();
    QByteArray data = randomBytes(size, p.value(2).toUInt());
    if (p[0] == "text") {
        data.clear();
        for (int i = 0; i < size; ++i)
            data += "line " + QByteArray::number(i) + " of the text, variant " + (i % 97 ? "0" : p[2].toLatin1()) + "\n";
    } else if (p[0] == "patch") {
        data.replace(size / 4, 100, randomBytes(100, 1));
    } else if (p[0] == "edit") {
        for (int at : {0, 1000, size / 2, size - 3})
            data[at] = char(data[at] ^ 0x5a);
        data.insert(size / 3, randomBytes(3000, 1));
        data.remove(size * 2 / 3, 1500);
    }
    return data;
}

// Entries "path=spec" (a file, "+x" at the end for an executable one) or "path/" (a directory),
// separated by ';'.
void buildTree(const QString &root, const QString &entries)
{
    QVERIFY(QDir().mkpath(root));
    for (const QString &e : entries.split(';', Qt::SkipEmptyParts)) {
        const QString path = root + "/" + e.section('=', 0, 0);
        const QString spec = e.section('=', 1);
        QVERIFY(e.endsWith('/') ? QDir().mkpath(path) : writeFile(path, content(spec.chopped(spec.endsWith("+x") ? 2 : 0))));
        if (spec.endsWith("+x"))
            QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner | QFileDevice::ExeOther);
    }
}

// A package put together by hand, for what the maker would never write.
QByteArray craftPackage(const std::string &rawManifest, const QByteArray &stream)
{
    auto pack = [](const char *data, size_t size) {
        std::string out(ZSTD_compressBound(size), '\0');
        out.resize(ZSTD_compress(out.data(), out.size(), data, size, 3));
        return out;
    };
    const std::string manifest = pack(rawManifest.data(), rawManifest.size());
    const std::string packed = pack(stream.constData(), size_t(stream.size()));
    hpatch::Header h;
    h.manifestSize = manifest.size();
    h.manifestRawSize = rawManifest.size();
    h.manifestHash = XXH3_64bits(manifest.data(), manifest.size());
    h.streamSize = packed.size();
    h.streamHash = XXH3_64bits(packed.data(), packed.size());
    return QByteArray::fromStdString(hpatch::encodeHeader(h) + manifest + packed);
}

const QString kOld = "same.txt=text:50:1;changed.txt=text:400:1;removed.bin=rand:5000:3;sub/";
const QString kNew = "same.txt=text:50:1;changed.txt=text:420:2;added/new.bin=rand:6000:4";

} // namespace

class TestHpatch : public QObject {
    Q_OBJECT

private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void hostilePackage_data();
    void hostilePackage();
    void refusedApply_data();
    void refusedApply();
    void fullDisk();
    void fileLargerThan4GiB();
    void referenceCache();

private:
    // A refused apply: the exit code, one reason line, the old tree as it was, nothing new left.
    void expectRefused(const QStringList &args, int exitCode, const QString &out);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_old, m_new, m_out, m_pkg;
    QByteArray m_output;
};

void TestHpatch::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_old = m_dir->filePath("old");
    m_new = m_dir->filePath("new");
    m_out = m_dir->filePath("out");
    m_pkg = m_dir->filePath("update.pkg");
    QVERIFY(QDir().mkpath(m_old) && QDir().mkpath(m_new));
}

void TestHpatch::expectRefused(const QStringList &args, int exitCode, const QString &out)
{
    const testsupport::Tree before = snapshotTree(m_dir->path());
    const RunResult r = run("hpatchz", args + QStringList{m_old, m_pkg, out});
    QCOMPARE(r.exitCode, exitCode);
    m_output = r.output;
    QVERIFY2(r.output.startsWith("hpatchz: error: ") && r.output.count('\n') == 1, r.output.constData());
    QCOMPARE(treeDifferences(before, snapshotTree(m_dir->path())), QString());
}

void TestHpatch::roundTrip_data()
{
    QTest::addColumn<QString>("oldTree");
    QTest::addColumn<QString>("newTree");
    QTest::addColumn<QStringList>("options"); // of the maker; the last one is the check level
    QTest::addColumn<int>("maxPackage");
    const QString some = "a.txt=text:100:1;lib/b.bin=rand:70000:2;empty.txt=;lib/empty/";
    const QString deep = QString("d").repeated(60) + "/" + QString("e").repeated(60) + "/" + QString("f").repeated(60) + "/"
        + QString("g").repeated(60) + "/" + QString("長").repeated(40) + ".txt=text:30:";
    QTest::newRow("no change") << some << some << QStringList{"-C-all"} << 4096;
    QTest::newRow("changed, added, removed") << kOld << kNew << QStringList{"-C-diff"} << 0;
    QTest::newRow("moved and duplicated") << "from/moved.bin=rand:100000:5;dup.txt=text:30:3"
                                          << "to/moved.bin=rand:100000:5;to/copy.bin=rand:100000:5;dup.txt=text:30:3;"
                                             "dup2.txt=text:30:3"
                                          << QStringList{"-C-diff"} << 4096;
    QTest::newRow("nested and empty directories") << "a/b/c/d/e/deep.txt=text:10:1;old/empty/"
                                                  << "a/b/c/d/e/deep.txt=text:10:1;new/empty/too/;x/y/"
                                                  << QStringList{"-C-diff"} << 0;
    QTest::newRow("large file, small edits") << "large.bin=rand:6291456:6" << "large.bin=edit:6291456:6"
                                             << QStringList{"-C-diff"} << 65536;
    QTest::newRow("binary and text, unchecked") << "prog.bin=rand:200000:8;readme.txt=text:1000:1"
                                                << "prog.bin=patch:200000:8;readme.txt=text:1000:5" << QStringList{"-C-no"}
                                                << 8192;
    QTest::newRow("code moved between files") << "one.js=rand:60000:40;two.js=rand:60000:41;keep.js=text:50:1"
                                              << "merged.js=patch:60000:40;keep.js=text:60:2"
                                              << QStringList{"--all-old", "-C-diff"} << 8192;
    QTest::newRow("blanks and CJK names") << "程序 文件/说明 书.txt=text:40:1"
                                          << "程序 文件/说明 书.txt=text:40:2;新 目录/空 格 .bin=rand:3000:10;空的 目录/"
                                          << QStringList{"-C-diff"} << 0;
    QTest::newRow("path beyond 260 characters") << deep + "1" << deep + "2" << QStringList{"-C-diff"} << 0;
    QTest::newRow("exec bit") << "tool=rand:9000:11;script.sh=text:2:1+x" << "tool=rand:9000:11+x;script.sh=text:2:1+x"
                              << QStringList{"-C-diff"} << 0;
    QTest::newRow("full package") << "" << "large.bin=edit:2000000:6+x;程序/说明.txt=text:40:1"
                                  << QStringList{"--full", "-C-all"} << 0;
}

void TestHpatch::roundTrip()
{
    QFETCH(QString, oldTree);
    QFETCH(QString, newTree);
    QFETCH(QStringList, options);
    QFETCH(int, maxPackage);
    buildTree(m_old, oldTree);
    buildTree(m_new, newTree);
    const testsupport::Tree oldBefore = snapshotTree(m_old);
    const QString check = options.takeLast();
    const RunResult made = run("mkhpatch", options + (options.contains("--full") ? QStringList() : QStringList{m_old})
                                               + QStringList{m_new, m_pkg});
    QVERIFY2(made.exitCode == 0, made.output.constData());
    const RunResult r = run("hpatchz", {check, "-f", m_old, m_pkg, m_out});
    QVERIFY2(r.exitCode == 0, r.output.constData());
    QCOMPARE(treeDifferences(snapshotTree(m_new), snapshotTree(m_out)), QString());
    QCOMPARE(treeDifferences(oldBefore, snapshotTree(m_old)), QString());
    // What a delta is for: unchanged, moved and slightly edited data cost next to nothing.
    QVERIFY2(maxPackage == 0 || QFileInfo(m_pkg).size() <= maxPackage, QByteArray::number(QFileInfo(m_pkg).size()));
}

void TestHpatch::hostilePackage_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<int>("exitCode");
    for (const char *mutation : {"empty", "other format", "truncated", "trailing byte", "flipped manifest", "flipped stream"})
        QTest::newRow(mutation) << mutation << QStringList() << 2;
    QTest::newRow("manifest bomb") << "bomb" << QStringList() << 2;
    QTest::newRow("larger than the disk") << "oversized" << QStringList{"huge.bin"} << 4;
    QTest::newRow("more bytes than declared") << "longer" << QStringList{"a.txt"} << 2;
    QTest::newRow("fewer bytes than declared") << "shorter" << QStringList{"a.txt"} << 2;
    // Names; those that can stand in a tree on this disk must be refused by the maker alike.
    const QList<QPair<QString, QStringList>> names = {
        {"dot dot", {"../evil.txt"}}, {"dot dot inside", {"a/../../evil.txt"}}, {"absolute", {"/tmp/hpatch-evil.txt"}},
        {"drive", {"C:/evil.txt"}}, {"backslash", {"..\\evil.txt"}}, {"empty part", {"a//b.txt"}},
        {"two entries", {"same.txt", "same.txt"}}, {"file and directory", {"same", "same/"}},
        {"file below a file", {"a", "a/b.txt"}}, {"300-character name", {QString(300, 'n')}},
        {"not UTF-8", {QString::fromLatin1("caf\xe9.txt")}}, {"disk: con", {"con"}}, {"disk: AUX.txt", {"dir/AUX.txt"}},
        {"disk: lpt1 with extension", {"lpt1.tar.gz"}}, {"disk: com9", {"com9"}}, {"disk: nul directory", {"Nul/x.txt"}},
        {"disk: trailing dot", {"name."}}, {"disk: trailing space", {"dir /x"}}, {"disk: colon", {"a:b"}},
        {"disk: star", {"a*b"}}, {"disk: question mark", {"a?b"}}, {"disk: pipe", {"a|b"}}, {"disk: quote", {"a\"b"}},
        {"disk: angle bracket", {"a<b"}}, {"disk: names differing in case", {"Read.me", "read.ME"}},
        {"disk: directories differing in case", {"Lib/a.js", "lib/b.js"}}, {"disk: Cyrillic case", {"Файл", "файл"}},
    };
    for (const auto &n : names)
        QTest::newRow(qPrintable(n.first)) << (n.first.startsWith("disk") ? "disk names" : "names") << n.second << 2;
}

void TestHpatch::hostilePackage()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, paths);
    QFETCH(int, exitCode);
    hpatch::Manifest manifest;
    QByteArray stream;
    for (const QString &p : paths) {
        const QByteArray name = p.contains(QChar(0xe9)) ? p.toLatin1() : p.toUtf8();
        const QByteArray data = "payload of " + name;
        if (p.endsWith('/'))
            manifest.dirs.push_back({name.chopped(1).toStdString(), 0755});
        else
            manifest.newFiles.push_back({name.toStdString(), 0644,
                                         kind == "oversized" ? uint64_t(1) << 60 : uint64_t(data.size() + (kind == "shorter") * 4),
                                         XXH3_64bits(data.constData(), size_t(data.size())), hpatch::Kind::New, {}});
        stream += p.endsWith('/') ? "" : data + (kind == "longer" ? "more" : "");
    }
    std::string raw = hpatch::encodeManifest(manifest);
    if (kind == "bomb") { // 11 million old files claimed in 128 MiB of zeros: a package of a few KB
        raw.clear();
        hpatch::putVarint(raw, 11000000);
        raw.resize(128 << 20, '\0');
    }
    QByteArray package = craftPackage(raw, stream);
    if (QStringList{"empty", "other format", "truncated", "trailing byte", "flipped manifest", "flipped stream"}.contains(kind)) {
        buildTree(m_old, "prog.bin=rand:200000:8;readme.txt=text:1000:1");
        buildTree(m_new, "prog.bin=patch:200000:8;readme.txt=text:1000:5;plain.bin=rand:50000:20");
        QCOMPARE(run("mkhpatch", {m_old, m_new, m_pkg}).exitCode, 0);
        package = readFile(m_pkg);
        const int manifestEnd = int(hpatch::kHeaderSize + qFromLittleEndian<quint64>(package.constData() + 16));
        const int at = kind == "flipped manifest" ? manifestEnd - 3 : (manifestEnd + package.size()) / 2;
        package = kind == "empty"         ? QByteArray()
            : kind == "other format"      ? "PK\x03\x04 a zip file, not a package" + QByteArray(100, '.')
            : kind == "truncated"         ? package.chopped(1)
            : kind == "trailing byte"     ? package + '\0'
                                          : package.replace(at, 1, QByteArray(1, char(package[at] ^ 0x10)));
    }
    QVERIFY(writeFile(m_pkg, package));
    expectRefused({"-C-diff", "-f"}, exitCode, m_out);
    if (kind != "flipped stream") // unchecked, a flipped byte of data may pass as data
        expectRefused({"-C-no"}, exitCode, m_out);
    QVERIFY(!QFileInfo::exists("/tmp/hpatch-evil.txt") && !QFileInfo::exists(m_dir->filePath("evil.txt")));
    if (kind == "bomb" || kind == "oversized") {
        // Measured by the benchmark helper: a child of this big test process would inherit its peak.
        const RunResult r = run("hpatchbench", {"measure", QStringLiteral(SOLUPDATE_BIN_DIR "/hpatchz"), m_old, m_pkg, m_out});
        QVERIFY2(r.output.trimmed().split('\n').last().split(' ').value(1).toInt() < 24 * 1024, r.output.constData());
    }
    if (kind == "disk names") {
        QDir(m_new).removeRecursively();
        buildTree(m_new, paths.join("=text:3:1;") + "=text:3:1");
        const RunResult made = run("mkhpatch", {m_old, m_new, m_pkg + "2"});
        QVERIFY2(made.exitCode == 2 && made.output.startsWith("mkhpatch: error: "), made.output.constData());
        QVERIFY(!QFileInfo::exists(m_pkg + "2"));
    }
}

void TestHpatch::refusedApply_data()
{
    QTest::addColumn<QString>("change"); // what happens to the old tree or to the output directory
    QTest::addColumn<int>("exitCode");
    QTest::newRow("a deleted file is missing") << "missing removed.bin" << 0;
    for (const char *file : {"same.txt", "changed.txt"}) {
        for (const char *change : {"missing", "shorter", "other bytes in", "directory instead of"})
            QTest::newRow(qPrintable(QString("%1 %2").arg(change, file))) << QString("%1 %2").arg(change, file) << 3;
    }
    QTest::newRow("out is old") << "out old" << 1;
    QTest::newRow("out is old by a dotted path") << "out old/../old/." << 1;
    QTest::newRow("out inside old through a link") << "out link/out" << 1;
    QTest::newRow("out exists without -f") << "out out" << 1;
    QTest::newRow("out not empty") << "out out/keep.txt" << 1;
}

void TestHpatch::refusedApply()
{
    QFETCH(QString, change);
    QFETCH(int, exitCode);
    buildTree(m_old, kOld);
    buildTree(m_new, kNew);
    QCOMPARE(run("mkhpatch", {m_old, m_new, m_pkg}).exitCode, 0);
    const QString path = m_old + "/" + change.section(' ', -1);
    QByteArray data = readFile(path);
    if (!data.isEmpty())
        data[data.size() / 2] = char(data[data.size() / 2] ^ 1);
    QVERIFY(change.startsWith("out") || QFile::remove(path));
    if (change.startsWith("shorter") || change.startsWith("other"))
        QVERIFY(writeFile(path, change.startsWith("shorter") ? data.chopped(1) : data));
    QVERIFY(!change.startsWith("directory") || QDir().mkpath(path));
    QVERIFY(!change.startsWith("out link") || QFile::link(m_old + "/sub", m_dir->filePath("link")));
    QVERIFY(!change.startsWith("out out") || QDir().mkpath(m_out));
    QVERIFY(!change.endsWith("keep.txt") || writeFile(m_out + "/keep.txt", "keep"));
    const QString out = change.startsWith("out") ? m_dir->filePath(change.mid(4)) : m_out;
    for (const QString check : {"-C-diff", "-C-all"}) {
        if (exitCode != 0) {
            expectRefused(change == "out out" ? QStringList{check} : QStringList{check, "-f"}, exitCode, out);
            QVERIFY(exitCode == 1 || m_output.contains(change.section(' ', -1).toUtf8()));
            continue;
        }
        QDir(m_out).removeRecursively();
        QCOMPARE(run("hpatchz", {check, m_old, m_pkg, m_out}).exitCode, 0);
        QCOMPARE(treeDifferences(snapshotTree(m_new), snapshotTree(m_out)), QString());
    }
}

// The declared sizes fit, but each tiny file takes a page of the small file system: the disk
// fills while writing, and what was written is removed again.
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
    for (int i = 0; i < 400; ++i)
        QVERIFY(writeFile(m_new + QString("/f%1.txt").arg(i), QByteArray::number(i)));
    QCOMPARE(run("mkhpatch", {"--full", m_new, m_pkg}).exitCode, 0);
    expectRefused({}, hpatch::ExitIoError, mountPoint + "/out");
}

// Sizes and offsets above 4 GiB, with marks on both sides of the 32-bit boundary of a sparse file.
void TestHpatch::fileLargerThan4GiB()
{
    const qint64 size = (qint64(4) << 30) + 123457;
    const QList<qint64> marks{0, (qint64(4) << 30) - 3, (qint64(4) << 30) + 5, size - 8};
    QFile big(m_new + "/huge.img");
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(size));
    for (qint64 at : marks)
        QVERIFY(big.seek(at) && big.write("MARKMARK") == 8);
    big.close();
    QCOMPARE(run("mkhpatch", {"--full", "--level", "3", m_new, m_pkg}).exitCode, 0);
    QVERIFY(QFileInfo(m_pkg).size() < 4 * 1024 * 1024);
    QCOMPARE(run("hpatchz", {m_old, m_pkg, m_out}).exitCode, 0);
    QFile result(m_out + "/huge.img");
    QVERIFY(result.size() == size && result.open(QIODevice::ReadOnly));
    for (qint64 at : marks)
        QVERIFY(result.seek(at) && result.read(8) == "MARKMARK");
}

// Reads through caches far smaller than the files, each file in order (the cache reads ahead) and
// then anywhere, give the files' bytes whichever blocks are held; reads past an end fail.
void TestHpatch::referenceCache()
{
    const QList<int> sizes = {5000, 1, 3000, 7000, 4096, 2500, 90000};
    QList<QByteArray> contents;
    std::vector<int> fds;
    for (int i = 0; i < sizes.size(); ++i) {
        contents << randomBytes(sizes[i], quint32(i));
        QVERIFY(writeFile(m_dir->filePath(QString::number(i)), contents.last()));
        fds.push_back(::open(QFile::encodeName(m_dir->filePath(QString::number(i))).constData(), O_RDONLY));
    }
    for (int budget : {1 << 20, 40000, 9000, 1000}) {
        hpatch::ReferenceCache cache(size_t(budget), [&](uint32_t key) { return key < fds.size() ? fds[key] : -1; });
        QRandomGenerator gen(7);
        for (int n = 0; n < 3000; ++n) {
            const int key = n < 700 ? n / 100 : gen.bounded(sizes.size());
            const int offset = n < 700 ? std::min((n % 100) * 700, sizes[key] - 1) : gen.bounded(sizes[key]);
            QByteArray piece(gen.bounded(std::min(sizes[key] - offset, 700) + 1), '\0');
            QVERIFY(cache.read(uint32_t(key), uint64_t(sizes[key]), uint64_t(offset), piece.data(), size_t(piece.size())));
            QCOMPARE(piece, contents[key].mid(offset, piece.size()));
        }
        char bytes[2] = {};
        hpatch::ReferenceCache fresh(size_t(budget), [&](uint32_t key) { return fds[key]; });
        QVERIFY(!cache.read(0, 5000, 4999, bytes, 2) && !cache.read(7, 10, 0, bytes, 1) && !fresh.read(2, 3001, 2999, bytes, 2));
    }
    for (int fd : fds)
        ::close(fd);
}

QTEST_GUILESS_MAIN(TestHpatch)
#include "tst_hpatch.moc"
