#include "common/testenv.h"
#include "utility/fileutils.h"

#include <QDateTime>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using Tree = QMap<QString, QByteArray>;

class TestFileUtils : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void copyTree_data();
    void copyTree();
    void copyOverUnremovableTarget_data();
    void copyOverUnremovableTarget();
    void copyOverLockedTarget_data();
    void copyOverLockedTarget();
    void copyModeTwoLeavesForeignBackupName();
    void copyRefusesUnknownMode();
    void copySkipsNamedTopLevelFiles();
    void copyStopsAtLoopsAndItself();
    void copyKeepsModeAndTime();

    void renameBackupFilesRoundTrip();
    void renameBackupFilesMissingDirectory();
    void clearDirectory();
    void deleteDirectory_data();
    void deleteDirectory();
    void removeFile();
    void createDesktopShortcut_data();
    void createDesktopShortcut();

private:
    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    static void writeTree(const QString &root, const Tree &tree);
    static Tree readTree(const QString &root);
    // Makes path impossible to remove, rename or (for a directory) add to, also for root, where
    // permission bits do not count. false when this machine offers no way to do so.
    bool lock(const QString &path);

    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_locked;
};

// The source tree the copy tests start from: hidden entries at several levels, a file larger
// than one copy chunk, an empty directory, a name that sorts before and after a locked one.
static Tree sourceTree()
{
    QByteArray big(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char((i * 131) >> 3);
    return {
        { "a.txt", "new a" },
        { "client.exe", "new client" },
        { "sub/b.bin", big },
        { "sub/deeper/c.txt", "new c" },
        { "sub/.hidden_in_sub", "hidden" },
        { ".hidden", "hidden" },
        { ".hiddendir/x.txt", "hidden" },
        { "zz_last.txt", "new last" },
    };
}

static Tree visibleOnly(const Tree &tree)
{
    Tree visible;
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (!it.key().startsWith(QLatin1Char('.')) && !it.key().contains(QLatin1String("/.")))
            visible.insert(it.key(), it.value());
    }
    return visible;
}

void TestFileUtils::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestFileUtils::cleanup()
{
    for (const QString &locked : qAsConst(m_locked)) {
        if (::geteuid() == 0)
            QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), locked });
        else
            QFile::setPermissions(locked, QFile::permissions(locked) | QFileDevice::WriteOwner);
    }
    m_locked.clear();
    m_dir.reset();
}

void TestFileUtils::writeTree(const QString &root, const Tree &tree)
{
    for (auto it = tree.begin(); it != tree.end(); ++it)
        QVERIFY(testsupport::writeFile(root + QLatin1Char('/') + it.key(), it.value()));
}

Tree TestFileUtils::readTree(const QString &root)
{
    Tree tree;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        tree.insert(QDir(root).relativeFilePath(file), testsupport::readFile(file));
    }
    return tree;
}

bool TestFileUtils::lock(const QString &target)
{
    if (::geteuid() == 0) {
        if (QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), target }) != 0)
            return false;
    } else {
        const QString dir = QFileInfo(target).isDir() ? target : QFileInfo(target).absolutePath();
        if (!QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner))
            return false;
        m_locked << dir;
        return true;
    }
    m_locked << target;
    return true;
}

void TestFileUtils::copyTree_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("cover");
    QTest::addColumn<bool>("targetHasOldFiles");
    QTest::addColumn<QString>("expectation"); // "new", "old kept", "old kept, staged copy beside"

    QTest::newRow("mode 1, missing target") << 1 << true << false << "new";
    QTest::newRow("mode 2, missing target") << 2 << true << false << "new";
    QTest::newRow("mode 1, no cover, missing target") << 1 << false << false << "new";
    QTest::newRow("mode 1, cover over old") << 1 << true << true << "new";
    QTest::newRow("mode 2, cover over old") << 2 << true << true << "new";
    QTest::newRow("mode 1, no cover over old") << 1 << false << true << "old kept";
    QTest::newRow("mode 2, no cover over old") << 2 << false << true << "old kept, staged copy beside";
}

void TestFileUtils::copyTree()
{
    QFETCH(int, mode);
    QFETCH(bool, cover);
    QFETCH(bool, targetHasOldFiles);
    QFETCH(QString, expectation);

    const QString from = path("from");
    const QString to = path("missing/parents/to");
    writeTree(from, sourceTree());
    QVERIFY(QDir().mkpath(from + "/emptydir"));
    const Tree old = { { "a.txt", "old a" }, { "sub/deeper/c.txt", "old c" }, { "only_in_target.txt", "keep" } };
    if (targetHasOldFiles)
        writeTree(to, old);

    QVERIFY(utility::copyDirectoryFiles(from, to, cover, mode));

    Tree expected = visibleOnly(sourceTree());
    if (targetHasOldFiles) {
        expected.insert("only_in_target.txt", "keep");
        if (expectation != QLatin1String("new")) {
            expected.insert("a.txt", "old a");
            expected.insert("sub/deeper/c.txt", "old c");
        }
        if (expectation == QLatin1String("old kept, staged copy beside")) {
            expected.insert("a.txt.backup", "new a");
            expected.insert("sub/deeper/c.txt.backup", "new c");
        }
    }
    QCOMPARE(readTree(to), expected);
    QVERIFY(QFileInfo(to + "/emptydir").isDir());
    QVERIFY(!QFileInfo::exists(to + "/.hiddendir"));
}

void TestFileUtils::copyOverUnremovableTarget_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("mode 1") << 1;
    QTest::newRow("mode 2") << 2;
}

// A target that cannot be removed but can be renamed, as a running program on Windows: a
// non-empty directory under the file's name stands in for it here.
void TestFileUtils::copyOverUnremovableTarget()
{
    QFETCH(int, mode);
    const QString from = path("from");
    const QString to = path("to");
    writeTree(from, sourceTree());
    writeTree(to, { { "client.exe/in_use", "old" } });

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    QVERIFY(utility::copyDirectoryFiles(from, to, true, mode));
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    QCOMPARE(testsupport::readFile(to + "/client.exe"), QByteArray("new client"));
    const QStringList aside = QDir(to).entryList({ "client.exe.old.*" }, QDir::AllEntries);
    QCOMPARE(aside.size(), 1);
    const QRegularExpressionMatch match
        = QRegularExpression("^client\\.exe\\.old\\.(\\d{14})$").match(aside.first());
    QVERIFY2(match.hasMatch(), qPrintable(aside.first()));
    const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyyMMddhhmmss");
    QVERIFY(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after);
    QCOMPARE(testsupport::readFile(to + "/" + aside.first() + "/in_use"), QByteArray("old"));
}

void TestFileUtils::copyOverLockedTarget_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("cover");
    QTest::addColumn<bool>("lockDirectory");
    QTest::addColumn<bool>("expected");
    for (int mode : { 1, 2 }) {
        QTest::addRow("mode %d, cover, locked file", mode) << mode << true << false << false;
        QTest::addRow("mode %d, cover, locked directory", mode) << mode << true << true << false;
        QTest::addRow("mode %d, no cover, locked file", mode) << mode << false << false << true;
    }
}

// A target that can be neither removed nor renamed: with cover the copy reports it, still copies
// the rest of the tree, and leaves the old file as it was.
void TestFileUtils::copyOverLockedTarget()
{
    QFETCH(int, mode);
    QFETCH(bool, cover);
    QFETCH(bool, lockDirectory);
    QFETCH(bool, expected);

    const QString from = path("from");
    const QString to = path("to");
    Tree source = sourceTree();
    source.insert("m_locked/client.dll", "new dll");
    writeTree(from, source);
    writeTree(to, { { "m_locked/client.dll", "old dll" } });
    const QString locked = to + (lockDirectory ? "/m_locked" : "/m_locked/client.dll");
    if (!lock(locked))
        QSKIP("neither chattr +i nor a read-only directory can stop removal on this machine");
    QFile probe(to + "/m_locked/client.dll");
    if (probe.remove() || probe.rename(to + "/m_locked/probe")) {
        QSKIP("the locked file can still be removed or renamed here (file system without "
              "immutable files?)");
    }

    QCOMPARE(utility::copyDirectoryFiles(from, to, cover, mode), expected);

    Tree want = visibleOnly(sourceTree());
    want.insert("m_locked/client.dll", "old dll");
    // In mode 2 the staged copy stays beside a file that could not be replaced.
    if (mode == 2 && !lockDirectory)
        want.insert("m_locked/client.dll.backup", "new dll");
    QCOMPARE(readTree(to), want);
}

// A ".backup" name already taken in the target is not moved into place as if it were the copy.
void TestFileUtils::copyModeTwoLeavesForeignBackupName()
{
    const QString from = path("from");
    const QString to = path("to");
    writeTree(from, sourceTree());
    writeTree(to, { { "a.txt.backup", "stale" } });
    QVERIFY(!utility::copyDirectoryFiles(from, to, true, 2));
    Tree want = visibleOnly(sourceTree());
    want.remove("a.txt");
    want.insert("a.txt.backup", "stale");
    QCOMPARE(readTree(to), want);
}

void TestFileUtils::copyRefusesUnknownMode()
{
    writeTree(path("from"), sourceTree());
    QVERIFY(!utility::copyDirectoryFiles(path("from"), path("to"), true, 3));
    QCOMPARE(readTree(path("to")), Tree());
}

// Only files directly in the source are skipped by name; the same name deeper down is copied.
void TestFileUtils::copySkipsNamedTopLevelFiles()
{
    Tree tree = sourceTree();
    tree.insert("sub/client.exe", "nested client");
    writeTree(path("from"), tree);
    QVERIFY(utility::copyDirectoryFiles(path("from"), path("to"), true, 2, { "client.exe", "not-there" }));
    Tree want = visibleOnly(tree);
    want.remove("client.exe");
    QCOMPARE(readTree(path("to")), want);
}

// A link back up the tree, and a target inside the source, end instead of copying forever.
void TestFileUtils::copyStopsAtLoopsAndItself()
{
    const QString from = path("from");
    writeTree(from, sourceTree());
    QVERIFY(QFile::link(from, from + "/sub/loop"));
    const QString to = from + "/backup";
    QVERIFY(utility::copyDirectoryFiles(from, to, true, 1));
    Tree want = visibleOnly(sourceTree());
    QCOMPARE(readTree(to), want);
    QVERIFY(!QFileInfo::exists(to + "/backup"));
}

void TestFileUtils::copyKeepsModeAndTime()
{
    const QString from = path("from");
    writeTree(from, { { "run.sh", "#!/bin/sh\n" } });
    const QString file = from + "/run.sh";
    const QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
        | QFileDevice::ReadGroup;
    QVERIFY(QFile::setPermissions(file, permissions));
    const QDateTime time = QDateTime::fromSecsSinceEpoch(1500000000);
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(time, QFileDevice::FileModificationTime));
    }
    QVERIFY(utility::copyDirectoryFiles(from, path("to"), true, 2));
    const QFileInfo copy(path("to/run.sh"));
    QCOMPARE(copy.permissions(), permissions);
    QCOMPARE(copy.lastModified(), time);
}

void TestFileUtils::renameBackupFilesRoundTrip()
{
    const QString root = path("install");
    const Tree tree = {
        { "client.exe", "1" }, { "x.backup", "2" }, { "sub/lib.dll", "4" },
        { "sub/deeper/data.BACKUP", "5" }, { ".hidden", "6" }, { "sub/.hidden.backup", "7" },
    };
    writeTree(root, tree);
    writeTree(path("outside"), { { "elsewhere.txt", "8" } });
    QVERIFY(QFile::link(path("outside"), root + "/linked"));

    QVERIFY(utility::renameBackupFiles(root, true));
    const Tree added = {
        { "client.exe.backup", "1" }, { "x.backup.backup", "2" },
        { "sub/lib.dll.backup", "4" }, { "sub/deeper/data.BACKUP.backup", "5" }, { ".hidden", "6" },
        { "sub/.hidden.backup", "7" },
    };
    QCOMPARE(readTree(root), added);

    QVERIFY(utility::renameBackupFiles(root, false));
    Tree restored = tree;
    QCOMPARE(readTree(root), restored);

    // Stripping again takes the suffix off what was "x.backup" at the start, and nothing else.
    QVERIFY(utility::renameBackupFiles(root, false));
    restored.remove("x.backup");
    restored.insert("x", "2");
    QCOMPARE(readTree(root), restored);

    // A plain name that is taken blocks the strip; both files stay.
    writeTree(root, { { "y", "9" }, { "y.backup", "10" } });
    QVERIFY(utility::renameBackupFiles(root, false));
    restored.insert("y", "9");
    restored.insert("y.backup", "10");
    QCOMPARE(readTree(root), restored);
    QCOMPARE(readTree(path("outside")), Tree({ { "elsewhere.txt", "8" } }));
}

void TestFileUtils::renameBackupFilesMissingDirectory()
{
    QVERIFY(utility::renameBackupFiles(path("missing"), true));
    QVERIFY(utility::renameBackupFiles(path("missing"), false));
}

void TestFileUtils::clearDirectory()
{
    const QString root = path("install");
    writeTree(root, { { "a", "1" }, { "sub/b", "2" }, { "sub/.hidden", "3" }, { ".hidden", "4" },
                      { ".hiddendir/c", "5" } });
    QVERIFY(QDir().mkpath(root + "/empty"));
    writeTree(path("outside"), { { "keep", "6" } });
    QVERIFY(QFile::link(path("outside"), root + "/linked"));

    utility::clearDirectory(root);
    QCOMPARE(readTree(root), Tree({ { ".hidden", "4" }, { ".hiddendir/c", "5" } }));
    QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(readTree(path("outside")), Tree({ { "keep", "6" } }));
}

void TestFileUtils::deleteDirectory_data()
{
    QTest::addColumn<Tree>("tree");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<Tree>("left");
    QTest::newRow("plain tree") << Tree({ { "a", "1" }, { "sub/deeper/b", "2" } }) << true << Tree();
    QTest::newRow("hidden file at the top") << Tree({ { "a", "1" }, { ".hidden", "2" }, { "sub/b", "3" } })
                                            << false << Tree({ { ".hidden", "2" } });
    QTest::newRow("hidden file below") << Tree({ { "a", "1" }, { "sub/.hidden", "2" } }) << false
                                       << Tree({ { "sub/.hidden", "2" } });
}

void TestFileUtils::deleteDirectory()
{
    QFETCH(Tree, tree);
    QFETCH(bool, expected);
    QFETCH(Tree, left);
    const QString root = path("backup");
    writeTree(root, tree);
    writeTree(path("outside"), { { "keep", "6" } });
    QVERIFY(QFile::link(path("outside"), root + "/linked"));

    QCOMPARE(utility::deleteDirectory(root), expected);
    QCOMPARE(QFileInfo::exists(root), !expected);
    if (!expected)
        QCOMPARE(readTree(root), left);
    QCOMPARE(readTree(path("outside")), Tree({ { "keep", "6" } }));

    QVERIFY(!utility::deleteDirectory(QString()));
    QVERIFY(utility::deleteDirectory(path("never_there")));
}

void TestFileUtils::removeFile()
{
    QVERIFY(testsupport::writeFile(path("f"), "x"));
    QVERIFY(!utility::removeFile(QString()));
    QVERIFY(utility::removeFile(path("f")));
    QVERIFY(!QFileInfo::exists(path("f")));
    QVERIFY(!utility::removeFile(path("f")));
}

void TestFileUtils::createDesktopShortcut_data()
{
    QTest::addColumn<QString>("home");
    QTest::addColumn<bool>("oldLink");
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("fresh") << "home/alice" << false << true;
    QTest::newRow("replaces a link of the same name") << "home/alice" << true << true;
    QTest::newRow("target missing") << "home/alice" << false << false;
    QTest::newRow("Windows-like profile with a public desktop") << "C/Users/alice" << true << true;
}

void TestFileUtils::createDesktopShortcut()
{
    QFETCH(QString, home);
    QFETCH(bool, oldLink);
    QFETCH(bool, targetExists);

    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(path(home)));
    const auto restoreHome = qScopeGuard([&] { qputenv("HOME", savedHome); });
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    QVERIFY2(desktop.startsWith(path(home)), qPrintable(desktop));
    QVERIFY(QDir().mkpath(desktop));

    const QString target = path("install/Client.exe");
    if (targetExists)
        QVERIFY(testsupport::writeFile(target, "client"));
    const QString publicLink = path("C/Users/Public/Desktop/Client.lnk");
    QVERIFY(testsupport::writeFile(publicLink, "public"));
    if (oldLink)
        QVERIFY(QFile::link(path("gone/Old.exe"), desktop + "/Client.lnk"));

    const bool created = utility::createDesktopShortcut(target, "Client.lnk");
    QCOMPARE(created, targetExists);
    const QFileInfo link(desktop + "/Client.lnk");
    if (targetExists) {
        QVERIFY(link.isSymLink());
        QCOMPARE(link.symLinkTarget(), QFileInfo(target).absoluteFilePath());
    } else {
        QCOMPARE(link.isSymLink(), oldLink);
    }
    const bool publicRemoved = targetExists && home.contains("/Users/");
    QCOMPARE(QFileInfo::exists(publicLink), !publicRemoved);
}

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
