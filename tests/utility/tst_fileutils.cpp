#include "common/testenv.h"
#include "upgrade/treecompare.h"
#include "utility/fileutils.h"

#include <QDateTime>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using utility::CopyMode;
// Relative path -> content; a path ending in "/" is an empty directory, content starting with
// "#!" makes an executable.
using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(CopyMode)

// Hidden entries at several levels, a file larger than one copy chunk, an executable, an empty
// directory.
static Files sourceTree()
{
    QByteArray big(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char((i * 131) >> 3);
    return { { "a.txt", "new a" },        { "client.exe", "#!new client" }, { "sub/b.bin", big },
             { "sub/deeper/c.txt", "new c" }, { "sub/client.exe", "nested" }, { "sub/.hidden_in_sub", "h" },
             { ".hidden", "h" },           { ".hiddendir/x.txt", "h" },  { "emptydir/", {} } };
}

static Files visible(Files files)
{
    for (const QString &key : files.keys()) {
        if (key.startsWith('.') || key.contains("/."))
            files.remove(key);
    }
    return files;
}

static Files merged(Files files, const Files &more)
{
    for (auto it = more.begin(); it != more.end(); ++it)
        files.insert(it.key(), it.value());
    return files;
}

class TestFileUtils : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_dir.reset(new QTemporaryDir); }
    void cleanup()
    {
        if (!m_immutable.isEmpty())
            QProcess::execute("chattr", { "-i", m_immutable });
        m_immutable.clear();
        m_dir.reset();
    }

    void copy_data()
    {
        QTest::addColumn<CopyMode>("mode");
        QTest::addColumn<bool>("cover");
        QTest::addColumn<Files>("before"); // the target before the copy
        QTest::addColumn<QStringList>("skipped");
        QTest::addColumn<bool>("result");
        QTest::addColumn<Files>("after");

        const Files source = visible(sourceTree());
        const Files old = { { "a.txt", "old a" }, { "sub/deeper/c.txt", "old c" }, { "only_in_target.txt", "keep" } };
        const Files keptOld = merged(source, old);
        const Files covered = merged(source, { { "only_in_target.txt", "keep" } });
        Files withoutClient = source;
        withoutClient.remove("client.exe");
        for (CopyMode mode : { CopyMode::Plain, CopyMode::WithBackupSuffix }) {
            const char *m = mode == CopyMode::Plain ? "plain" : "suffix";
            QTest::addRow("%s, missing target", m) << mode << true << Files() << QStringList() << true << source;
            QTest::addRow("%s, cover over old", m) << mode << true << old << QStringList() << true << covered;
            // Only files directly in the source are skipped; the same name deeper down is copied.
            QTest::addRow("%s, skipped top-level file", m)
                << mode << true << Files() << QStringList{ "client.exe", "sub", "absent" } << true << withoutClient;
        }
        QTest::newRow("plain, no cover over old: old kept") << CopyMode::Plain << false << old << QStringList() << true
                                                             << keptOld;
        QTest::newRow("suffix, no cover over old: copy staged beside")
            << CopyMode::WithBackupSuffix << false << old << QStringList() << true
            << merged(keptOld, { { "a.txt.backup", "new a" }, { "sub/deeper/c.txt.backup", "new c" } });
        // A ".backup" name already taken is not moved into place as if it were the copy.
        Files stale = source;
        stale.remove("a.txt");
        stale.insert("a.txt.backup", "stale");
        QTest::newRow("suffix, foreign .backup name")
            << CopyMode::WithBackupSuffix << true << Files{ { "a.txt.backup", "stale" } } << QStringList() << false
            << stale;
    }

    void copy()
    {
        QFETCH(CopyMode, mode);
        QFETCH(bool, cover);
        QFETCH(Files, before);
        QFETCH(QStringList, skipped);
        QFETCH(bool, result);
        QFETCH(Files, after);
        const QString to = path("missing/parents/to");
        write(path("from"), sourceTree());
        if (!before.isEmpty())
            write(to, before);
        QCOMPARE(utility::copyDirectoryFiles(path("from"), to, cover, mode, skipped), result);
        QCOMPARE(differences(to, after), QString());
    }

    void copyOverBlockedFile_data()
    {
        QTest::addColumn<CopyMode>("mode");
        QTest::addColumn<bool>("cover");
        QTest::addColumn<bool>("result");
        QTest::addColumn<Files>("left"); // besides the rest of the source tree; STAMP: the time of the copy
        // In use: removal fails but renaming works, as for a running program on Windows.
        for (CopyMode mode : { CopyMode::Plain, CopyMode::WithBackupSuffix }) {
            QTest::addRow("in use, mode %d", int(mode)) << mode << true << true
                                                        << Files{ { "client.exe.old.STAMP/in_use", "old" } };
        }
        // Immutable: neither removal nor renaming works. The copy reports it and still copies the rest.
        QTest::newRow("immutable, plain") << CopyMode::Plain << true << false << Files{ { "client.exe", "old" } };
        QTest::newRow("immutable, suffix: staged copy stays beside")
            << CopyMode::WithBackupSuffix << true << false
            << Files{ { "client.exe", "old" }, { "client.exe.backup", "#!new client" } };
        QTest::newRow("immutable, no cover") << CopyMode::Plain << false << true << Files{ { "client.exe", "old" } };
    }

    void copyOverBlockedFile()
    {
        QFETCH(CopyMode, mode);
        QFETCH(bool, cover);
        QFETCH(bool, result);
        QFETCH(Files, left);
        write(path("from"), sourceTree());
        const bool inUse = QByteArray(QTest::currentDataTag()).startsWith("in use");
        // A non-empty directory under the file's name cannot be removed but can be renamed.
        write(path("to"), { { inUse ? "client.exe/in_use" : "client.exe", "old" } });
        if (!inUse && (::geteuid() != 0 || QProcess::execute("chattr", { "+i", path("to/client.exe") }) != 0))
            QSKIP("needs root and a file system with immutable files");
        m_immutable = inUse ? QString() : path("to/client.exe");
        const QString before = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
        QCOMPARE(utility::copyDirectoryFiles(path("from"), path("to"), cover, mode), result);
        const QString stamp = QDir(path("to")).entryList({ "client.exe.old.*" }, QDir::AllEntries).value(0).mid(15);
        QVERIFY(stamp.isEmpty() || (stamp >= before && stamp <= QDateTime::currentDateTime().toString("yyyyMMddhhmmss")));
        Files want = visible(sourceTree());
        for (auto it = left.begin(); it != left.end(); ++it)
            want.insert(QString(it.key()).replace("STAMP", stamp), it.value());
        QCOMPARE(differences(path("to"), want), QString());
    }

    // A link back up the tree, and a target inside the source, end instead of copying forever.
    void copyStopsAtLoopsAndItself()
    {
        write(path("from"), sourceTree());
        QVERIFY(QFile::link(path("from"), path("from/sub/loop")));
        QVERIFY(utility::copyDirectoryFiles(path("from"), path("from/backup"), true, CopyMode::Plain));
        QCOMPARE(differences(path("from/backup"), merged(visible(sourceTree()), { { "sub/loop/", {} } })), QString());
    }

    void renameBackupFilesRoundTrip()
    {
        const Files tree = { { "client.exe", "1" }, { "x.backup", "2" }, { "sub/deeper/data.BACKUP", "3" },
                             { ".hidden", "4" }, { "sub/.hidden.backup", "5" } };
        write(path("install"), tree);
        write(path("outside"), { { "elsewhere.txt", "6" } });
        QVERIFY(QFile::link(path("outside"), path("install/linked")));
        QVERIFY(utility::renameBackupFiles(path("install"), true));
        QCOMPARE(differences(path("outside"), { { "elsewhere.txt", "6" } }), QString());
        QVERIFY(QFile::remove(path("install/linked")));
        QCOMPARE(differences(path("install"), { { "client.exe.backup", "1" }, { "x.backup.backup", "2" },
                                                { "sub/deeper/data.BACKUP.backup", "3" }, { ".hidden", "4" },
                                                { "sub/.hidden.backup", "5" } }),
                 QString());
        QVERIFY(utility::renameBackupFiles(path("install"), false));
        QCOMPARE(differences(path("install"), tree), QString());
        // Stripping again takes the suffix off what was "x.backup" at the start, and nothing else.
        QVERIFY(utility::renameBackupFiles(path("install"), false));
        Files stripped = tree;
        stripped.remove("x.backup");
        stripped.insert("x", "2");
        QCOMPARE(differences(path("install"), stripped), QString());
        QVERIFY(utility::renameBackupFiles(path("missing"), true));
    }

    void removal_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<Files>("tree");
        QTest::addColumn<bool>("result");
        QTest::addColumn<Files>("left"); // nothing left for a delete that succeeds
        const Files plain = { { "a", "1" }, { "sub/deeper/b", "2" }, { "empty/", {} } };
        QTest::newRow("clear keeps top-level hidden entries")
            << "clear" << merged(plain, { { ".hidden", "3" }, { ".hiddendir/c", "4" }, { "sub/.h", "5" } }) << true
            << Files{ { ".hidden", "3" }, { ".hiddendir/c", "4" } };
        QTest::newRow("delete plain tree") << "delete" << plain << true << Files();
        QTest::newRow("delete with hidden file on top")
            << "delete" << merged(plain, { { ".hidden", "3" } }) << false << Files{ { ".hidden", "3" } };
        QTest::newRow("delete with hidden file below")
            << "delete" << merged(plain, { { "sub/.hidden", "3" } }) << false << Files{ { "sub/", {} }, { "sub/.hidden", "3" } };
    }

    // Nothing outside the tree is touched, not even through a link inside it.
    void removal()
    {
        QFETCH(QString, operation);
        QFETCH(bool, result);
        QFETCH(Files, left);
        const QString root = path("tree");
        QFETCH(Files, tree);
        write(root, tree);
        write(path("outside"), { { "keep", "6" } });
        QVERIFY(QFile::link(path("outside"), root + "/linked"));
        if (operation == "clear")
            utility::clearDirectory(root);
        else
            QCOMPARE(utility::deleteDirectory(root), result);
        QCOMPARE(QFileInfo::exists(root), !(result && operation == "delete"));
        QFile::remove(root + "/linked"); // whether the link itself stays does not matter
        if (QFileInfo::exists(root))
            QCOMPARE(differences(root, left), QString());
        QCOMPARE(differences(path("outside"), { { "keep", "6" } }), QString());
        QVERIFY(!utility::deleteDirectory(QString()) && utility::deleteDirectory(path("never_there")));
        QVERIFY(!utility::removeFile(QString()) && utility::removeFile(path("outside/keep")));
        QVERIFY(!QFileInfo::exists(path("outside/keep")));
    }

    void createDesktopShortcut_data()
    {
        QTest::addColumn<QString>("home");
        QTest::addColumn<bool>("targetExists");
        QTest::newRow("replaces a link of the same name") << "home/alice" << true;
        QTest::newRow("target missing: old link stays") << "home/alice" << false;
        QTest::newRow("Windows-like profile: public twin removed") << "C/Users/alice" << true;
    }

    void createDesktopShortcut()
    {
        QFETCH(QString, home);
        QFETCH(bool, targetExists);
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(path(home)));
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", savedHome); });
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        QVERIFY2(desktop.startsWith(path(home)) && QDir().mkpath(desktop), qPrintable(desktop));
        const QString target = path("install/Client.exe");
        if (targetExists)
            QVERIFY(testsupport::writeFile(target, "client"));
        QVERIFY(testsupport::writeFile(path("C/Users/Public/Desktop/Client.lnk"), "public"));
        QVERIFY(QFile::link(path("gone/Old.exe"), desktop + "/Client.lnk"));

        QCOMPARE(utility::createDesktopShortcut(target, "Client.lnk"), targetExists);
        QCOMPARE(QFileInfo(desktop + "/Client.lnk").symLinkTarget(), targetExists ? target : path("gone/Old.exe"));
        QCOMPARE(QFileInfo::exists(path("C/Users/Public/Desktop/Client.lnk")), !(targetExists && home.contains("/Users/")));
    }

private:
    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    void write(const QString &root, const Files &files)
    {
        QVERIFY(QDir().mkpath(root));
        for (auto it = files.begin(); it != files.end(); ++it) {
            const QString file = root + '/' + it.key();
            QVERIFY(it.key().endsWith('/') ? QDir().mkpath(file) : testsupport::writeFile(file, it.value()));
            if (it.value().startsWith("#!"))
                QVERIFY(QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ExeOwner));
        }
    }

    QString differences(const QString &root, const Files &files)
    {
        const QString want = path(QStringLiteral("expected%1").arg(++m_expected));
        write(want, files);
        return testsupport::treeDifferences(testsupport::snapshotTree(want), testsupport::snapshotTree(root));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_immutable;
    int m_expected = 0;
};

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
