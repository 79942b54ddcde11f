#include "common/testenv.h"
#include "upgrade/treecompare.h"
#include "utility/fileutils.h"

#include <QDateTime>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using testsupport::Files;
using utility::CopyMode;
Q_DECLARE_METATYPE(CopyMode)

static constexpr QFileDevice::Permissions kUserBits
        = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;

static Files merged(Files files, const Files &more)
{
    files.insert(more);
    return files;
}

// What a copy of the source gives: a file larger than one copy chunk, an executable, a read-only
// file, an empty directory, hidden entries at several levels, links to a file, to a directory and
// to nothing.
static Files sourceTree()
{
    QByteArray big(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char((i * 131) >> 3);
    return { { "a.txt", "new a" }, { "client.exe", "#!new client" }, { "sub/b.bin", big },
        { "sub/deeper/c.txt", "new c" }, { "sub/client.exe", "nested" }, { "emptydir/", {} },
        { "sub/.hidden_in_sub", "h" }, { ".hidden", "h" }, { ".hiddendir/x", "h" }, { "ro.txt", "#ro new" },
        { "link", "->a.txt" }, { "sub/dirlink", "->deeper" }, { "dangling", "->gone/nowhere" } };
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
        QTest::addColumn<Files>("after"); // STAMP: the time of the copy
        const Files source = sourceTree(), immutable = { { "client.exe", "immutable" } };
        const Files old = { { "a.txt", "old a" }, { "sub/deeper/c.txt", "old c" }, { "only_in_target.txt", "keep" },
            { "ro.txt", "#ro old" }, { "link", "old" }, { "sub/dirlink", "->../a.txt" } };
        Files withoutSkipped = source;
        withoutSkipped.remove("client.exe");
        withoutSkipped.remove(".hiddendir/x");
        for (CopyMode mode : { CopyMode::Plain, CopyMode::WithBackupSuffix }) {
            const int m = int(mode);
            // Only entries directly in the source are skipped; the same name deeper down is copied.
            QTest::addRow("mode %d, missing target, skipped top-level file and folder", m)
                    << mode << true << Files() << QStringList{ "client.exe", ".hiddendir", "absent" } << true
                    << withoutSkipped;
            QTest::addRow("mode %d, cover over old", m) << mode << true << old << QStringList() << true
                                                        << merged(source, { { "only_in_target.txt", "keep" } });
            // Removal fails but renaming works, as for a running program on Windows: a non-empty
            // directory under the file's name stands in for it.
            QTest::addRow("mode %d, target in use", m)
                    << mode << true << Files{ { "client.exe/in_use", "old" } } << QStringList() << true
                    << merged(source, { { "client.exe.old.STAMP/in_use", "old" } });
        }
        // A link where a directory goes would take the copy outside the target.
        QTest::newRow("plain, cover over a link to a directory")
                << CopyMode::Plain << true << Files{ { "sub", "->../../../elsewhere" }, { "../../../elsewhere/", {} } }
                << QStringList() << true << source;
        QTest::newRow("plain, no cover over old: old kept")
                << CopyMode::Plain << false << old << QStringList() << true << merged(source, old);
        QTest::newRow("suffix, no cover over old: copy staged beside")
                << CopyMode::WithBackupSuffix << false << old << QStringList() << true
                << merged(merged(source, old),
                           { { "a.txt.backup", "new a" }, { "sub/deeper/c.txt.backup", "new c" },
                                   { "ro.txt.backup", "#ro new" }, { "link.backup", "->a.txt" },
                                   { "sub/dirlink.backup", "->deeper" } });
        // A ".backup" name already taken is not moved into place as if it were the copy.
        Files stale = merged(source, { { "a.txt.backup", "stale" } });
        stale.remove("a.txt");
        QTest::newRow("suffix, foreign .backup name")
                << CopyMode::WithBackupSuffix << true << Files{ { "a.txt.backup", "stale" } } << QStringList() << false
                << stale;
        // Neither removal nor renaming works: the copy reports it and still copies the rest.
        QTest::newRow("plain, immutable target")
                << CopyMode::Plain << true << immutable << QStringList() << false << merged(source, immutable);
        QTest::newRow("suffix, immutable target: staged copy beside")
                << CopyMode::WithBackupSuffix << true << immutable << QStringList() << false
                << merged(source, { { "client.exe", "immutable" }, { "client.exe.backup", "#!new client" } });
    }

    // A link back up the tree stays a link, and a target inside the source is not copied into itself.
    void copy()
    {
        QFETCH(Files, before);
        QFETCH(Files, after);
        const QString to = path("from/backup/to");
        write(path("from"), sourceTree());
        QVERIFY(QFile::link(path("from"), path("from/sub/loop")));
        if (!before.isEmpty())
            write(to, before);
        if (before.value("client.exe") == "immutable") {
            if (::geteuid() != 0 || QProcess::execute("chattr", { "+i", to + "/client.exe" }) != 0)
                QSKIP("needs root and a file system with immutable files");
            m_immutable = to + "/client.exe";
        }
        const QString start = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
        QFETCH(CopyMode, mode);
        QFETCH(bool, cover);
        QFETCH(QStringList, skipped);
        QTEST(utility::copyDirectoryFiles(path("from"), to, cover, mode, skipped), "result");
        const QString stamp = QDir(to).entryList({ "client.exe.old.*" }, QDir::AllEntries).value(0).mid(15);
        QVERIFY(stamp.isEmpty()
                || (stamp >= start && stamp <= QDateTime::currentDateTime().toString("yyyyMMddhhmmss")));
        Files want{ { "sub/loop", "->" + QFile::encodeName(path("from")) }, { "backup/", {} } };
        for (auto it = after.begin(); it != after.end(); ++it)
            want.insert(QString(it.key()).replace("STAMP", stamp), it.value());
        QCOMPARE(differences(to, want), QString());
    }

    void treeOperation_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<Files>("tree");
        QTest::addColumn<bool>("result");
        QTest::addColumn<Files>("left"); // nothing left for a delete that succeeds
        const Files plain = { { "a", "1" }, { "sub/deeper/b", "2" }, { "empty/", {} } };
        const Files names = { { "a", "1" }, { "x.backup", "2" }, { "sub/b.BACKUP", "3" }, { ".h", "4" },
            { "sub/.h.backup", "5" }, { "l", "->a" }, { "dl", "->sub" }, { "sub/gone", "->../none" } };
        // Links are renamed like files, whatever they point to.
        const Files added = { { "a.backup", "1" }, { "x.backup.backup", "2" }, { "sub/b.BACKUP.backup", "3" },
            { ".h.backup", "4" }, { "sub/.h.backup.backup", "5" }, { "l.backup", "->a" }, { "dl.backup", "->sub" },
            { "sub/gone.backup", "->../none" } };
        QTest::newRow("add suffix") << "add" << names << true << added;
        QTest::newRow("strip suffix: names restored") << "strip" << added << true << names;
        Files stripped = merged(names, { { "x", "2" }, { "sub/.h", "5" } });
        stripped.remove("x.backup");
        stripped.remove("sub/.h.backup");
        QTest::newRow("strip suffix again: x.backup becomes x") << "strip" << names << true << stripped;
        QTest::newRow("clear takes hidden entries too")
                << "clear" << merged(plain, { { ".hidden", "3" }, { ".hiddendir/c", "4" }, { "sub/.h", "5" } }) << true
                << Files();
        QTest::newRow("delete plain tree") << "delete" << plain << true << Files();
        QTest::newRow("delete with hidden file below")
                << "delete" << merged(plain, { { "sub/.hidden", "3" } }) << true << Files();
    }

    // Nothing outside the tree is touched, not even through a link inside it.
    void treeOperation()
    {
        QFETCH(QString, operation);
        QFETCH(bool, result);
        const QString root = path("tree");
        QFETCH(Files, tree);
        write(root, tree);
        write(path("outside"), { { "keep", "6" } });
        QVERIFY(QFile::link(path("outside"), root + "/linked"));
        if (operation == "clear")
            utility::clearDirectory(root);
        else if (operation == "delete")
            QCOMPARE(utility::deleteDirectory(root), result);
        else
            QCOMPARE(utility::renameBackupFiles(root, operation == "add"), result);
        QCOMPARE(QFileInfo::exists(root), !(result && operation == "delete"));
        // Whether the link itself stays does not matter.
        QFile::remove(root + "/linked");
        QFile::remove(root + "/linked.backup");
        QFETCH(Files, left);
        if (QFileInfo::exists(root))
            QCOMPARE(differences(root, left), QString());
        QCOMPARE(differences(path("outside"), { { "keep", "6" } }), QString());
        QVERIFY(!utility::deleteDirectory(QString()) && utility::deleteDirectory(path("never_there")));
        QVERIFY(utility::renameBackupFiles(path("never_there"), true));
        QVERIFY(!utility::removeFile(QString()) && utility::removeFile(path("outside/keep")));
        QVERIFY(!QFileInfo::exists(path("outside/keep")));
    }

    // Private files are closed to others before their first byte, and whoever opened the file that
    // was there before reads nothing of the new one.
    void ownerOnly()
    {
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::ReadOther;
        const QString name = path("private.txt"), history = path("history.ini");
        QVERIFY(testsupport::writeFile(name, "old") && QFile::setPermissions(name, QFile::permissions(name) | others));
        QFile reader(name), file(name);
        QVERIFY(reader.open(QIODevice::ReadOnly) && utility::openOwnerOnly(file, QIODevice::WriteOnly));
        QVERIFY(!(QFile::permissions(name) & others) && file.write("secret") == 6);
        file.close();
        QCOMPARE(reader.readAll(), QByteArray("old"));
        // A link in the history's place must not lend its target the new permissions.
        QVERIFY(QFile::setPermissions(name, QFile::permissions(name) | others) && QFile::link(name, history));
        QVERIFY(utility::makeOwnerOnly(history) && QFileInfo(history).size() == 0);
        QCOMPARE(QFile::permissions(history) & ~kUserBits, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(!QFileInfo(history).isSymbolicLink() && (QFile::permissions(name) & others) == others);
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
        qputenv("HOME", QFile::encodeName(path(home))); // no later test needs the real one
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
                      target = path("install/Client.exe");
        QVERIFY2(desktop.startsWith(path(home)) && QDir().mkpath(desktop), qPrintable(desktop));
        QVERIFY(!targetExists || testsupport::writeFile(target, "client"));
        QVERIFY(testsupport::writeFile(path("C/Users/Public/Desktop/Client.lnk"), "public"));
        QVERIFY(QFile::link(path("gone/Old.exe"), desktop + "/Client.lnk"));
        QCOMPARE(utility::createDesktopShortcut(target, "Client.lnk"), targetExists);
        QCOMPARE(QFileInfo(desktop + "/Client.lnk").symLinkTarget(), targetExists ? target : path("gone/Old.exe"));
        QCOMPARE(QFileInfo::exists(path("C/Users/Public/Desktop/Client.lnk")),
                !(targetExists && home.contains("/Users/")));
    }

private:
    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    void write(const QString &root, const Files &files) { QVERIFY(testsupport::writeTree(root, files)); }

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
