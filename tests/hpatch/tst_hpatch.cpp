#include "common/testenv.h"
#include "packageformat.h"
#include "upgrade/treecompare.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <sys/mount.h>
#include <xxhash.h>
#include <zstd.h>

using namespace testsupport;

namespace {

struct RunResult
{
    int exitCode;
    QByteArray output;
};

// With HPATCH_TOOL_RUNNER set (wine), the tools under test are the Windows build in HPATCH_TOOL_DIR.
const QString kRunner = qEnvironmentVariable("HPATCH_TOOL_RUNNER");
const bool kWindows = !kRunner.isEmpty();

// Unix paths as a Windows program under wine sees them.
QString windowsPath(const QString &path)
{
    return "Z:" + QString(path).replace('/', '\\');
}

// native: this build's tool whatever is under test, for packages that are only the input of a test.
RunResult run(const QString &tool, QStringList args, bool native = false)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QString program = tool.startsWith('/') ? tool : QStringLiteral(SOLUPDATE_BIN_DIR "/") + tool;
    if (kWindows && !native && tool != "hpatchbench") {
        for (QString &a : args)
            a = a.startsWith('/') ? windowsPath(a) : a;
        args.prepend(qEnvironmentVariable("HPATCH_TOOL_DIR") + "/" + tool + ".exe");
        program = kRunner;
    }
    process.start(program, args);
    const bool done = process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit;
    return { done ? process.exitCode() : -1, process.readAll() };
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray data((size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    return data.left(size);
}

// "text:lines:variant", "rand:size:seed", "edit:size:seed" (random with scattered edits, an
// insertion and a deletion), "patch:size:seed" (random with 100 bytes replaced), "grown:size:seed"
// (random with 700,000 new bytes inserted) or "moved:size:seed" (random with little-endian numbers
// that grew, as addresses in machine code do when code moves; some across the applier's reads of
// 512 KiB and its blocks of 1 MiB).
QByteArray content(const QString &recipe)
{
    const QStringList p = recipe.split(':');
    const int size = p.value(1).toInt();
    QByteArray data = randomBytes(size, p.value(2).toUInt());
    if (p[0] == "text") {
        data.clear();
        for (int i = 0; i < size; ++i)
            data += "line " + QByteArray::number(i) + " of the text, variant " + (i % 97 ? "0" : p[2].toLatin1())
                    + "\n";
    } else if (p[0] == "patch") {
        data.replace(size / 4, 100, randomBytes(100, 1));
    } else if (p[0] == "grown") {
        data.insert(size / 3 + 5, randomBytes(700000, 2));
    } else if (p[0] == "moved") {
        QList<int> at{ (512 << 10) - 1, (512 << 10) - 2, (1 << 20) - 3, (1 << 20) - 2, (1 << 20) - 1 };
        for (int i = 0; i < size; i += 997)
            at += i;
        for (int i : at) {
            if (i + 4 <= size)
                qToLittleEndian(qFromLittleEndian<quint32>(data.constData() + i) + 0x1f1f1 * quint32(i % 3 + 1),
                        data.data() + i);
        }
    } else if (p[0] == "edit") {
        for (int at : { 0, 1000, size / 2, size - 3 })
            data[at] = char(data[at] ^ 0x5a);
        data.insert(size / 3, randomBytes(3000, 1));
        data.remove(size * 2 / 3, 1500).append(data.mid(1000, 100000)); // the start again, at the end
    }
    return data;
}

// A tree as the tools under test can write it: Windows files have no permission bits. Elsewhere
// directories' modes count too: a directory left 0700 locks other users out of an installation.
Tree snapshot(const QString &root)
{
    Tree tree = snapshotTree(root);
    for (auto e = tree.begin(); e != tree.end(); ++e) {
        if (kWindows)
            e->permissions = 0;
        else if (e->dir)
            e->permissions = int(QFileInfo(root + "/" + e.key()).permissions() & 0x7777);
    }
    return tree;
}

// Entries "path=recipe" (a file, "+x" at the end for an executable one), "path=->text" (a link)
// or "path/" (a directory), separated by ';'.
void buildTree(const QString &root, const QString &entries)
{
    QVERIFY(QDir().mkpath(root));
    for (const QString &e : entries.split(';', Qt::SkipEmptyParts)) {
        const QString path = root + "/" + e.section('=', 0, 0);
        const QString recipe = e.section('=', 1);
        if (recipe.startsWith("->")) {
            QVERIFY(writeTree(root, { { e.section('=', 0, 0), recipe.toUtf8() } }));
            continue;
        }
        QVERIFY(e.endsWith('/') ? QDir().mkpath(path)
                                : writeFile(path, content(recipe.chopped(recipe.endsWith("+x") ? 2 : 0))));
        if (recipe.endsWith("+x"))
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
const QStringList kMutations = { "truncated", "trailing byte", "flipped manifest", "flipped stream" };

} // namespace

class TestHpatch : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_old, m_new, m_out, m_pkg;
    QByteArray m_output;

    // A refused apply: the exit code, one reason line, the old tree as it was, nothing new left.
    void expectRefused(const QStringList &args, int exitCode, const QString &out)
    {
        const Tree before = snapshotTree(m_dir->path());
        const RunResult r = run("hpatchz", args + QStringList{ m_old, m_pkg, out });
        QVERIFY2(r.exitCode == exitCode, // what it said, for a refusal of another kind
                qPrintable(QString("exit code %1: %2").arg(r.exitCode).arg(QString::fromUtf8(r.output))));
        m_output = r.output;
        QVERIFY2(r.output.startsWith("hpatchz: error: ") && r.output.count('\n') == 1, r.output.constData());
        QCOMPARE(treeDifferences(before, snapshotTree(m_dir->path())), QString());
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_old = m_dir->filePath("old");
        m_new = m_dir->filePath("new");
        m_out = m_dir->filePath("新 out"); // a Windows program must read its arguments as Unicode
        m_pkg = m_dir->filePath("update.pkg");
        QVERIFY(QDir().mkpath(m_old) && QDir().mkpath(m_new));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("oldTree");
        QTest::addColumn<QString>("newTree");
        QTest::addColumn<QStringList>("options"); // of the maker; the last one is the check level
        QTest::addColumn<int>("maxPackage");
        const QString some = "a.txt=text:100:1;lib/b.bin=rand:70000:2;empty.txt=;lib/empty/";
        const QString deep = QString("d").repeated(60) + "/" + QString("e").repeated(60) + "/"
                + QString("f").repeated(60) + "/" + QString("g").repeated(60) + "/" + QString("長").repeated(40)
                + ".txt=text:30:";
        const QList<QStringList> rows = {
            { "no change, the old --all-old accepted", some, some, "--all-old -C-all", "4096" },
            { "changed, added, removed", kOld, kNew, "-C-diff", "0" },
            { "moved and duplicated", "from/moved.bin=rand:100000:5;dup.txt=text:30:3",
                    "to/moved.bin=rand:100000:5;to/copy.bin=rand:100000:5;dup.txt=text:30:3;dup2.txt=text:30:3",
                    "-C-diff", "4096" },
            { "nested and empty directories", "a/b/c/d/e/deep.txt=text:10:1;old/empty/",
                    "a/b/c/d/e/deep.txt=text:10:1;new/empty/too/;x/y/", "-C-diff", "0" },
            // Larger than the applier's cache of old data, which must wrap around.
            { "large file, small edits", "large.bin=rand:10485760:6", "large.bin=edit:10485760:6", "-C-diff", "65536" },
            { "machine code, addresses moved", "lib.so=rand:2500000:12", "lib.so=moved:2500000:12", "-C-diff",
                    "1500" },
            // The new bytes come after an unchanged run that left the output buffer part full.
            { "long run of new bytes in a delta", "big.bin=rand:3000000:13", "big.bin=grown:3000000:13", "-C-diff",
                    "0" },
            { "binary and text, unchecked", "prog.bin=rand:200000:8;readme.txt=text:1000:1",
                    "prog.bin=patch:200000:8;readme.txt=text:1000:5", "-C-no", "8192" },
            { "code moved between files", "one.js=rand:60000:40;two.js=rand:60000:41;keep.js=text:50:1",
                    "merged.js=patch:60000:40;keep.js=text:60:2", "-C-diff", "8192" },
            { "blanks and CJK names", "程序 文件/说明 书.txt=text:40:1",
                    "程序 文件/说明 书.txt=text:40:2;新 目录/空 格 .bin=rand:3000:10;空的 目录/", "-C-diff", "0" },
            { "path beyond 260 characters", deep + "1", deep + "2", "-C-diff", "0" },
            { "exec bit", "tool=rand:9000:11;script.sh=text:2:1+x", "tool=rand:9000:11+x;script.sh=text:2:1+x",
                    "-C-diff", "0" },
            { "full package", "", "large.bin=edit:2000000:6+x;程序/说明.txt=text:40:1", "--full -C-all", "0" },
            { "links stay links", "a.txt=text:3:1;old=->a.txt",
                    "a.txt=text:3:1;lib/x.bin=rand:100:1;cur=->a.txt;libs=->lib;gone=->no/where;up=->../..", "-C-diff",
                    "0" },
        };
        for (const QStringList &r : rows)
            QTest::newRow(qPrintable(r[0])) << r[1] << r[2] << r[3].split(' ') << r[4].toInt();
    }

    void roundTrip()
    {
        QFETCH(QString, oldTree);
        QFETCH(QString, newTree);
        QFETCH(QStringList, options);
        QFETCH(int, maxPackage);
        if (kWindows && (oldTree + newTree).contains("->"))
            QSKIP("symbolic links are not packaged on Windows");
        buildTree(m_old, oldTree);
        buildTree(m_new, newTree);
        const Tree oldBefore = snapshotTree(m_old);
        const QString check = options.takeLast();
        options += (options.contains("--full") ? QStringList() : QStringList{ m_old }) + QStringList{ m_new };
        const RunResult made = run("mkhpatch", options + QStringList{ m_pkg });
        QVERIFY2(made.exitCode == 0, made.output.constData());
        const RunResult r = run("hpatchz", { check, "-f", m_old, m_pkg, m_out });
        QVERIFY2(r.exitCode == 0, r.output.constData());
        QCOMPARE(treeDifferences(snapshot(m_new), snapshot(m_out)), QString());
        QCOMPARE(treeDifferences(oldBefore, snapshotTree(m_old)), QString());
        if (kWindows) { // a package made by the Windows build applies with the Linux one, and back
            QCOMPARE(run("mkhpatch", options + QStringList{ m_pkg + ".linux" }, true).exitCode, 0);
            const RunResult a = run("hpatchz", { check, m_old, m_pkg, m_out + ".linux" }, true);
            const RunResult b = run("hpatchz", { check, m_old, m_pkg + ".linux", m_out + ".win" });
            QVERIFY2(a.exitCode == 0 && b.exitCode == 0, a.output + b.output);
            QCOMPARE(treeDifferences(snapshot(m_new), snapshot(m_out + ".linux")), QString());
            QCOMPARE(treeDifferences(snapshot(m_new), snapshot(m_out + ".win")), QString());
        }
        // What a delta is for: unchanged, moved and slightly edited data cost next to nothing.
        QVERIFY2(maxPackage == 0 || QFileInfo(m_pkg).size() <= maxPackage, QByteArray::number(QFileInfo(m_pkg).size()));
    }

    void hostilePackage_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<int>("exitCode");
        for (const QString &mutation : kMutations)
            QTest::newRow(qPrintable(mutation)) << mutation << QStringList() << 2;
        QTest::newRow("manifest bomb") << "bomb" << QStringList() << 2;
        QTest::newRow("two million deltas of one old file") << "deltas" << QStringList() << 2;
        // Each path of 4 KB below one of these names implies 2,000 directories of 2 KB on average.
        QStringList tops;
        for (int i = 0; i < 64; ++i)
            tops << QString("p%1").arg(i);
        QTest::newRow("deep paths") << "deep" << tops << 2;
        QTest::newRow("deep paths, refused at the end") << "deep clash" << QStringList{ "a", "b", "A" } << 2;
        QTest::newRow("larger than the disk") << "oversized" << QStringList{ "huge.bin" } << 4;
        QTest::newRow("more bytes than declared") << "longer" << QStringList{ "a.txt" } << 2;
        QTest::newRow("fewer bytes than declared") << "shorter" << QStringList{ "a.txt" } << 2;
        // Names; those that can stand in a tree on this disk must be refused by the maker alike.
        const QList<QPair<QString, QStringList>> names = {
            { "dot dot", { "../evil.txt" } },
            { "dot dot inside", { "a/../../evil.txt" } },
            { "absolute", { "/tmp/hpatch-evil.txt" } },
            { "drive", { "C:/evil.txt" } },
            { "backslash", { "..\\evil.txt" } },
            { "empty part", { "a//b.txt" } },
            { "two entries", { "same.txt", "same.txt" } },
            { "file and directory", { "same", "same/" } },
            { "file below a file", { "a", "a/b.txt" } },
            { "file below a link", { "a->/tmp", "a/hpatch-evil.txt" } },
            { "300-character name", { QString(300, 'n') } },
            { "not UTF-8", { QString::fromLatin1("caf\xe9.txt") } },
            { "disk: con", { "con" } },
            { "disk: AUX.txt", { "dir/AUX.txt" } },
            { "disk: lpt1 with extension", { "lpt1.tar.gz" } },
            { "disk: com9", { "com9" } },
            { "disk: nul directory", { "Nul/x.txt" } },
            { "disk: trailing dot", { "name." } },
            { "disk: trailing space", { "dir /x" } },
            { "disk: colon", { "a:b" } },
            { "disk: star", { "a*b" } },
            { "disk: question mark", { "a?b" } },
            { "disk: pipe", { "a|b" } },
            { "disk: quote", { "a\"b" } },
            { "disk: angle bracket", { "a<b" } },
            { "disk: names differing in case", { "Read.me", "read.ME" } },
            { "disk: directories differing in case", { "Lib/a.js", "lib/b.js" } },
            { "disk: Cyrillic case", { "Файл", "файл" } },
        };
        for (const auto &n : names)
            QTest::newRow(qPrintable(n.first))
                    << (n.first.startsWith("disk") ? "disk names" : "names") << n.second << 2;
        QStringList links; // each text within the 4 KB of one, together beyond what a package may hold
        for (int i = 0; i < 4300; ++i)
            links << QString("l%1->").arg(i) + QString(4000, 'x');
        QTest::newRow("16 MiB of link texts") << "names" << links << 2;
    }

    void hostilePackage()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, paths);
        QFETCH(int, exitCode);
        hpatch::Manifest manifest;
        QByteArray stream;
        for (const QString &p : paths) {
            const QByteArray name = kind.startsWith("deep") ? p.toUtf8() + QByteArray("/d").repeated(2020) + "/f"
                    : p.contains(QChar(0xe9))      ? p.toLatin1()
                                                   : p.toUtf8();
            const QByteArray data = "payload of " + name;
            if (p.endsWith('/'))
                manifest.dirs.push_back({ name.chopped(1).toStdString(), 0755 });
            else if (p.contains("->"))
                manifest.links.push_back({ p.section("->", 0, 0).toStdString(), p.section("->", 1).toStdString() });
            else
                manifest.newFiles.push_back({ name.toStdString(), 0644,
                        kind == "oversized" ? uint64_t(1) << 60 : uint64_t(data.size() + (kind == "shorter") * 4),
                        XXH3_64bits(data.constData(), size_t(data.size())), hpatch::Kind::New, {} });
            stream += p.endsWith('/') || p.contains("->") ? "" : data + (kind == "longer" ? "more" : "");
        }
        std::string raw = hpatch::encodeManifest(manifest);
        if (kind == "bomb") { // 11 million old files claimed in 128 MiB of zeros: a package of a few KB
            raw.assign(2, '\0'); // no controls or differences frames
            hpatch::putVarint(raw, 11000000);
            raw.resize(128 << 20, '\0');
        }
        if (kind == "deltas") { // each delta takes the path of its old file "o": 7 bytes an entry
            const size_t n = 2000000;
            raw.assign(2, '\0');
            hpatch::putVarint(raw, 1);
            raw += std::string("\0o\0", 3) + std::string(1 + 1 + 8 + 8, '\0'); // check, flags, hashes
            hpatch::putVarint(raw, n);
            raw += std::string(2 * n, '\0') + std::string(n, char(hpatch::Kind::Delta));
            for (size_t i = 0; i < n; ++i)
                raw += std::string("\1\0", 2); // one reference, to old file 0
            raw += std::string(n + n + 8 + 1 + 1, '\0'); // sizes, checks, hash, no directories or links
        }
        QByteArray package = craftPackage(raw, stream);
        if (kMutations.contains(kind)) {
            buildTree(m_old, kOld);
            buildTree(m_new, kNew + ";plain.bin=rand:50000:20");
            QCOMPARE(run("mkhpatch", { m_old, m_new, m_pkg }, true).exitCode, 0);
            package = readFile(m_pkg);
            const int manifestEnd = int(hpatch::kHeaderSize + qFromLittleEndian<quint64>(package.constData() + 16));
            const int at = kind == "flipped manifest" ? manifestEnd - 3 : (manifestEnd + package.size()) / 2;
            package = kind == "truncated"     ? package.chopped(1)
                    : kind == "trailing byte" ? package + '\0'
                                              : package.replace(at, 1, QByteArray(1, char(package[at] ^ 0x10)));
        }
        QVERIFY(writeFile(m_pkg, package));
        expectRefused({ "-C-diff", "-f" }, exitCode, m_out);
        // Unchecked, a flipped byte of data may pass as data; the Windows build shares this code.
        if (kind != "flipped stream" && !kWindows)
            expectRefused({ "-C-no" }, exitCode, m_out);
        QVERIFY(!QFileInfo::exists("/tmp/hpatch-evil.txt") && !QFileInfo::exists(m_dir->filePath("evil.txt")));
        if ((kind == "bomb" || kind == "deltas" || kind == "oversized" || kind.startsWith("deep")) && !kWindows) {
            // Measured by the benchmark helper: a child of this big test process would inherit its peak.
            const RunResult r = run(
                    "hpatchbench", { "measure", QStringLiteral(SOLUPDATE_BIN_DIR "/hpatchz"), m_old, m_pkg, m_out });
            QVERIFY2(r.output.trimmed().split('\n').last().split(' ').value(1).toInt() < 24 * 1024,
                    r.output.constData());
        }
        // Such names cannot stand in a Windows tree; wine shows Linux ones under other names. 4,600
        // directories of 3.8 KB paths come to more path bytes than a package may hold.
        if ((kind == "disk names" || kind == "deep") && !kWindows) {
            QDir(m_new).removeRecursively();
            if (kind == "deep") {
                const QString deep = m_new + QString("/" + QString(250, 'd')).repeated(15) + "/";
                for (int i = 0; i < 4600; ++i)
                    QVERIFY(QDir().mkpath(deep + QString::number(i)));
            } else {
                buildTree(m_new, paths.join("=text:3:1;") + "=text:3:1");
            }
            const RunResult made = run("mkhpatch", { m_old, m_new, m_pkg + "2" });
            QVERIFY2(made.exitCode == 2 && made.output.startsWith("mkhpatch: error: "), made.output.constData());
            QVERIFY(!QFileInfo::exists(m_pkg + "2"));
        }
    }

    void refusedApply_data()
    {
        QTest::addColumn<QString>("change"); // what happens to the old tree or to the output directory
        QTest::addColumn<int>("exitCode");
        QTest::newRow("a deleted file is missing") << "missing removed.bin" << 0;
        QTest::newRow("another program holds changed.txt") << "locked changed.txt" << 4;
        for (const char *file : { "same.txt", "changed.txt" }) {
            for (const char *change : { "missing", "shorter", "other bytes in", "directory instead of" })
                QTest::newRow(qPrintable(QString("%1 %2").arg(change, file)))
                        << QString("%1 %2").arg(change, file) << 3;
        }
        QTest::newRow("out is old") << "out old" << 1;
        QTest::newRow("out is old by a dotted path") << "out old/../old/." << 1;
        QTest::newRow("out inside old through a link") << "out link/out" << 1;
        QTest::newRow("out exists without -f") << "out 新 out" << 1;
        QTest::newRow("out not empty") << "out 新 out/keep.txt" << 1;
    }

    void refusedApply()
    {
        QFETCH(QString, change);
        QFETCH(int, exitCode);
        buildTree(m_old, kOld);
        buildTree(m_new, kNew);
        QCOMPARE(run("mkhpatch", { m_old, m_new, m_pkg }, true).exitCode, 0);
        const QString path = m_old + "/" + change.section(' ', -1);
        QByteArray data = readFile(path);
        if (!data.isEmpty())
            data[data.size() / 2] = char(data[data.size() / 2] ^ 1);
        QVERIFY(change.startsWith("out") || change.startsWith("locked") || QFile::remove(path));
        if (change.startsWith("shorter") || change.startsWith("other"))
            QVERIFY(writeFile(path, change.startsWith("shorter") ? data.chopped(1) : data));
        QVERIFY(!change.startsWith("directory") || QDir().mkpath(path));
        QVERIFY(!change.startsWith("out link") || QFile::link(m_old + "/sub", m_dir->filePath("link")));
        QVERIFY(!change.startsWith("out 新 out") || QDir().mkpath(m_out));
        QVERIFY(!change.endsWith("keep.txt") || writeFile(m_out + "/keep.txt", "keep"));
        const QString out = change.startsWith("out") ? m_dir->filePath(change.mid(4)) : m_out;
        struct Holder : QProcess
        {
            ~Holder() { closeWriteChannel(), waitForFinished(); }
        } holder;
        if (change.startsWith("locked")) {
            if (!kWindows)
                QSKIP("only Windows programs lock files against each other");
            holder.start(kRunner, { qEnvironmentVariable("HPATCH_TOOL_DIR") + "/holdfile.exe", windowsPath(path) });
            QVERIFY(holder.waitForReadyRead(60000) && holder.readAll().startsWith("held"));
        }
        // The Windows build runs the level the updater uses, the code of the others being shared.
        for (const QString &check : kWindows ? QStringList{ "-C-diff" } : QStringList{ "-C-diff", "-C-all" }) {
            if (exitCode != 0) {
                expectRefused(
                        change == "out 新 out" ? QStringList{ check } : QStringList{ check, "-f" }, exitCode, out);
                QVERIFY(exitCode == 1 || m_output.contains(change.section(' ', -1).toUtf8()));
                continue;
            }
            QDir(m_out).removeRecursively();
            QCOMPARE(run("hpatchz", { check, m_old, m_pkg, m_out }).exitCode, 0);
            QCOMPARE(treeDifferences(snapshot(m_new), snapshot(m_out)), QString());
        }
    }

    // The declared sizes fit, but each tiny file takes a page of the small file system: the disk
    // fills while writing, and what was written is removed again.
    void fullDisk()
    {
        const QString mountPoint = m_dir->filePath("small");
        QVERIFY(QDir().mkpath(mountPoint));
        if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("cannot mount a small tmpfs here (needs root)");
        struct Unmount
        {
            QString path;
            ~Unmount() { ::umount2(QFile::encodeName(path).constData(), MNT_DETACH); }
        } unmount{ mountPoint };
        for (int i = 0; i < 400; ++i)
            QVERIFY(writeFile(m_new + QString("/f%1.txt").arg(i), QByteArray::number(i)));
        QCOMPARE(run("mkhpatch", { "--full", m_new, m_pkg }, true).exitCode, 0);
        expectRefused({}, hpatch::ExitIoError, mountPoint + "/out");
    }

    // However little memory the system gives, the tree is applied or the run ends with exit code 4
    // and leaves nothing: never a crash, and never the package (2) or the old tree (3) blamed.
    void memoryLimit()
    {
        if (kWindows)
            QSKIP("the address space is limited with ulimit, on Linux");
        buildTree(m_old, kOld + ";big.bin=rand:3000000:5");
        buildTree(m_new, kNew + ";big.bin=edit:3000000:5");
        QCOMPARE(run("mkhpatch", { m_old, m_new, m_pkg }).exitCode, 0);
        QSet<int> seen;
        // Below 8 MiB the C++ runtime itself runs short: about 6.6 MiB leaves it no room for the
        // exception it would throw, and it aborts.
        for (int mib = 8; mib <= 40; ++mib) {
            QDir(m_out).removeRecursively();
            const RunResult r = run("/bin/sh", { "-c", QString("ulimit -v %1; exec \"$0\" \"$@\"").arg(mib << 10),
                    QStringLiteral(SOLUPDATE_BIN_DIR "/hpatchz"), m_old, m_pkg, m_out });
            seen.insert(r.exitCode);
            const bool applied = r.exitCode == 0 && treeDifferences(snapshot(m_new), snapshot(m_out)).isEmpty();
            const bool refused = r.exitCode == 4 && r.output == "hpatchz: error: out of memory\n";
            QVERIFY2(applied || (refused && !QFileInfo::exists(m_out)),
                    qPrintable(QString("%1 MiB: exit code %2: %3").arg(mib).arg(r.exitCode).arg(QString(r.output))));
        }
        QVERIFY(seen.contains(0) && seen.contains(hpatch::ExitIoError));
    }

    // Packages the makers of older formats wrote (copies, a delta, new bytes, a link, modes) still apply.
    void olderFormat_data()
    {
        QTest::addColumn<QString>("package");
        for (const char *format : { "format3", "format4", "format5" })
            QTest::newRow(format) << QStringLiteral(SOLUPDATE_SOURCE_DIR "/tests/hpatch/data/%1.pkg").arg(format);
    }

    void olderFormat()
    {
        QFETCH(QString, package);
        buildTree(m_old, "same.txt=text:50:1;changed.txt=text:400:1;gone.bin=rand:500:3;moved.bin=rand:900:9");
        buildTree(m_new, "same.txt=text:50:1;changed.txt=text:420:2;to/moved.bin=rand:900:9;added.bin=rand:300:4;"
                         "run.sh=text:3:1+x;empty/;ln=->same.txt");
        const RunResult r = run("hpatchz", { "-C-all", m_old, package, m_out });
        QVERIFY2(r.exitCode == 0, r.output.constData());
        QCOMPARE(treeDifferences(snapshot(m_new), snapshot(m_out)), QString());
    }

    // Sizes and offsets above 4 GiB, with marks on both sides of the 32-bit boundary of a sparse file.
    void fileLargerThan4GiB()
    {
        const qint64 size = (qint64(4) << 30) + 123457;
        const QList<qint64> marks{ 0, (qint64(4) << 30) - 3, (qint64(4) << 30) + 5, size - 8 };
        QFile big(m_new + "/huge.img");
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(size));
        for (qint64 at : marks)
            QVERIFY(big.seek(at) && big.write("MARKMARK") == 8);
        big.close();
        QCOMPARE(run("mkhpatch", { "--full", "--level", "3", m_new, m_pkg }).exitCode, 0);
        QVERIFY(QFileInfo(m_pkg).size() < 4 * 1024 * 1024);
        QCOMPARE(run("hpatchz", { m_old, m_pkg, m_out }).exitCode, 0);
        QFile result(m_out + "/huge.img");
        QVERIFY(result.size() == size && result.open(QIODevice::ReadOnly));
        for (qint64 at : marks)
            QVERIFY(result.seek(at) && result.read(8) == "MARKMARK");
    }
};

QTEST_GUILESS_MAIN(TestHpatch)
#include "tst_hpatch.moc"
