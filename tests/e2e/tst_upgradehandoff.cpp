// The "upgrade" run as the master starts it: it fills the backup directory, hands the job to the
// copy in that directory with action "realUpgrade", and ends.
#include "app/launchparameters.h"
#include "app/mainapplication.h"

#include "common/testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using app::MainApplication;
using UpgradeTarget = app::MainApplication::UpgradeTarget;
Q_DECLARE_METATYPE(UpgradeTarget)

namespace {

const QString kUpdater = QStringLiteral(SOLUPDATE_BIN_DIR "/solupdate");
const QString kSettings = QStringLiteral("[config]\nCheckInterval=86400\nCheckIntervalAfterUserCancel=3600\n");

// Every file below dir, as "/"-separated paths relative to it, hidden files included.
QStringList treeFiles(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

QString logText(const QString &path)
{
    return QString::fromUtf8(testsupport::readFile(path));
}

// The message of the first record holding marker, without the quotes the logging stream adds.
QString loggedMessage(const QString &log, const QString &marker)
{
    for (const QString &line : log.split(QLatin1Char('\n'))) {
        const int start = line.indexOf(QLatin1Char('"'));
        const int end = line.lastIndexOf(QStringLiteral("\" (:0, )"));
        if (start < 0 || end <= start)
            continue;
        QString message = line.mid(start + 1, end - start - 1);
        message.replace(QStringLiteral("\\\""), QStringLiteral("\"")).replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
        if (message.contains(marker))
            return message;
    }
    return QString();
}

int countOf(const QString &log, const QString &message)
{
    return log.count(QLatin1Char('"') + message + QLatin1Char('"'));
}

qint64 pidOfLog(const QString &path)
{
    static const QRegularExpression name(QStringLiteral("solupdate_(\\d+)_\\d{14}\\.log$"));
    return name.match(path).captured(1).toLongLong();
}

bool processGone(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    return status.readAll().contains("\nState:\tZ");
}

QString parsedLine(const app::LaunchParameters &p)
{
    return QStringLiteral("parsed commaindline: mode:%1, action:%2, role:%3, exePath:%4, version:%5, "
                          "updateUrl:%6, masterPid:%7, language:%8, masterMainwin:%9, "
                          "masterLocalServer:%10, logDirPath:%11")
            .arg(p.mode, p.action, p.role, p.exePath, p.version, p.updateUrl, p.masterPid, p.lang, p.masterHwnd)
            .arg(p.masterLocalServer, p.logDirPath);
}

// One upgrade hand-off: an installation, an updater placed inside or beside it, and the run.
struct HandOff
{
    QString root;
    QString home;
    QString installDir;
    QString updaterDir;
    QString logDir;
    QString backupDir;
    app::LaunchParameters params;
    QProcessEnvironment env;

    HandOff(const QString &base, const QString &installName, bool updaterInside)
        : root(base)
        , home(base + QStringLiteral("/home"))
        , installDir(base + QLatin1Char('/') + installName)
        , updaterDir(updaterInside ? installDir : base + QStringLiteral("/updater"))
        , logDir(base + QStringLiteral("/logs 日志"))
        , env(testsupport::isolatedEnvironment(home))
    {
        backupDir = home + QStringLiteral("/.local/share/solupdate/") + QFileInfo(installDir).fileName()
                + QStringLiteral("_backup");
        params.mode = QStringLiteral("manual");
        params.action = QStringLiteral("upgrade");
        params.role = QStringLiteral("teacher");
        params.exePath = installDir + QStringLiteral("/Client.exe");
        params.updateUrl = QStringLiteral("http://127.0.0.1:9/update/teacher 更新.json");
        params.masterPid = QStringLiteral("4711");
        params.lang = QStringLiteral("cn");
        params.masterHwnd = QStringLiteral("132456");
        params.masterLocalServer = QStringLiteral("master server 主");
        params.logDirPath = logDir;
    }

    bool populate()
    {
        bool ok = QDir().mkpath(logDir) && QDir().mkpath(updaterDir);
        ok = ok && testsupport::writeFile(params.exePath, "not a real client");
        ok = ok && testsupport::writeFile(installDir + QStringLiteral("/readme 说明.txt"), "read me");
        ok = ok && testsupport::writeFile(installDir + QStringLiteral("/data/settings.json"), "{}");
        ok = ok && testsupport::writeFile(installDir + QStringLiteral("/data/deep/tree/file.bin"), QByteArray(70000, 'x'));
        ok = ok && QDir().mkpath(installDir + QStringLiteral("/empty"));
        ok = ok && QFile::copy(kUpdater, updaterDir + QStringLiteral("/solupdate"));
        ok = ok && testsupport::writeFile(updaterDir + QStringLiteral("/solupdate.ini"), kSettings.toUtf8());
        ok = ok && testsupport::writeFile(updaterDir + QStringLiteral("/hpatchz"), "patch tool");
        return ok;
    }

    int run(QString *errorText)
    {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProgram(updaterDir + QStringLiteral("/solupdate"));
        process.setArguments(params.toArguments());
        process.start();
        if (!process.waitForStarted(30000)) {
            *errorText = QStringLiteral("hand-off run did not start: ") + process.errorString();
            return -1000;
        }
        handOffPid = process.processId();
        if (!process.waitForFinished(60000)) {
            *errorText = QStringLiteral("hand-off run did not end: ") + process.errorString();
            process.kill();
            process.waitForFinished();
            return -1000;
        }
        if (process.exitStatus() != QProcess::NormalExit)
            return -1001;
        return process.exitCode();
    }

    QString handOffLog() const
    {
        const QStringList logs = testsupport::logFiles(logDir);
        for (const QString &log : logs) {
            if (pidOfLog(log) == handOffPid)
                return log;
        }
        return QString();
    }

    qint64 handOffPid = 0;
};

} // namespace

class TestUpgradeHandOff : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(kUpdater).isExecutable(), qPrintable(kUpdater));
        QVERIFY(m_dir.isValid());
    }

    void handsOffToTheBackupCopy_data()
    {
        QTest::addColumn<QString>("installName");
        QTest::addColumn<bool>("updaterInside");
        QTest::newRow("updater beside the installation") << "Client" << false;
        QTest::newRow("updater inside the installation") << "Client" << true;
        QTest::newRow("blanks and Chinese in the path") << "客户端 Client 2" << false;
    }

    void handsOffToTheBackupCopy()
    {
        QFETCH(QString, installName);
        QFETCH(bool, updaterInside);
        HandOff handOff(newCase(), installName, updaterInside);
        QVERIFY(handOff.populate());
        const QStringList installFiles = treeFiles(handOff.installDir);

        QString error;
        QCOMPARE(handOff.run(&error), 255);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        // The backup holds the installation, plus the updater's own files when it lives elsewhere.
        QStringList expected = installFiles;
        if (!updaterInside)
            expected << "hpatchz" << "solupdate" << "solupdate.ini";
        expected.sort();
        QCOMPARE(treeFiles(handOff.backupDir), expected);
        for (const QString &file : qAsConst(installFiles)) {
            QCOMPARE(testsupport::readFile(handOff.backupDir + QLatin1Char('/') + file),
                     testsupport::readFile(handOff.installDir + QLatin1Char('/') + file));
        }
        QCOMPARE(testsupport::readFile(handOff.backupDir + "/solupdate"), testsupport::readFile(kUpdater));
        QVERIFY(QFileInfo(handOff.backupDir + "/solupdate").isExecutable());
        QCOMPARE(testsupport::readFile(handOff.backupDir + "/solupdate.ini"), kSettings.toUtf8());

        // The hand-off log: the restart line with the path values in Base64, nothing failed.
        const QString handOffLog = handOff.handOffLog();
        QVERIFY(!handOffLog.isEmpty());
        const QString first = logText(handOffLog);
        app::LaunchParameters real = handOff.params;
        real.action = QStringLiteral("realUpgrade");
        const QString restart = loggedMessage(first, QStringLiteral("restart self for real upgrade"));
        QCOMPARE(restart, QStringLiteral("main application restart self for real upgrade, cmdline:")
                         + real.toArguments().join(QLatin1Char(' ')));
        QVERIFY(restart.contains(QStringLiteral("--exePath=")
                                 + QString::fromLatin1(handOff.params.exePath.toUtf8().toBase64())));
        QVERIFY(restart.contains(QStringLiteral("--version= ")));
        QVERIFY(!restart.contains(handOff.installDir));
        QVERIFY(!first.contains(QStringLiteral("start updater failed")));
        QCOMPARE(countOf(first, QStringLiteral("application initialize failed")), 1);
        QVERIFY(!first.contains(QStringLiteral("parse config error")));
        QVERIFY(!first.contains(QStringLiteral("product version")));

        // The copy writes its own log into the same directory and parses the same members.
        QString copyLog;
        QTRY_VERIFY_WITH_TIMEOUT(!(copyLog = secondLog(handOff)).isEmpty()
                                         && finished(logText(copyLog)),
                                 30000);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pidOfLog(copyLog)), 30000);
        const QString second = logText(copyLog);
        QCOMPARE(loggedMessage(second, QStringLiteral("parsed commaindline")), parsedLine(real));
        QCOMPARE(loggedMessage(first, QStringLiteral("parsed commaindline")), parsedLine(handOff.params));
        QVERIFY2(!second.contains(QStringLiteral("parse commandline error")), qPrintable(second));
        // It read the settings file beside itself (the copied one) and got past it.
        QVERIFY2(!second.contains(QStringLiteral("parse config error")), qPrintable(second));
        QVERIFY(!second.contains(QStringLiteral("restart self")));
    }

    void bothStartsFail()
    {
        HandOff handOff(newCase(), QStringLiteral("Client"), false);
        QVERIFY(handOff.populate());
        // A file where the backup directory belongs: no copy of the updater can be put there.
        QVERIFY(testsupport::writeFile(handOff.backupDir, "in the way"));

        QString error;
        QCOMPARE(handOff.run(&error), 255);
        const QString log = logText(handOff.handOffLog());
        QVERIFY(log.contains(QStringLiteral("restart self for real upgrade")));
        QCOMPARE(countOf(log, QStringLiteral("[solupdate] start updater failed, StartUpWithPrivilege error")), 1);
        QCOMPARE(countOf(log, QStringLiteral("[solupdate] start updater failed, startDetached error")), 1);
        QCOMPARE(countOf(log, QStringLiteral("application initialize failed")), 1);
        QCOMPARE(log.count(QStringLiteral("Critical: ")), 3);
        // The original updater could have been started; only the copy is.
        QCOMPARE(testsupport::logFiles(handOff.logDir).size(), 1);
        QCOMPARE(testsupport::readFile(handOff.backupDir), QByteArray("in the way"));
    }

    void refusesOverlappingBackup_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("upgrade") << "upgrade";
        QTest::newRow("realUpgrade") << "realUpgrade";
    }

    // The per-user data directory inside the installation would put the backup into the tree it
    // copies; the run must refuse before anything is copied or started.
    void refusesOverlappingBackup()
    {
        QFETCH(QString, action);
        HandOff handOff(newCase(), QStringLiteral("Client"), false);
        QVERIFY(handOff.populate());
        handOff.params.action = action;
        const QString dataHome = handOff.installDir + QStringLiteral("/userdata");
        handOff.env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
        const QString backupDir = dataHome + QStringLiteral("/solupdate/Client_backup");
        const QStringList before = treeFiles(handOff.installDir);

        QString error;
        QCOMPARE(handOff.run(&error), 255);
        const QString log = logText(handOff.handOffLog());
        QCOMPARE(loggedMessage(log, QStringLiteral("upgrade refused")),
                 QStringLiteral("upgrade refused, install dir and backup dir overlap, dir:%1, backup:%2")
                         .arg(handOff.installDir, backupDir));
        QCOMPARE(log.count(QStringLiteral("Critical: ")), 2);
        QVERIFY(!log.contains(QStringLiteral("restart self")));
        QVERIFY(!log.contains(QStringLiteral("parsed config")));
        QVERIFY(!QFileInfo::exists(backupDir));
        QCOMPARE(treeFiles(handOff.installDir), before);
        QCOMPARE(testsupport::logFiles(handOff.logDir).size(), 1);
    }

    void upgradeTarget_data()
    {
        QTest::addColumn<QString>("installDir");
        QTest::addColumn<QString>("backupDir");
        QTest::addColumn<UpgradeTarget>("expected");
        const QString base = m_dir.path();
        QDir().mkpath(base + "/target/Client");
        QDir().mkpath(base + "/target/data");
        QFile::link(QStringLiteral("/"), base + "/target/rootlink");
        QFile::link(base + "/target/Client", base + "/target/clientlink");

        QTest::newRow("root") << "/" << base + "/target/data/_backup" << UpgradeTarget::FileSystemRoot;
        QTest::newRow("root spelled with dots") << "/usr/.." << base + "/target/data/_backup"
                                                << UpgradeTarget::FileSystemRoot;
        QTest::newRow("link to root") << base + "/target/rootlink" << base + "/target/data/rootlink_backup"
                                      << UpgradeTarget::FileSystemRoot;
        QTest::newRow("separate") << base + "/target/Client" << base + "/target/data/Client_backup"
                                  << UpgradeTarget::Ok;
        QTest::newRow("sibling with a longer name") << base + "/target/Client" << base + "/target/Client_backup"
                                                    << UpgradeTarget::Ok;
        QTest::newRow("backup inside") << base + "/target/Client" << base + "/target/Client/data/Client_backup"
                                       << UpgradeTarget::OverlapsBackup;
        QTest::newRow("backup inside through a link") << base + "/target/clientlink"
                                                      << base + "/target/Client/clientlink_backup"
                                                      << UpgradeTarget::OverlapsBackup;
        QTest::newRow("installation inside the backup") << base + "/target/data/Client_backup/Client"
                                                        << base + "/target/data/Client_backup"
                                                        << UpgradeTarget::OverlapsBackup;
    }

    // Checked on the function itself: a broken guard must never get the chance to copy or empty "/".
    void upgradeTarget()
    {
        QFETCH(QString, installDir);
        QFETCH(QString, backupDir);
        QFETCH(UpgradeTarget, expected);
        QCOMPARE(MainApplication::checkUpgradeTarget(installDir, backupDir), expected);
    }

private:
    QString newCase()
    {
        const QString path = m_dir.filePath(QStringLiteral("case%1").arg(++m_cases));
        QDir().mkpath(path);
        return path;
    }

    static QString secondLog(const HandOff &handOff)
    {
        const QStringList logs = testsupport::logFiles(handOff.logDir);
        for (const QString &log : logs) {
            if (pidOfLog(log) != handOff.handOffPid)
                return log;
        }
        return QString();
    }

    static bool finished(const QString &log)
    {
        return log.contains(QStringLiteral("application initialize failed"))
                || log.contains(QStringLiteral("main runner"));
    }

    QTemporaryDir m_dir;
    int m_cases = 0;
};

QTEST_GUILESS_MAIN(TestUpgradeHandOff)
#include "tst_upgradehandoff.moc"
