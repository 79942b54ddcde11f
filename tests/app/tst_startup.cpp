#include "app/launchparameters.h"
#include "app/mainapplication.h"
#include "app/updateinfomanager.h"
#include "app/updatersettings.h"
#include "utility/platform.h"

#include "common/testenv.h"
#include "common/updatersandbox.h"
#include "sample/versioninfowriter.h"

#include <QLocalServer>
#include <QProcess>
#include <QtTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

using app::LaunchParameters;
using app::ParameterCheck;
using app::SettingsStatus;

Q_DECLARE_METATYPE(app::ParameterCheck)
Q_DECLARE_METATYPE(app::SettingsStatus)

// Launch parameters, settings, the version rule, the translation and the single-instance listen,
// in-process; and a few real starts that must be refused.
class TestStartup : public QObject
{
    Q_OBJECT

    const LaunchParameters m_valid{ "auto", "checkUpdate", "teacher", "/opt/Client.exe", "", "http://h/u.json", "12",
        "en", "34", "m", "" };
    QTemporaryDir m_dir;

private slots:
    // What the hand-off passes on is what the elevated copy reads back, field by field.
    void roundTrip()
    {
        LaunchParameters p = m_valid;
        p.exePath = QStringLiteral("C:\\Program Files (x86)\\教育 客户端/Client.exe");
        p.updateUrl = "https://example.invalid/更新/update.json?a=1&b=%2F";
        p.masterLocalServer = QStringLiteral("master server 服务");
        p.logDirPath = QStringLiteral("/home/老师 用户/logs");
        p.version = "9.9.9.9"; // passed on, never read back: the version is the executable's
        QStringList arguments = p.toArguments();
        QCOMPARE(arguments.at(3), "--exePath=" + QString::fromLatin1(p.exePath.toUtf8().toBase64()));
        QVERIFY(!arguments.join(QString()).contains(' '));
        arguments[0] = "-mode=auto"; // the master writes some with one dash
        LaunchParameters parsed;
        QVERIFY(LaunchParameters::parse(QStringList{ "solupdate" } + arguments, &parsed, nullptr));
        p.version.clear();
        QCOMPARE(parsed.toArguments(), p.toArguments());
        QVERIFY(!LaunchParameters::parse({ "solupdate", "--mode" }, &parsed, nullptr));
    }

    void validation_data()
    {
        QTest::addColumn<QStringList>("changes"); // options given after a valid set
        QTest::addColumn<ParameterCheck>("expected");
        const QList<QPair<QString, ParameterCheck>> rows{
            { "mode=manual", ParameterCheck::Passed },
            { "mode=AUTO", ParameterCheck::Mode },
            { "action=upgrade", ParameterCheck::Passed },
            { "action=realUpgrade", ParameterCheck::Passed },
            { "action=checkupdate", ParameterCheck::Action },
            { "role=student", ParameterCheck::Passed },
            { "role=admin", ParameterCheck::Role },
            { "exePath=", ParameterCheck::RequiredValue },
            { "updateUrl=", ParameterCheck::RequiredValue },
            { "masterPid=", ParameterCheck::RequiredValue },
            { "masterHwnd=", ParameterCheck::RequiredValue },
            { "masterLocalServer=", ParameterCheck::RequiredValue },
            { "lang=cn", ParameterCheck::Passed },
            { "lang=fr", ParameterCheck::Lang },
            { "logDirPath=", ParameterCheck::Passed },
            { "lang=fr mode=never", ParameterCheck::Mode },
        };
        for (const auto &row : rows)
            QTest::newRow(qPrintable(row.first)) << row.first.split(' ') << row.second;
    }

    void validation()
    {
        QFETCH(QStringList, changes);
        LaunchParameters p;
        // The last of a repeated option counts.
        const QStringList arguments = QStringList{ "solupdate" } + m_valid.toArguments()
                + changes.replaceInStrings(QRegularExpression("^"), "--");
        QVERIFY(LaunchParameters::parse(arguments, &p, nullptr));
        QTEST(app::checkLaunchParameters(p), "expected");
    }

    void settings_data()
    {
        QTest::addColumn<QByteArray>("ini"); // empty: no file
        QTest::addColumn<SettingsStatus>("status");
        QTest::addColumn<QString>("values"); // interval,afterCancel,proxy,processes|joined,suffix
        QTest::newRow("missing file") << QByteArray() << SettingsStatus::FileMissing << "0,0,0,,0";
        QTest::newRow("only CheckInterval")
                << QByteArray("[config]\nCheckInterval=3600\n") << SettingsStatus::IntervalInvalid << "3600,0,0,,0";
        QTest::newRow("outside the section") << QByteArray("CheckInterval=60\nCheckIntervalAfterUserCancel=60\n")
                                             << SettingsStatus::IntervalInvalid << "0,0,0,,0";
        const QByteArray both("[config]\nCheckInterval=60\nCheckIntervalAfterUserCancel=120\n");
        QTest::newRow("one process, suffix on")
                << both + "EnableProxy=false\nNeedKilledProcessesBeforeUpgrade=Client.exe\nWithBackupSufix=true\n"
                << SettingsStatus::Ok << "60,120,0,Client.exe,1";
        QTest::newRow("processes trimmed, proxy on")
                << both + "EnableProxy=1\nNeedKilledProcessesBeforeUpgrade=a.exe,b.exe, c.exe\nWithBackupSufix=0\n"
                << SettingsStatus::Ok << "60,120,1,a.exe|b.exe|c.exe,0";
        QTest::newRow("suffix missing means off") << QByteArray(
                "[config]\nCheckInterval=4294967295\nCheckIntervalAfterUserCancel=1\nWithBackupSuffix=1\n")
                                                  << SettingsStatus::Ok << "4294967295,1,0,,0";
        // Only the Base64 of 32 bytes is a key; anything else must not leave the descriptions unchecked.
        const QByteArray key = "PublicKey=" + QByteArray(32, 'k').toBase64();
        QTest::newRow("public key") << both + key << SettingsStatus::Ok << "60,120,0,,0";
        for (const QByteArray &bad :
                { key + "A", key.left(key.size() - 2), key + "\nPublicKey=", QByteArray(key).replace('a', '*') })
            QTest::newRow(bad.constData()) << both + bad << SettingsStatus::PublicKeyInvalid << "60,120,0,,0";
    }

    void settings()
    {
        QFETCH(QByteArray, ini);
        // Tags hold characters that Windows file names may not.
        const QString path = m_dir.filePath(QStringLiteral("%1/solupdate.ini").arg(qHash(QTest::currentDataTag())));
        QVERIFY(ini.isEmpty() || testsupport::writeFile(path, ini));
        app::UpdaterSettings s;
        QTEST(app::readSettings(path, &s), "status");
        QTEST(QStringList({ QString::number(s.checkInterval), QString::number(s.checkIntervalAfterUserCancel),
                                  QString::number(s.enableProxy), s.needKilledProcesses.join('|'),
                                  QString::number(s.withBackupSuffix) })
                        .join(','),
                "values");
    }

    void versionShape()
    {
        for (const char *version : { "1.2.3.4", "1.2.3", "1.2.3 beta" })
            QVERIFY2(app::isValidVersionShape(version), version);
        for (const char *version : { "1.2", "1.2.3.4.5", "1, 2, 3, 4", "", "1.2.3.99999999999" })
            QVERIFY2(!app::isValidVersionShape(version), version);
    }

    void translation_data()
    {
        QTest::addColumn<QString>("executableName"); // empty: as this process was started ("solupdate")
        QTest::addColumn<QString>("cancel");
        QTest::newRow("own name") << QString() << QStringLiteral("取消");
        QTest::newRow("renamed executable") << "solupdate-copy"
                                            << "Cancel";
    }

    void translation()
    {
        QFETCH(QString, executableName);
#ifdef Q_OS_WIN
        if (executableName.isEmpty())
            QSKIP("Windows names a program after its file, never after argv[0]");
#endif
        if (!executableName.isEmpty())
            QCoreApplication::setApplicationName(executableName);
        app::MainApplication::instance()->loadTranslation();
        QTEST(QCoreApplication::translate("ui::UpgradeDialogNew", "Cancel"), "cancel");
    }

    // A name left behind by a killed process reads as in use; it is taken over once. An elevated
    // copy's name lies in the user's runtime folder and is open to the user's processes.
    void listenTakesOverStaleName()
    {
#ifdef Q_OS_WIN
        QSKIP("a Windows pipe name ends with its last holder: none is left behind");
#else
        const QString name = m_dir.filePath(QStringLiteral("server"));
        QVERIFY(testsupport::writeFile(name, "left behind"));
        std::unique_ptr<QLocalServer> server(app::MainApplication::listenOn(name, nullptr));
        QVERIFY(server->isListening() && (QFile::permissions(name) & QFileDevice::WriteOther));
        if (::geteuid() != 0)
            return;
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        QVERIFY(QProcess::execute("chown", { "nobody", m_dir.path() }) == 0);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path()));
        const QString elevated = platform::singleInstanceName("upgrade");
        qputenv("XDG_RUNTIME_DIR", runtime);
        QCOMPARE(elevated, m_dir.filePath("upgrade"));
#endif
    }

    void refusedRun_data()
    {
        QTest::addColumn<QString>("extra");
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("clientVersion");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("lastLines");
        const QByteArray ini("[config]\nCheckInterval=3600\nCheckIntervalAfterUserCancel=86400\n");
        const QString failed = "Critical: application initialize failed";
        QTest::newRow("unknown option, no log") << "--colour=red" << ini << "1.0.0.0" << 1 << QStringList();
        QTest::newRow("invalid mode") << "--mode=sometimes" << ini << "1.0.0.0" << 255
                                      << QStringList{ "Critical: parse commandline error", failed };
        QTest::newRow("no settings file")
                << "" << QByteArray() << "1.0.0.0" << 255
                << QStringList{ "Critical: config file not exists", "Critical: parse config error", failed };
        QTest::newRow("product version 1.2")
                << "" << ini << "1.2" << 255
                << QStringList{ "Critical: product version is invalid, version:1.2", failed };
        QTest::newRow("malformed public key")
                << "" << ini + "PublicKey=key"
                << "1.0.0.0" << 255
                << QStringList{ "Critical: parsed config public key invalid", "Critical: parse config error", failed };
    }

    // Real starts, without any display: each is refused with its status and its last log lines.
    void refusedRun()
    {
        QFETCH(QString, extra);
        QFETCH(QByteArray, ini);
        QFETCH(QString, clientVersion);
        QFETCH(QStringList, lastLines);
#ifdef Q_OS_WIN
        if (clientVersion == "1.2")
            QSKIP("version.dll reads PE images only, and the sandbox's client is a plain file");
#endif
        testsupport::UpdaterSandbox sandbox;
        QVERIFY(sandbox.isValid() && (ini.isEmpty() || sandbox.writeConfig(ini)));
        QVERIFY(sample::writeFileWithVersionInfo(sandbox.clientPath(), clientVersion));
        QProcessEnvironment env = sandbox.environment();
        for (const char *name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
            env.remove(name);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(sandbox.updaterPath(),
                sandbox.defaultParameters().toArguments() + extra.split(' ', Qt::SkipEmptyParts));
        QVERIFY(process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit);
        QFETCH(int, status);
#ifdef Q_OS_WIN
        // main() returns -1, which Windows hands on whole and POSIX cuts to 255.
        if (status == 255)
            status = -1;
#endif
        QCOMPARE(process.exitCode(), status);
        const QStringList messages = sandbox.logMessages();
        QCOMPARE(messages.mid(messages.size() - lastLines.size()), lastLines);
        QCOMPARE(sandbox.logFiles().isEmpty(), lastLines.isEmpty());
    }
};

int main(int argc, char *argv[])
{
    // The application object of a process named solupdate, as the updater runs: the translation
    // is looked up under that name.
    QStandardPaths::setTestModeEnabled(true);
    char name[] = "solupdate";
    char lang[] = "--lang=cn";
    char *appArgv[] = { name, lang, nullptr };
    int appArgc = 2;
    app::MainApplication application(appArgc, appArgv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
