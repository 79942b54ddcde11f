#include "common/testenv.h"
#include "common/updatersandbox.h"
#include "versioninfo/versioninfowriter.h"

#include <QtTest>

using testsupport::UpdaterSandbox;

// The real updater as a process: launch parameters, settings and the startup checks, read back from
// its exit status and its log file.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void parserErrorsEndBeforeLogging_data();
    void parserErrorsEndBeforeLogging();
    void invalidParameters_data();
    void invalidParameters();
    void acceptedParameters_data();
    void acceptedParameters();
    void parsedLineShowsDecodedMembers();
    void settings_data();
    void settings();
    void productVersion_data();
    void productVersion();
    void versionParameterIsIgnored();
    void runsWithoutDisplay();
};

// A sandbox with the default settings and a client executable; an empty version gives a client
// without any version block.
static bool prepare(UpdaterSandbox &sandbox, const QString &clientVersion = QString())
{
    if (!sandbox.isValid() || !sandbox.writeDefaultConfig())
        return false;
    return clientVersion.isEmpty() ? testsupport::writeFile(sandbox.clientPath(), "client")
                                   : testsupport::writeFileWithVersionInfo(sandbox.clientPath(), clientVersion);
}

void TestStartup::parserErrorsEndBeforeLogging_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("unknown option") << QStringList{ "--colour=red" };
    QTest::newRow("option without value") << QStringList{ "--lang" };
}

void TestStartup::parserErrorsEndBeforeLogging()
{
    QFETCH(QStringList, extra);
    UpdaterSandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(sandbox.writeDefaultConfig());
    QCOMPARE(sandbox.run(sandbox.defaultParameters().toArguments() + extra), 1);
    QVERIFY(sandbox.logFiles().isEmpty());
    // Nor in the default directory.
    QVERIFY(!QDir(sandbox.home()).exists(".local/share/SolvaneClient"));
    QVERIFY(!sandbox.standardError().isEmpty());
}

void TestStartup::invalidParameters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("remove");
    QTest::addColumn<QString>("expectedBeforeFailure");

    const QString none;
    QTest::newRow("mode bogus") << "mode" << "sometimes" << false << none;
    QTest::newRow("mode upper case") << "mode" << "AUTO" << false << none;
    QTest::newRow("mode missing") << "mode" << "" << true << none;
    QTest::newRow("action all lower case") << "action" << "checkupdate" << false << none;
    QTest::newRow("action bogus") << "action" << "install" << false << none;
    QTest::newRow("action empty") << "action" << "" << false << none;
    QTest::newRow("role bogus") << "role" << "admin" << false << none;
    QTest::newRow("role missing") << "role" << "" << true << none;
    QTest::newRow("exePath missing") << "exePath" << "" << true << none;
    QTest::newRow("updateUrl empty") << "updateUrl" << "" << false << none;
    QTest::newRow("masterPid missing") << "masterPid" << "" << true << none;
    QTest::newRow("masterHwnd missing") << "masterHwnd" << "" << true << none;
    QTest::newRow("masterLocalServer empty") << "masterLocalServer" << "" << false << none;
    QTest::newRow("lang fr") << "lang" << "fr" << false << none;
    QTest::newRow("lang missing") << "lang" << "" << true << none;
    QTest::newRow("exe does not exist") << "exePath" << "/no/such/Client.exe" << false
                                        << "Critical: product exe path not exists.";
}

static QStringList withParameter(const QStringList &arguments, const QString &name, const QString &value,
                                 bool remove)
{
    static const QStringList base64{ "exePath", "updateUrl", "masterLocalServer", "logDirPath" };
    QStringList result;
    for (const QString &argument : arguments) {
        if (!argument.startsWith("--" + name + "=")) {
            result << argument;
        } else if (!remove) {
            result << "--" + name + "="
                            + (base64.contains(name) ? QString::fromLatin1(value.toUtf8().toBase64()) : value);
        }
    }
    return result;
}

void TestStartup::invalidParameters()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(bool, remove);
    QFETCH(QString, expectedBeforeFailure);

    UpdaterSandbox sandbox;
    QVERIFY(prepare(sandbox));
    const QStringList arguments = withParameter(sandbox.defaultParameters().toArguments(), name, value, remove);
    QCOMPARE(sandbox.run(arguments), 255);

    const QStringList messages = sandbox.logMessages();
    QVERIFY2(messages.size() >= 2, qPrintable(messages.join('\n')));
    QCOMPARE(messages.first(), QStringLiteral("Info: mainapplication initialize"));
    QVERIFY(messages.at(1).startsWith("Debug: parsed commaindline: mode:"));
    // The whole log: a check that fails logs nothing more, and the executable is looked for only
    // after every other parameter passed.
    QStringList tail{ "Critical: parse commandline error", "Critical: application initialize failed" };
    if (!expectedBeforeFailure.isEmpty())
        tail = QStringList{ "Info: Init exe name.", expectedBeforeFailure } + tail;
    QCOMPARE(messages.mid(2), tail);
    // Validation stops the run before the settings are read.
    QVERIFY(!sandbox.log().contains("parsed config"));
}

void TestStartup::acceptedParameters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("remove");

    QTest::newRow("mode auto") << "mode" << "auto" << false;
    QTest::newRow("mode manual") << "mode" << "manual" << false;
    QTest::newRow("action checkUpdate") << "action" << "checkUpdate" << false;
    QTest::newRow("action realUpgrade") << "action" << "realUpgrade" << false;
    QTest::newRow("role teacher") << "role" << "teacher" << false;
    QTest::newRow("role student") << "role" << "student" << false;
    QTest::newRow("lang en") << "lang" << "en" << false;
    QTest::newRow("lang cn") << "lang" << "cn" << false;
    QTest::newRow("version anything") << "version" << "not a version" << false;
    QTest::newRow("logDirPath missing") << "logDirPath" << "" << true;
}

void TestStartup::acceptedParameters()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(bool, remove);

    UpdaterSandbox sandbox;
    // Without a product version the run stops right after validation and the settings.
    QVERIFY(prepare(sandbox));
    const QStringList arguments = withParameter(sandbox.defaultParameters().toArguments(), name, value, remove);
    QCOMPARE(sandbox.run(arguments), 255);

    const QStringList messages = sandbox.logMessages();
    QVERIFY2(!messages.contains("Critical: parse commandline error"), qPrintable(messages.join('\n')));
    QCOMPARE(messages.value(2), QStringLiteral("Info: Init exe name."));
    QVERIFY(messages.contains("Critical: product version is invalid, version:"));
    // Without a log directory parameter the log lies in the default directory.
    const QStringList logs = sandbox.logFiles();
    QCOMPARE(logs.size(), 1);
    QCOMPARE(QFileInfo(logs.first()).absolutePath(), remove ? sandbox.defaultLogDir() : sandbox.logDir());
}

void TestStartup::parsedLineShowsDecodedMembers()
{
    UpdaterSandbox sandbox;
    QVERIFY(prepare(sandbox));
    app::LaunchParameters p = sandbox.defaultParameters();
    p.mode = "auto";
    // Percent escapes are no placeholders of the line.
    p.updateUrl = QStringLiteral("http://127.0.0.1:1/更新 list.json?dir=a%2Fb%1");
    p.masterLocalServer = QStringLiteral("主 server");
    p.version = "9.9.9.9"; // passed on the command line, never used
    QStringList arguments = p.toArguments();
    // One-dash long options mean the same.
    arguments.replaceInStrings(QRegularExpression("^--(mode|role)="), "-\\1=");
    sandbox.run(arguments);

    const QString expected = QStringLiteral("Debug: parsed commaindline: mode:auto, action:checkUpdate, role:teacher, "
                                            "exePath:%1, version:, updateUrl:http://127.0.0.1:1/更新 list.json?dir=a%2Fb%1, "
                                            "masterPid:4711, language:en, masterMainwin:1234, masterLocalServer:主 "
                                            "server, logDirPath:%2")
                                     .replace("exePath:%1", "exePath:" + sandbox.clientPath())
                                     .replace("logDirPath:%2", "logDirPath:" + sandbox.logDir());
    QCOMPARE(sandbox.logMessages().value(1), expected);
    QCOMPARE(sandbox.logMessages().value(2), QStringLiteral("Info: Init exe name."));
}

void TestStartup::settings_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("expected");

    const QString fail = "Critical: parse config error";
    const QString appFail = "Critical: application initialize failed";
    QTest::newRow("missing file") << QByteArray() << QStringList{ "Critical: config file not exists", fail, appFail };
    QTest::newRow("only CheckInterval")
            << QByteArray("[config]\nCheckInterval=3600\n")
            << QStringList{ "Info: parsed config: check_interval:3600,check_interval_after_user_cancel:0,"
                            "enable_proxy:0,need_killed_processes_before_upgrade:,with_backup_sufix:0",
                            "Critical: parsed config key invalid", fail, appFail };
    QTest::newRow("negative interval reads as 0")
            << QByteArray("[config]\nCheckInterval=-1\nCheckIntervalAfterUserCancel=60\n")
            << QStringList{ "Info: parsed config: check_interval:0,check_interval_after_user_cancel:60,"
                            "enable_proxy:0,need_killed_processes_before_upgrade:,with_backup_sufix:0",
                            "Critical: parsed config key invalid", fail, appFail };
    QTest::newRow("not a number reads as 0")
            << QByteArray("[config]\nCheckInterval=60\nCheckIntervalAfterUserCancel=daily\n")
            << QStringList{ "Info: parsed config: check_interval:60,check_interval_after_user_cancel:0,"
                            "enable_proxy:0,need_killed_processes_before_upgrade:,with_backup_sufix:0",
                            "Critical: parsed config key invalid", fail, appFail };
    QTest::newRow("keys outside the section")
            << QByteArray("CheckInterval=60\nCheckIntervalAfterUserCancel=60\n")
            << QStringList{ "Info: parsed config: check_interval:0,check_interval_after_user_cancel:0,"
                            "enable_proxy:0,need_killed_processes_before_upgrade:,with_backup_sufix:0",
                            "Critical: parsed config key invalid", fail, appFail };
    // A valid file lets the run go on to the product version, which this client does not carry.
    const QString versionFail = "Critical: product version is invalid, version:";
    QTest::newRow("one process, suffix on")
            << QByteArray("[config]\nCheckInterval=60\nCheckIntervalAfterUserCancel=120\nEnableProxy=false\n"
                          "NeedKilledProcessesBeforeUpgrade=Client.exe\nWithBackupSufix=true\n")
            << QStringList{ "Info: parsed config: check_interval:60,check_interval_after_user_cancel:120,"
                            "enable_proxy:0,need_killed_processes_before_upgrade:Client.exe,with_backup_sufix:1",
                            "Info: product version:", versionFail, appFail };
    QTest::newRow("list of processes, proxy on")
            << QByteArray("[config]\nCheckInterval=60\nCheckIntervalAfterUserCancel=120\nEnableProxy=1\n"
                          "NeedKilledProcessesBeforeUpgrade=a.exe,b.exe, c.exe\nWithBackupSufix=0\n")
            << QStringList{ "Info: parsed config: check_interval:60,check_interval_after_user_cancel:120,"
                            "enable_proxy:1,need_killed_processes_before_upgrade:a.exe,b.exe,c.exe,"
                            "with_backup_sufix:0",
                            "Info: product version:", versionFail, appFail };
    QTest::newRow("a process name with a percent sign")
            << QByteArray("[config]\nCheckInterval=60\nCheckIntervalAfterUserCancel=120\n"
                          "NeedKilledProcessesBeforeUpgrade=a%5.exe,%1b.exe\n")
            << QStringList{ "Info: parsed config: check_interval:60,check_interval_after_user_cancel:120,"
                            "enable_proxy:0,need_killed_processes_before_upgrade:a%5.exe,%1b.exe,with_backup_sufix:0",
                            "Info: product version:", versionFail, appFail };
    QTest::newRow("suffix missing means off")
            << QByteArray("[config]\nCheckInterval=4294967295\nCheckIntervalAfterUserCancel=1\n")
            << QStringList{ "Info: parsed config: check_interval:4294967295,check_interval_after_user_cancel:1,"
                            "enable_proxy:0,need_killed_processes_before_upgrade:,with_backup_sufix:0",
                            "Info: product version:", versionFail, appFail };
}

void TestStartup::settings()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, expected);

    UpdaterSandbox sandbox;
    QVERIFY(sandbox.isValid());
    if (!ini.isEmpty())
        QVERIFY(sandbox.writeConfig(ini));
    QVERIFY(testsupport::writeFile(sandbox.clientPath(), "a client without a version"));
    QCOMPARE(sandbox.run(sandbox.defaultParameters()), 255);
    const QStringList messages = sandbox.logMessages();
    QCOMPARE(messages.mid(messages.size() - expected.size()), expected);
}

void TestStartup::productVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("four numbers") << "1.2.3.4" << true;
    QTest::newRow("three numbers") << "1.2.3" << true;
    QTest::newRow("trailing label") << "1.2.3 beta" << true;
    QTest::newRow("two numbers") << "1.2" << false;
    QTest::newRow("five numbers") << "1.2.3.4.5" << false;
    QTest::newRow("commas and blanks") << "1, 2, 3, 4" << false;
    QTest::newRow("letters") << "v1.2.3" << false;
}

void TestStartup::productVersion()
{
    QFETCH(QString, version);
    QFETCH(bool, accepted);
    UpdaterSandbox sandbox;
    QVERIFY(prepare(sandbox, version));
    app::LaunchParameters p = sandbox.defaultParameters();
    p.mode = "auto"; // an automatic check that cannot download ends without telling anyone
    QCOMPARE(sandbox.run(p), 255);
    const QStringList messages = sandbox.logMessages();
    QVERIFY(messages.contains("Info: product version:" + version));
    const QString invalid = "Critical: product version is invalid, version:" + version;
    if (accepted) {
        QVERIFY(!messages.contains(invalid));
        QVERIFY2(messages.contains("Info: create mainrunner, action:checkUpdate"), qPrintable(messages.join('\n')));
        QVERIFY(messages.contains("Info: main runner run complete, ret:0"));
        // The history is read after the startup checks, before the runner.
        QVERIFY(messages.contains("Info: history confit not exists"));
    } else {
        QCOMPARE(messages.mid(messages.size() - 2), (QStringList{ invalid, "Critical: application initialize failed" }));
        QVERIFY(!messages.contains("Info: mainapplication init localserver"));
    }
}

void TestStartup::versionParameterIsIgnored()
{
    UpdaterSandbox sandbox;
    QVERIFY(prepare(sandbox, "1.2"));
    app::LaunchParameters p = sandbox.defaultParameters();
    QStringList arguments = p.toArguments();
    arguments.replaceInStrings(QRegularExpression("^--version=.*$"), "--version=3.4.5.6");
    QCOMPARE(sandbox.run(arguments), 255);
    const QStringList messages = sandbox.logMessages();
    QVERIFY(messages.value(1).contains(", version:, updateUrl:"));
    QVERIFY(messages.contains("Critical: product version is invalid, version:1.2"));
}

void TestStartup::runsWithoutDisplay()
{
    // Without a display and without a chosen platform, QApplication would abort the process.
    UpdaterSandbox sandbox;
    QVERIFY(prepare(sandbox, "1.0.0.0"));
    QProcessEnvironment env = sandbox.environment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    QProcess process;
    process.setProcessEnvironment(env);
    app::LaunchParameters p = sandbox.defaultParameters();
    p.mode = "auto";
    process.start(sandbox.updaterPath(), p.toArguments());
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 255);
    QVERIFY(sandbox.logMessages().contains("Info: main runner run complete, ret:0"));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
