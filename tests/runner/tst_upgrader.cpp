#include "runnertestkit.h"
#include "upgrade/treecompare.h"

#include "app/launchparameters.h"
#include "app/mainapplication.h"
#include "common/logcapture.h"
#include "runner/upgrader.h"
#include "versioninfo/versioninfowriter.h"

#include <QtTest>

using runner::Upgrader;
using runnertest::StandIn;
using testsupport::LogCapture;

namespace {

struct Recorder : Upgrader::Delegate
{
    QList<QPair<int, int>> progress;
    QList<bool> outcomes;
    int fallbacks = 0;
    void onUpgradeProgress(int elapsed, int duration) override { progress.append({ elapsed, duration }); }
    void onUpgradeComplete(bool success) override { outcomes.append(success); }
    void onUpgradeFallback(bool) override { ++fallbacks; }
};

const runnertest::Files kOldTree{
    { "Client.exe", "client 1.0" },
    { "lib/core.dll", QByteArray(3000, 'c') + "core 1.0" },
    { "res/gone.txt", "removed in 1.1" },
    { "readme.txt", "read me" },
};

const runnertest::Files kNewTree{
    { "Client.exe", "client 1.1" },
    { "lib/core.dll", QByteArray(3000, 'c') + "core 1.1" },
    { "lib/new.dll", "added in 1.1" },
    { "readme.txt", "read me" },
};

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

// The applier of one package: the tool's command line, the output tree beside the package, the
// ".backup" renames around the tool, the copy into the installation, the progress ticks, and the
// one report it sends.
class TestUpgrader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void initializeRefuses_data();
    void initializeRefuses();
    void failingToolLeavesInstallation_data();
    void failingToolLeavesInstallation();
    void realToolAppliesIncrementalPackage();
    void realToolRefusesCorruptPackage();
    void crashReportsOnce();
    void progressTicksPerApplier();
    void noProgressWithoutDuration();
    void fallBackKillsToolAndReportsNothing();
    void missingToolReportsAfterRunReturned();
    void destroyedApplierKillsTool();

private:
    QString installDir() const { return app::MainApplication::instance()->installDir(); }
    QString packagePath(const QString &name = QStringLiteral("client_1.1.0.0.pkg")) const
    {
        return m_data.filePath(name);
    }

    QTemporaryDir m_data;
    std::shared_ptr<Recorder> m_recorder;
};

void TestUpgrader::init()
{
    QVERIFY(m_data.isValid());
    QVERIFY(runnertest::writeTree(installDir(), kOldTree));
    m_recorder = std::make_shared<Recorder>();
}

void TestUpgrader::cleanup()
{
    runnertest::removeTool();
}

void TestUpgrader::initializeRefuses_data()
{
    QTest::addColumn<bool>("packageExists");
    QTest::addColumn<bool>("withInfo");
    QTest::addColumn<QString>("expected");
    QTest::newRow("package missing") << false << true << "upgrader package is not exist:%1";
    QTest::newRow("no package entry") << true << false << "upgrader package info is null";
}

void TestUpgrader::initializeRefuses()
{
    QFETCH(bool, packageExists);
    QFETCH(bool, withInfo);
    QFETCH(QString, expected);
    const QString package = packagePath();
    QFile::remove(package);
    if (packageExists)
        QVERIFY(QFile::copy(installDir() + "/readme.txt", package));
    QVERIFY(runnertest::installStandInTool({}));

    LogCapture log;
    Upgrader upgrader;
    const auto info = withInfo ? std::make_shared<app::UpdateInfoManager::PackageInfo>() : nullptr;
    QVERIFY(!upgrader.initialize(m_recorder, package, info, 1000));
    QCOMPARE(log.texts(QtCriticalMsg), QStringList{ expected.arg(package) });
    // Without a process there is nothing to run, and the installation is untouched.
    QVERIFY(!upgrader.run());
    QVERIFY(runnertest::recordedArguments().isEmpty());
    QCOMPARE(runnertest::fileList(installDir()), QStringList(kOldTree.keys()));
    QVERIFY(m_recorder->outcomes.isEmpty());
    QFile::remove(package);
}

void TestUpgrader::failingToolLeavesInstallation_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expectedCritical");
    QTest::newRow("corrupt package") << 3 << QByteArray("hpatchz: corrupt package") << QString();
    QTest::newRow("bad arguments") << 1 << QByteArray() << QString();
    // A tool that claims success without writing a tree must not cost the installation.
    QTest::newRow("exit 0 without output") << 0 << QByteArray("done") << "upgrader output dir is missing:%1";
}

void TestUpgrader::failingToolLeavesInstallation()
{
    QFETCH(int, exitCode);
    QFETCH(QByteArray, text);
    QFETCH(QString, expectedCritical);
    StandIn standIn;
    standIn.exitCode = exitCode;
    standIn.text = text;
    QVERIFY(runnertest::installStandInTool(standIn));
    const QString package = packagePath();
    QVERIFY(QFile::copy(installDir() + "/readme.txt", package));
    const QString outputDir = m_data.filePath("client_1.1.0.0");
    // A tree left by an earlier attempt is not handed to the tool.
    QVERIFY(runnertest::writeTree(outputDir, { { "stale.txt", "old attempt" } }));
    const testsupport::Tree before = testsupport::snapshotTree(installDir());

    LogCapture log;
    Upgrader upgrader;
    QVERIFY(upgrader.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 0));
    QCOMPARE(upgrader.outputDir(), outputDir);
    QVERIFY(upgrader.run());
    QTRY_COMPARE(m_recorder->outcomes, QList<bool>{ false });

    QCOMPARE(runnertest::recordedArguments(),
             QStringList({ "-C-diff", "-f", installDir(), package, outputDir }));
    // The tool saw every installed name with ".backup" appended, the stale tree already gone.
    QCOMPARE(sorted(runnertest::recordedListing()),
             sorted({ "Client.exe.backup", "lib", "readme.txt.backup", "res" }));
    QCOMPARE(testsupport::treeDifferences(before, testsupport::snapshotTree(installDir())), QString());
    QVERIFY(!QFileInfo::exists(outputDir));
    QVERIFY(!QFileInfo::exists(package));
    QVERIFY(log.texts(QtInfoMsg).contains(QStringLiteral("upgrader finished, exitCode = %1,status = 0").arg(exitCode)));
    if (!text.isEmpty())
        QVERIFY(log.texts(QtInfoMsg).contains(QString::fromUtf8(text)));
    const QStringList critical = expectedCritical.isEmpty() ? QStringList() : QStringList{ expectedCritical.arg(outputDir) };
    QCOMPARE(log.texts(QtCriticalMsg), critical);
    QCOMPARE(m_recorder->fallbacks, 0);
}

void TestUpgrader::realToolAppliesIncrementalPackage()
{
    QVERIFY(runnertest::installRealTool());
    const QString oldDir = m_data.filePath("old");
    const QString newDir = m_data.filePath("new");
    QVERIFY(runnertest::writeTree(oldDir, kOldTree));
    QVERIFY(runnertest::writeTree(newDir, kNewTree));
    const QString package = packagePath();
    QVERIFY(runnertest::makePackage(oldDir, newDir, package));

    LogCapture log;
    Upgrader upgrader;
    QVERIFY(upgrader.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 1000));
    QVERIFY(upgrader.run());
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->outcomes, QList<bool>{ true }, 30000);
    QCOMPARE(testsupport::treeDifferences(testsupport::snapshotTree(newDir), testsupport::snapshotTree(installDir())), QString());
    QVERIFY(!QFileInfo::exists(upgrader.outputDir()));
    QVERIFY(!QFileInfo::exists(package));
    QCOMPARE(log.texts(QtCriticalMsg), QStringList());
    QVERIFY(log.texts(QtInfoMsg).contains("upgrader finished, exitCode = 0,status = 0"));
}

void TestUpgrader::realToolRefusesCorruptPackage()
{
    QVERIFY(runnertest::installRealTool());
    const QString oldDir = m_data.filePath("old");
    const QString newDir = m_data.filePath("new");
    QVERIFY(runnertest::writeTree(oldDir, kOldTree));
    QVERIFY(runnertest::writeTree(newDir, kNewTree));
    const QString package = packagePath();
    QVERIFY(runnertest::makePackage(oldDir, newDir, package));
    QFile file(package);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    for (int i = bytes.size() / 2; i < bytes.size(); i += 7)
        bytes[i] = char(bytes[i] ^ 0x5a);
    QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
    file.close();
    const testsupport::Tree before = testsupport::snapshotTree(installDir());

    Upgrader upgrader;
    QVERIFY(upgrader.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 1000));
    QVERIFY(upgrader.run());
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->outcomes, QList<bool>{ false }, 30000);
    QCOMPARE(testsupport::treeDifferences(before, testsupport::snapshotTree(installDir())), QString());
    QVERIFY(!QFileInfo::exists(upgrader.outputDir()));
    QVERIFY(!QFileInfo::exists(package));
}

void TestUpgrader::crashReportsOnce()
{
    StandIn standIn;
    standIn.ending = StandIn::Crash;
    QVERIFY(runnertest::installStandInTool(standIn));
    const QString package = packagePath();
    QVERIFY(QFile::copy(installDir() + "/readme.txt", package));
    const testsupport::Tree before = testsupport::snapshotTree(installDir());

    LogCapture log;
    Upgrader upgrader;
    QVERIFY(upgrader.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 0));
    QVERIFY(upgrader.run());
    // The crash arrives as an error and then as a finish; only the first is reported.
    QTRY_VERIFY(log.texts(QtInfoMsg).filter("upgrader finished").size() == 1);
    QCOMPARE(m_recorder->outcomes, QList<bool>{ false });
    QVERIFY(log.texts(QtCriticalMsg).contains("upgrader process Error = 1"));
    QCOMPARE(testsupport::treeDifferences(before, testsupport::snapshotTree(installDir())), QString());
}

void TestUpgrader::progressTicksPerApplier()
{
    // A fast failure stops the first applier's timer part-way ...
    StandIn quick;
    quick.exitCode = 3;
    quick.sleepSeconds = "0.7";
    QVERIFY(runnertest::installStandInTool(quick));
    QString package = packagePath("incremental.pkg");
    QVERIFY(QFile::copy(installDir() + "/readme.txt", package));
    {
        Upgrader first;
        QVERIFY(first.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 5000));
        QVERIFY(first.run());
        QTRY_COMPARE_WITH_TIMEOUT(m_recorder->outcomes, QList<bool>{ false }, 10000);
        QVERIFY(!m_recorder->progress.isEmpty());
        QVERIFY(m_recorder->progress.size() < 25);
    }

    // ... and the next one still starts its animation from the first tick.
    StandIn slow;
    slow.ending = StandIn::Hang;
    QVERIFY(runnertest::installStandInTool(slow));
    package = packagePath("full.pkg");
    QVERIFY(QFile::copy(installDir() + "/readme.txt", package));
    auto second = std::make_shared<Recorder>();
    Upgrader upgrader;
    QVERIFY(upgrader.initialize(second, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 600));
    QVERIFY(upgrader.run());
    auto *timer = upgrader.findChild<QTimer *>();
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 200);
    QCOMPARE(timer->timerType(), Qt::PreciseTimer);
    QTRY_VERIFY_WITH_TIMEOUT(!timer->isActive(), 10000);
    QCOMPARE(second->progress, (QList<QPair<int, int>>{ { 200, 600 }, { 400, 600 }, { 600, 600 } }));
    upgrader.fallBack();
    QVERIFY(second->outcomes.isEmpty());
}

void TestUpgrader::noProgressWithoutDuration()
{
    StandIn standIn;
    standIn.exitCode = 2;
    standIn.sleepSeconds = "0.5";
    QVERIFY(runnertest::installStandInTool(standIn));
    const QString package = packagePath();
    QVERIFY(QFile::copy(installDir() + "/readme.txt", package));
    Upgrader upgrader;
    QVERIFY(upgrader.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 0));
    QVERIFY(upgrader.run());
    QVERIFY(!upgrader.findChild<QTimer *>());
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder->outcomes, QList<bool>{ false }, 10000);
    QVERIFY(m_recorder->progress.isEmpty());
}

void TestUpgrader::fallBackKillsToolAndReportsNothing()
{
    StandIn standIn;
    standIn.ending = StandIn::Hang;
    QVERIFY(runnertest::installStandInTool(standIn));
    const QString package = packagePath();
    QVERIFY(QFile::copy(installDir() + "/readme.txt", package));

    LogCapture log;
    Upgrader upgrader;
    QVERIFY(upgrader.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 0));
    QVERIFY(upgrader.run());
    QTRY_VERIFY(!runnertest::recordedListing().isEmpty());
    upgrader.fallBack();
    QTRY_VERIFY(!log.texts(QtInfoMsg).filter("upgrader finished").isEmpty());
    QVERIFY(log.texts(QtInfoMsg).contains("upgrader falling back"));
    // Let any queued report arrive before looking.
    QCoreApplication::processEvents();
    QVERIFY(m_recorder->outcomes.isEmpty());
    QCOMPARE(m_recorder->fallbacks, 0);
    QVERIFY(!QFileInfo::exists(package));
}

void TestUpgrader::missingToolReportsAfterRunReturned()
{
    runnertest::removeTool();
    const QString package = packagePath();
    QVERIFY(QFile::copy(installDir() + "/readme.txt", package));
    const testsupport::Tree before = testsupport::snapshotTree(installDir());

    LogCapture log;
    Upgrader upgrader;
    QVERIFY(upgrader.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 1000));
    QVERIFY(upgrader.run());
    // The caller sets up its wait after run() returns; the report must not have come yet.
    QVERIFY(m_recorder->outcomes.isEmpty());
    QTRY_COMPARE(m_recorder->outcomes, QList<bool>{ false });
    QVERIFY(log.texts(QtCriticalMsg).contains("upgrader process Error = 0"));
    QCOMPARE(testsupport::treeDifferences(before, testsupport::snapshotTree(installDir())), QString());
    QVERIFY(!QFileInfo::exists(package));
}

void TestUpgrader::destroyedApplierKillsTool()
{
    StandIn standIn;
    standIn.ending = StandIn::Hang;
    QVERIFY(runnertest::installStandInTool(standIn));
    const QString package = packagePath();
    QVERIFY(QFile::copy(installDir() + "/readme.txt", package));

    LogCapture log;
    {
        Upgrader upgrader;
        QVERIFY(upgrader.initialize(m_recorder, package, std::make_shared<app::UpdateInfoManager::PackageInfo>(), 1000));
        QVERIFY(upgrader.run());
        QTRY_VERIFY(!runnertest::recordedListing().isEmpty());
    }
    QVERIFY(log.texts().filter("Destroyed while process").isEmpty());
    QVERIFY(m_recorder->outcomes.isEmpty());
}

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    // The applier takes the installation from the application object, which takes it from the
    // exePath launch parameter.
    QTemporaryDir root;
    const QString exePath = root.path() + "/Client/Client.exe";
    if (!root.isValid() || !testsupport::writeFileWithVersionInfo(exePath, "1.0.0.0"))
        return 1;
    const QByteArray exeArgument = "--exePath=" + exePath.toUtf8().toBase64();
    int appArgc = 2;
    char *appArgv[] = { argv[0], const_cast<char *>(exeArgument.constData()), nullptr };
    app::MainApplication::choosePlatform(appArgc, appArgv);
    app::MainApplication application(appArgc, appArgv);
    if (!application.initExeName())
        return 1;
    TestUpgrader test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_upgrader.moc"
