#include "app/constants.h"
#include "app/launchparameters.h"
#include "app/mainapplication.h"
#include "runner/constants.h"
#include "runner/uninstallentry.h"
#include "utility/fileutils.h"
#include "utility/platform.h"
#include "utility/processutils.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSharedMemory>
#include <QtTest>

#include <windows.h>

#include <memory>

// The Windows layers on the real Win32 API, run under wine: the registry, shortcuts, the elevated
// start, named pipes and the file functions on Windows attributes. The program doubles as the
// child that the process rows start (see main).
class TestWinLayers : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    static QString regQuery(const QString &key)
    {
        QProcess reg;
        reg.start(QStringLiteral("reg.exe"),
                { QStringLiteral("query"), key, QStringLiteral("/v"), runner::kDisplayVersionKey });
        if (!reg.waitForFinished(30000) || reg.exitCode() != 0)
            return QStringLiteral("<no value>");
        const QRegularExpression line(runner::kDisplayVersionKey + QStringLiteral("\\s+(REG_\\w+)\\s+([^\\r\\n]*)"));
        const QRegularExpressionMatch match = line.match(QString::fromLocal8Bit(reg.readAllStandardOutput()));
        return match.hasMatch() ? match.captured(1) + QLatin1Char(' ') + match.captured(2) : QStringLiteral("<none>");
    }

    // Each entry below dir with what matters on Windows: "/" a directory, " r" read-only,
    // " -> name" a shortcut and its target's name.
    static QStringList describe(const QString &dir)
    {
        QStringList out;
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo entry(it.next());
            QString text = QDir(dir).relativeFilePath(entry.filePath());
            if (entry.isShortcut())
                text += " -> " + QFileInfo(entry.symLinkTarget()).fileName();
            else if (entry.isDir())
                text += '/';
            else if (!entry.isWritable())
                text += " r";
            out << text;
        }
        out.sort();
        return out;
    }

    static bool setAttribute(const QString &path, DWORD attribute)
    {
        const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
        return SetFileAttributesW(native.c_str(), GetFileAttributesW(native.c_str()) | attribute);
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void uninstallDisplayVersion_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("before"); // empty: no key yet
        QTest::addColumn<QString>("version");
        QTest::newRow("teacher, new key") << runner::kUninstallTeacher << QString() << "1.1.0.0";
        QTest::newRow("student, value replaced") << runner::kUninstallStudent << "1.0.0.0"
                                                 << "1.2.3 beta";
    }

    // The installed-programs list reads the registry; reg.exe is the system's own reader.
    void uninstallDisplayVersion()
    {
        QFETCH(QString, entry);
        QFETCH(QString, before);
        QFETCH(QString, version);
        const QString key = runner::kUninstallKeyPrefix + entry;
        QProcess reg;
        reg.start(QStringLiteral("reg.exe"), { QStringLiteral("delete"), key, QStringLiteral("/f") });
        QVERIFY(reg.waitForFinished(30000));
        if (!before.isEmpty())
            runner::setUninstallDisplayVersion(key, before);
        runner::setUninstallDisplayVersion(key, version);
        QCOMPARE(regQuery(key), "REG_SZ " + version);
    }

    void desktopShortcut_data()
    {
        QTest::addColumn<bool>("targetExists");
        QTest::addColumn<bool>("oldLink");
        QTest::addColumn<bool>("publicTwin");
        QTest::addColumn<bool>("made");
        QTest::newRow("new") << true << false << false << true;
        QTest::newRow("old link replaced, public twin removed") << true << true << true << true;
        QTest::newRow("missing target") << false << true << false << false;
    }

    void desktopShortcut()
    {
        QFETCH(bool, targetExists);
        QFETCH(bool, oldLink);
        QFETCH(bool, publicTwin);
        const QString name = QStringLiteral("Solvane %1.lnk").arg(QTest::currentDataTag()[0]);
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        // The profile folder is "C:/users/<name>" under wine: the twin is found whatever the case.
        const int users = desktop.indexOf(QStringLiteral("/users/"), 0, Qt::CaseInsensitive);
        QVERIFY2(users > 0, qPrintable(desktop));
        const QString twin = desktop.left(users) + QStringLiteral("/users/public/desktop/") + name;
        const QString target = m_dir.filePath(QStringLiteral("client %1/Client.exe").arg(QTest::currentDataTag()[0]));
        const QString other = m_dir.filePath(QStringLiteral("Other.exe"));
        QVERIFY(!targetExists || writeFile(target));
        QVERIFY(writeFile(other));
        QVERIFY(!oldLink || QFile::link(other, desktop + '/' + name));
        QVERIFY(!publicTwin || (QDir().mkpath(QFileInfo(twin).path()) && QFile::link(other, twin)));

        QTEST(utility::createDesktopShortcut(target, name), "made");
        const QFileInfo link(desktop + '/' + name);
        QCOMPARE(link.isShortcut() ? link.symLinkTarget().toLower() : QString(),
                targetExists      ? QFileInfo(target).absoluteFilePath().toLower()
                        : oldLink ? other.toLower()
                                  : QString());
        QCOMPARE(QFileInfo::exists(twin), false);
        QFile::remove(link.filePath());
    }

    void startElevated_data()
    {
        QTest::addColumn<QString>("program"); // relative to the test's folder; copied from this program
        QTest::addColumn<QString>("parameters");
        QTest::addColumn<QStringList>("received"); // empty: the start must fail
        app::LaunchParameters p{ "manual", "realUpgrade", "teacher", "C:\\Program Files\\教育 客户端\\Client.exe", "",
            "https://h/u.json", "12", "cn", "34", "m", "C:\\logs dir" };
        QTest::newRow("hand-off, folder with spaces")
                << "backup 教育/solupdate.exe" << p.toArguments().join(' ') << p.toArguments();
        QTest::newRow("quoted arguments") << "copy.exe"
                                          << "\"a b\" \"\" c\\d \"e\\\"f\"" << QStringList{ "a b", "", "c\\d", "e\"f" };
        QTest::newRow("missing program") << "missing/none.exe"
                                         << "x" << QStringList();
    }

    // The runner hands the upgrade to an elevated copy of itself: wine has no UAC prompt, the copy
    // starts at once, and reports what it was given.
    void startElevated()
    {
        QFETCH(QString, program);
        QFETCH(QString, parameters);
        QFETCH(QStringList, received);
        const QString path = m_dir.filePath(program);
        const QString report = path + ".args";
        QDir().mkpath(QFileInfo(path).absolutePath());
        QVERIFY(received.isEmpty() || QFile::copy(QCoreApplication::applicationFilePath(), path));
        // The child inherits the variable: it tells it where to report.
        qputenv("SOLUPDATE_WINLAYERS_REPORT", report.toUtf8());
        // Given as the runner gives it, with forward slashes.
        const bool started = utility::StartUpWithPrivilege(path, parameters);
        qunsetenv("SOLUPDATE_WINLAYERS_REPORT");
        QCOMPARE(started, !received.isEmpty());
        if (received.isEmpty())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(report)).split('\n'), received, 30000);
    }

    void pipePeer_data()
    {
        QTest::addColumn<QString>("holder"); // empty: this process
        QTest::newRow("this process") << QString();
        QTest::newRow("another program") << "holder.exe";
    }

    // A single-instance name held by another program is told apart by the peer's file name.
    void pipePeer()
    {
        QFETCH(QString, holder);
        const QString name = QStringLiteral("winlayers-%1-%2").arg(QCoreApplication::applicationPid()).arg(holder);
        std::unique_ptr<QLocalServer> server;
        QProcess child;
        qint64 expectedPid = QCoreApplication::applicationPid();
        QString expectedName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        if (holder.isEmpty()) {
            server.reset(app::MainApplication::listenOn(name, nullptr));
            QVERIFY(server->isListening());
        } else {
            const QString path = m_dir.filePath(holder);
            QVERIFY(QFile::exists(path) || QFile::copy(QCoreApplication::applicationFilePath(), path));
            child.start(path, { QStringLiteral("--listen"), name });
            QVERIFY(child.waitForReadyRead(30000) && child.readLine().startsWith("listening"));
            expectedPid = child.processId();
            expectedName = holder;
        }
        QLocalSocket socket;
        socket.connectToServer(name);
        QVERIFY(socket.waitForConnected(10000));
        qint64 pid = 0;
        QString peer;
        QVERIFY(utility::localSocketPeer(socket.socketDescriptor(), &pid, &peer));
        QCOMPARE(pid, expectedPid);
        QCOMPARE(peer.toLower(), expectedName.toLower());
        child.kill();
        child.waitForFinished(10000);
    }

    // The marker that tells the master an updater of the role runs: a kernel object of the updater's,
    // seen by other programs while it runs and gone with it, also when it is killed. The role is
    // this run's own: the suites share one wine session.
    void sharedMemoryMarker()
    {
        const QString role = QStringLiteral("winlayers%1").arg(QCoreApplication::applicationPid());
        const QString key = platform::sharedMemoryNativeKey(app::kSharedMemoryPrefix + '_' + role);
        const auto present = [&key] {
            QSharedMemory probe;
            probe.setNativeKey(key);
            return probe.attach(QSharedMemory::ReadOnly);
        };
        QVERIFY(!present());
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--mark"), role });
        QVERIFY(child.waitForReadyRead(30000) && child.readLine().startsWith("marked"));
        QVERIFY(present());
        child.kill();
        QVERIFY(child.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(!present(), 10000);
    }

    void fileSemantics_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("left"); // what describe() finds in the tree or target afterwards
        QStringList tree{ "hidden.dat", "outside.lnk -> outside", "readonly.txt r", deepPath() + "long.txt" };
        for (int end = deepPath().indexOf('/'); end > 0; end = deepPath().indexOf('/', end + 1))
            tree << deepPath().left(end) + '/';
        tree.sort();
        QStringList held = tree;
        held.replaceInStrings("readonly.txt r", "readonly.txt");
        QTest::newRow("copy") << "copy" << true << tree;
        QTest::newRow("replace") << "replace" << true << tree;
        QTest::newRow("replace onto a file held without sharing") << "replace held" << false << held;
        QTest::newRow("clear") << "clear" << true << QStringList();
        QTest::newRow("delete") << "delete" << true << QStringList();
    }

    // The installation as Windows has it: a read-only file, a hidden one, a shortcut to a folder
    // outside the tree (a file, never to be walked), and a path beyond 260 characters.
    void fileSemantics()
    {
        QFETCH(QString, operation);
        QTemporaryDir dir;
        const QString tree = dir.filePath("tree 树"), target = dir.filePath("target"),
                      outside = dir.filePath("outside");
        QVERIFY(writeFile(outside + "/keep.txt"));
        QVERIFY(writeFile(tree + "/readonly.txt") && setAttribute(tree + "/readonly.txt", FILE_ATTRIBUTE_READONLY));
        QVERIFY(writeFile(tree + "/hidden.dat") && setAttribute(tree + "/hidden.dat", FILE_ATTRIBUTE_HIDDEN));
        QVERIFY(QFile::link(outside, tree + "/outside.lnk"));
        QVERIFY(writeFile(tree + '/' + deepPath() + "long.txt") && (tree + deepPath()).size() > MAX_PATH);
        // Old content of the target, read-only: a replace must remove it.
        QVERIFY(operation == "copy"
                || (writeFile(target + "/old.txt") && setAttribute(target + "/old.txt", FILE_ATTRIBUTE_READONLY)));
        HANDLE hold = INVALID_HANDLE_VALUE;
        if (operation == "replace held") {
            QVERIFY(writeFile(target + "/readonly.txt", "held"));
            const std::wstring native = QDir::toNativeSeparators(target + "/readonly.txt").toStdWString();
            hold = CreateFileW(native.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            QVERIFY(hold != INVALID_HANDLE_VALUE);
        }

        bool result = false;
        if (operation == "copy")
            result = utility::copyDirectoryFiles(tree, target, true, utility::CopyMode::WithBackupSuffix);
        else if (operation.startsWith("replace"))
            result = utility::replaceDirectoryContents(tree, target, {}, utility::CopyMode::Plain);
        else if (operation == "clear")
            result = utility::clearDirectory(tree) && QFileInfo(tree).isDir();
        else
            result = utility::deleteDirectory(tree) && !QFileInfo::exists(tree);
        if (hold != INVALID_HANDLE_VALUE) {
            CloseHandle(hold);
            QCOMPARE(readFile(target + "/readonly.txt"), QByteArray("held"));
        }
        QTEST(result, "result");
        QTEST(describe(operation == "clear" || operation == "delete" ? tree : target), "left");
        QCOMPARE(readFile(outside + "/keep.txt"), QByteArray("x"));
    }

private:
    // Five folders of 60 characters: with the temporary folder, beyond MAX_PATH.
    static QString deepPath()
    {
        QString path;
        for (char c : { 'd', 'e', 'f', 'g', 'h' })
            path += QString(60, QLatin1Char(c)) + QLatin1Char('/');
        return path;
    }
    static bool writeFile(const QString &path, const QByteArray &content = "x")
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }
};

// Child modes: started through StartUpWithPrivilege with SOLUPDATE_WINLAYERS_REPORT set, the program
// writes the arguments it got into that file; with "--listen <name>" it holds that pipe name; with
// "--mark <role>" it is an updater of that role that holds its marker.
int main(int argc, char *argv[])
{
    const QByteArray report = qgetenv("SOLUPDATE_WINLAYERS_REPORT");
    if (argc == 3 && qstrcmp(argv[1], "--mark") == 0) {
        QByteArray role = QByteArray("--role=") + argv[2];
        int updaterArgc = 2;
        char *updaterArgv[] = { argv[0], role.data(), nullptr };
        app::MainApplication application(updaterArgc, updaterArgv);
        application.initSharedMemory();
        QTextStream(stdout) << "marked" << Qt::endl;
        return application.exec();
    }
    if (!report.isEmpty() || (argc == 3 && qstrcmp(argv[1], "--listen") == 0)) {
        QCoreApplication application(argc, argv);
        if (!report.isEmpty()) {
            QFile file(QString::fromUtf8(report));
            const QByteArray arguments = application.arguments().mid(1).join('\n').toUtf8();
            return file.open(QIODevice::WriteOnly) && file.write(arguments) == arguments.size() ? 0 : 1;
        }
        std::unique_ptr<QLocalServer> server(app::MainApplication::listenOn(application.arguments().at(2), nullptr));
        QTextStream(stdout) << (server->isListening() ? "listening" : "failed") << Qt::endl;
        return application.exec();
    }
    QCoreApplication application(argc, argv);
    TestWinLayers test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_winlayers.moc"
