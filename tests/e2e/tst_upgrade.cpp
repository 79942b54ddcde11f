// The upgrade as the master starts it, end to end and without a display: the real updater started
// with "upgrade" hands over to its copy in the backup directory, which ends the running client,
// downloads packages made by our package maker from nginx, applies them with our patch tool,
// restores from the backup when that fails, and ends by itself since nobody can see its dialog.
#include "app/mainapplication.h"
#include "app/repairrecord.h"

#include "common/testenv.h"
#include "common/updatersandbox.h"
#include "sample/versiontrees.h"
#include "upgrade/nginxserver.h"
#include "upgrade/treecompare.h"

#include <QLockFile>
#include <QSettings>
#include <QtTest>

using testsupport::UpdaterSandbox;
using UpgradeTarget = app::MainApplication::UpgradeTarget;
Q_DECLARE_METATYPE(UpgradeTarget)
// The repair record a start finds: a valid one, one naming a backup that is not the
// installation's, a valid one while an upgrade holds the installation, one whose backup is gone.
enum class Record { Valid, ForeignBackup, Locked, NoBackup };
Q_DECLARE_METATYPE(Record)

class TestUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_nginx.stop(); }
    void upgrade_data();
    void upgrade();
    void bothStartsFail();
    void refusesFileWithoutVersion();
    void repairAtStart_data();
    void repairAtStart();
    void upgradeTarget_data();
    void upgradeTarget();

private:
    QString fixture(const QString &name) const { return m_fixtures.filePath(name); }

    QTemporaryDir m_fixtures;
    testsupport::NginxServer m_nginx;
    testsupport::Tree m_old;
    testsupport::Tree m_new;
};

void TestUpgrade::initTestCase()
{
    QVERIFY(m_fixtures.isValid());
    if (testsupport::NginxServer::executable().isEmpty())
        QSKIP("needs nginx (scripts/setup.sh)");
    QString error;
    QVERIFY2(sample::writeVersionTree(fixture("old"), sample::kSampleOldVersion, &error), qPrintable(error));
    QVERIFY2(sample::writeVersionTree(fixture("new"), sample::kSampleNewVersion, &error), qPrintable(error));
    m_old = testsupport::snapshotTree(fixture("old"));
    m_new = testsupport::snapshotTree(fixture("new"));
    QVERIFY(QDir().mkpath(fixture("www")));
    QVERIFY2(sample::makeIncrementalPackage(fixture("old"), fixture("new"), fixture("www/client 1.0-1.1.pkg"), &error),
            qPrintable(error));
    QVERIFY2(sample::makeFullPackage(fixture("new"), fixture("www/corrupt-full.pkg"), &error), qPrintable(error));
    QVERIFY(sample::corruptPackage(fixture("www/corrupt-full.pkg")));
    QVERIFY(QFile::copy(fixture("www/corrupt-full.pkg"), fixture("www/corrupt-incremental.pkg")));
    QVERIFY2(m_nginx.start(fixture("www"), &error), qPrintable(error));
}

void TestUpgrade::upgrade_data()
{
    QTest::addColumn<bool>("updaterInside");
    QTest::addColumn<QString>("incremental");
    QTest::addColumn<int>("result");
    QTest::newRow("incremental, updater beside the installation") << false << "client 1.0-1.1.pkg" << 0;
    // The restore must put back the updater's own files, which here belong to the installation.
    QTest::newRow("both packages corrupt, updater inside the installation") << true << "corrupt-incremental.pkg" << 7;
}

void TestUpgrade::upgrade()
{
    QFETCH(bool, updaterInside);
    QFETCH(QString, incremental);
    QFETCH(int, result);

    UpdaterSandbox box;
    QVERIFY(box.isValid() && box.writeDefaultConfig());
    QVERIFY(sample::writeVersionTree(box.installDir(), sample::kSampleOldVersion));
    QString updater = box.updaterPath();
    if (updaterInside) {
        for (const QString &name : QDir(box.binDir()).entryList(QDir::Files))
            QVERIFY(QFile::copy(box.binDir() + "/" + name, box.installDir() + "/" + name));
        updater = box.installDir() + "/solupdate";
    }
    const testsupport::Tree before = testsupport::snapshotTree(box.installDir());
    QVERIFY(QDir().mkpath(box.home() + "/Desktop"));
    sample::UpdateDocument document;
    document.fullUrl = m_nginx.url("/corrupt-full.pkg").toString();
    document.incrementals << qMakePair(m_nginx.url("/" + incremental).toString(), sample::kSampleOldVersion);
    QVERIFY(testsupport::writeFile(box.localDataDir() + "/update_teacher.json", sample::updateDocument(document)));

    // The master, running from the installation as when the user accepted the offer.
    QProcess client;
    client.setProcessEnvironment(box.environment());
    client.start(box.clientPath(), QStringList());
    QVERIFY(client.waitForStarted(10000) && client.waitForReadyRead(10000));

    app::LaunchParameters parameters = box.defaultParameters();
    parameters.action = "upgrade";
    QProcess handOff;
    handOff.setProcessEnvironment(box.environment());
    handOff.start(updater, parameters.toArguments());
    QVERIFY(handOff.waitForFinished(60000));
    QCOMPARE(handOff.exitCode(), 255);
    // The copy ends by itself once the result is in.
    QTRY_VERIFY2_WITH_TIMEOUT(box.logMessages().filter("main runner run complete").size() == 1,
            qPrintable(box.logMessages().join('\n')), 60000);

    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QProcess::NotRunning, 5000);
    const QSettings history(box.historyPath(), QSettings::IniFormat);
    QCOMPARE(history.value("history/LastUpgradeStatus").toInt(), result);
    QCOMPARE(testsupport::treeDifferences(result == 0 ? m_new : before, testsupport::snapshotTree(box.installDir())),
            QString());
    const QFileInfo shortcut(box.home() + "/Desktop/Quillora-老师版.lnk");
    QCOMPARE(shortcut.symLinkTarget(), result == 0 ? box.clientPath() : QString());
    const QSettings uninstall(box.home() + "/.config/uninstall.ini", QSettings::IniFormat);
    QCOMPARE(uninstall.value("Tandemo_Teacher/DisplayVersion").toString(),
            result == 0 ? sample::kSampleNewVersion : QString());
    // The history and the logs may hold the update URL with its token: nobody else reads them.
    const QStringList ownFiles = box.logFiles() << box.historyPath();
    for (const QString &own : ownFiles)
        QCOMPARE(QFileInfo(own).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    // Packages, their output trees and the backup the copy ran from are gone.
    QStringList left = QDir(box.localDataDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    left.sort();
    QCOMPARE(left, QStringList({ "solupdate_history_teacher.ini", "update_teacher.json" }));
}

void TestUpgrade::bothStartsFail()
{
    UpdaterSandbox box;
    QVERIFY(box.isValid() && box.writeDefaultConfig());
    QVERIFY(sample::writeVersionTree(box.installDir(), sample::kSampleOldVersion));
    const testsupport::Tree before = testsupport::snapshotTree(box.installDir());
    // A file where the backup directory belongs: no copy of the updater can be put there.
    const QString backupDir = box.localDataDir() + "/install_backup";
    QVERIFY(testsupport::writeFile(backupDir, "in the way"));

    app::LaunchParameters parameters = box.defaultParameters();
    parameters.action = "upgrade";
    QCOMPARE(box.run(parameters), 255);
    QCOMPARE(box.logFiles().size(), 1);
    const QStringList critical = box.logMessages().filter("Critical: ");
    QCOMPARE(critical.filter("start updater failed").size(), 2);
    QCOMPARE(testsupport::readFile(backupDir), QByteArray("in the way"));
    QCOMPARE(testsupport::treeDifferences(before, testsupport::snapshotTree(box.installDir())), QString());
}

// A file that is no client (no version) must not get its whole folder copied into the backup.
void TestUpgrade::refusesFileWithoutVersion()
{
    UpdaterSandbox box;
    QVERIFY(box.isValid() && box.writeDefaultConfig());
    QVERIFY(testsupport::writeFile(box.clientPath(), "not a client")
            && testsupport::writeFile(box.installDir() + "/other", "x"));
    app::LaunchParameters parameters = box.defaultParameters();
    parameters.action = "upgrade";
    QCOMPARE(box.run(parameters), 255);
    QVERIFY(!QFileInfo::exists(box.localDataDir() + "/install_backup"));
    QCOMPARE(box.logFiles().size(), 1);
}

// An upgrade killed in the middle of the replace left one file, the new client, and its repair
// record: the next start, a check here, puts the old tree back before anything else, unless the
// record cannot be trusted or an upgrade still runs.
void TestUpgrade::repairAtStart_data()
{
    QTest::addColumn<Record>("record");
    QTest::addColumn<bool>("repaired");
    QTest::addColumn<bool>("recordLeft");
    QTest::addColumn<int>("status");
    QTest::newRow("half-replaced installation") << Record::Valid << true << false << 12;
    QTest::newRow("record naming another backup") << Record::ForeignBackup << false << true << 0;
    QTest::newRow("upgrade still running") << Record::Locked << false << true << 0;
    // Nothing to repair from: the record goes, so that the next upgrade's full package can.
    QTest::newRow("backup missing") << Record::NoBackup << false << false << 13;
}

void TestUpgrade::repairAtStart()
{
    QFETCH(Record, record);
    QFETCH(bool, repaired);
    QFETCH(bool, recordLeft);
    QFETCH(int, status);

    UpdaterSandbox box;
    QVERIFY(box.isValid() && box.writeDefaultConfig());
    const QString backupDir = box.localDataDir() + "/install_backup";
    const QString recordPath = box.localDataDir() + "/install_repair.json";
    if (record != Record::NoBackup)
        QVERIFY(sample::writeVersionTree(backupDir, sample::kSampleOldVersion));
    QVERIFY(QDir().mkpath(box.installDir()) && QDir().mkpath(box.localDataDir()));
    QVERIFY(QFile::copy(fixture("new/Client.exe"), box.clientPath()));
    const testsupport::Tree half = testsupport::snapshotTree(box.installDir());
    QLockFile upgradeLock(box.localDataDir() + "/install_upgrade.lock");
    QVERIFY(record != Record::Locked || upgradeLock.tryLock(0));
    app::RepairRecord written;
    written.installDir = box.installDir();
    written.backupDir = record == Record::ForeignBackup ? fixture("old") : backupDir;
    written.role = "teacher";
    QVERIFY(written.save(recordPath));

    QCOMPARE(box.run(box.defaultParameters()), 255);
    QCOMPARE(testsupport::treeDifferences(repaired ? m_old : half, testsupport::snapshotTree(box.installDir())),
            QString());
    QCOMPARE(QFileInfo::exists(recordPath), recordLeft);
    // The backup goes only with a whole installation and no upgrade at work.
    QCOMPARE(QFileInfo::exists(backupDir), record == Record::ForeignBackup || record == Record::Locked);
    const QSettings history(box.historyPath(), QSettings::IniFormat);
    QCOMPARE(history.value("history/LastUpgradeStatus").toInt(), status);
}

void TestUpgrade::upgradeTarget_data()
{
    QTest::addColumn<QString>("installDir");
    QTest::addColumn<QString>("backupDir");
    QTest::addColumn<UpgradeTarget>("expected");
    const QString base = fixture("target");
    QDir().mkpath(base + "/Client");
    QDir().mkpath(base + "/data");
    QFile::link("/", base + "/rootlink");
    QFile::link(base + "/Client", base + "/clientlink");
    QTest::newRow("root") << "/" << base + "/data/_backup" << UpgradeTarget::FileSystemRoot;
    QTest::newRow("root spelled with dots") << "/usr/.." << base + "/data/_backup" << UpgradeTarget::FileSystemRoot;
    QTest::newRow("link to root") << base + "/rootlink" << base + "/data/rootlink_backup"
                                  << UpgradeTarget::FileSystemRoot;
    QTest::newRow("separate") << base + "/Client" << base + "/data/Client_backup" << UpgradeTarget::Ok;
    QTest::newRow("sibling with a longer name") << base + "/Client" << base + "/Client_backup" << UpgradeTarget::Ok;
    QTest::newRow("backup inside") << base + "/Client" << base + "/Client/data/Client_backup"
                                   << UpgradeTarget::OverlapsBackup;
    QTest::newRow("backup inside through a link")
            << base + "/clientlink" << base + "/Client/clientlink_backup" << UpgradeTarget::OverlapsBackup;
    for (const QString &shared : { QDir::homePath(), QDir::tempPath(), QString("/usr/bin"),
                 QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) }) {
        QDir().mkpath(shared);
        QTest::newRow(qPrintable("shared " + shared))
                << shared << base + "/data/x_backup" << UpgradeTarget::SharedFolder;
    }
    QTest::newRow("installation inside the backup")
            << base + "/data/Client_backup/Client" << base + "/data/Client_backup" << UpgradeTarget::OverlapsBackup;
}

// Checked on the function itself: a broken guard must never get the chance to copy or empty "/".
void TestUpgrade::upgradeTarget()
{
    QFETCH(QString, installDir);
    QFETCH(QString, backupDir);
    QFETCH(UpgradeTarget, expected);
    QCOMPARE(app::MainApplication::checkUpgradeTarget(installDir, backupDir), expected);
}

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
