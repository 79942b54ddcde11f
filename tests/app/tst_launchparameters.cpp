#include "app/launchparameters.h"

#include <QtTest>

using app::LaunchParameters;

class TestLaunchParameters : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void rebuiltCommandLine();
    void roundTrip_data();
    void roundTrip();
};

static QByteArray b64(const QString &text)
{
    return text.toUtf8().toBase64();
}

void TestLaunchParameters::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");

    QTest::newRow("two dashes") << QStringList{ "--mode=auto" } << true << "mode" << "auto";
    QTest::newRow("one dash is a long option") << QStringList{ "-mode=auto" } << true << "mode" << "auto";
    QTest::newRow("value as next argument") << QStringList{ "--role", "student" } << true << "role" << "student";
    QTest::newRow("empty value") << QStringList{ "--lang=" } << true << "lang" << "";
    QTest::newRow("action kept as written") << QStringList{ "--action=checkupdate" } << true << "action"
                                            << "checkupdate";
    QTest::newRow("exePath decoded")
            << QStringList{ QString::fromLatin1("--exePath=" + b64(QStringLiteral("C:/Program Files/客户端/a.exe"))) }
            << true << "exePath" << QStringLiteral("C:/Program Files/客户端/a.exe");
    QTest::newRow("updateUrl decoded")
            << QStringList{ QString::fromLatin1("--updateUrl=" + b64(QStringLiteral("https://h/u.json?a=1&b=2"))) }
            << true << "updateUrl" << "https://h/u.json?a=1&b=2";
    QTest::newRow("masterLocalServer decoded")
            << QStringList{ QString::fromLatin1("--masterLocalServer=" + b64(QStringLiteral("srv name"))) } << true
            << "masterLocalServer"
            << "srv name";
    QTest::newRow("logDirPath decoded")
            << QStringList{ QString::fromLatin1("--logDirPath=" + b64(QStringLiteral("/tmp/日志 dir"))) } << true
            << "logDirPath" << QStringLiteral("/tmp/日志 dir");
    QTest::newRow("pid plain") << QStringList{ "--masterPid=4711" } << true << "masterPid" << "4711";
    QTest::newRow("hwnd plain") << QStringList{ "--masterHwnd=99" } << true << "masterHwnd" << "99";
    QTest::newRow("version ignored") << QStringList{ "--version=9.9.9.9" } << true << "version" << "";
    QTest::newRow("not base64 decodes to junk, no error")
            << QStringList{ "--exePath=***" } << true << "exePath" << "";
    QTest::newRow("unknown option") << QStringList{ "--colour=red" } << false << "" << "";
    QTest::newRow("missing value at end") << QStringList{ "--mode" } << false << "" << "";
    QTest::newRow("help is not an option") << QStringList{ "--help" } << false << "" << "";
}

void TestLaunchParameters::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, accepted);
    QFETCH(QString, field);
    QFETCH(QString, expected);

    LaunchParameters parsed;
    QString error;
    QCOMPARE(LaunchParameters::parse(QStringList{ "solupdate" } + arguments, &parsed, &error), accepted);
    if (!accepted) {
        QVERIFY(!error.isEmpty());
        return;
    }
    const QMap<QString, QString> fields{
        { "mode", parsed.mode },         { "action", parsed.action },
        { "role", parsed.role },         { "exePath", parsed.exePath },
        { "version", parsed.version },   { "updateUrl", parsed.updateUrl },
        { "masterPid", parsed.masterPid }, { "lang", parsed.lang },
        { "masterHwnd", parsed.masterHwnd }, { "masterLocalServer", parsed.masterLocalServer },
        { "logDirPath", parsed.logDirPath },
    };
    QVERIFY(fields.contains(field));
    QCOMPARE(fields.value(field), expected);
    // Every other field stays empty.
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (it.key() != field)
            QVERIFY2(it.value().isEmpty(), qPrintable(it.key()));
    }
}

void TestLaunchParameters::rebuiltCommandLine()
{
    LaunchParameters p;
    p.mode = "auto";
    p.action = "realUpgrade";
    p.role = "teacher";
    p.exePath = "/opt/client/Client.exe";
    p.updateUrl = "http://h/u.json";
    p.masterPid = "12";
    p.lang = "cn";
    p.masterHwnd = "34";
    p.masterLocalServer = "master";
    p.logDirPath = "";
    const QStringList expected{
        "--mode=auto",
        "--action=realUpgrade",
        "--role=teacher",
        "--exePath=L29wdC9jbGllbnQvQ2xpZW50LmV4ZQ==",
        "--version=",
        "--updateUrl=aHR0cDovL2gvdS5qc29u",
        "--masterPid=12",
        "--lang=cn",
        "--masterHwnd=34",
        "--masterLocalServer=bWFzdGVy",
        "--logDirPath=",
    };
    QCOMPARE(p.toArguments(), expected);
}

void TestLaunchParameters::roundTrip_data()
{
    QTest::addColumn<QString>("installDir");
    QTest::newRow("ascii") << "/opt/client";
    QTest::newRow("blanks") << "/opt/My Client Dir";
    QTest::newRow("chinese and blanks") << QStringLiteral("/home/老师 用户/学校 客户端");
    QTest::newRow("windows style") << QStringLiteral("C:\\Program Files (x86)\\教育 客户端");
}

void TestLaunchParameters::roundTrip()
{
    QFETCH(QString, installDir);
    LaunchParameters p;
    p.mode = "manual";
    p.action = "realUpgrade";
    p.role = "student";
    p.exePath = installDir + "/Client.exe";
    p.version = "1.2.3.4";
    p.updateUrl = "https://example.invalid/更新/update.json";
    p.masterPid = "4711";
    p.lang = "en";
    p.masterHwnd = "65552";
    p.masterLocalServer = QStringLiteral("master server 服务");
    p.logDirPath = installDir + "/logs";

    const QStringList arguments = p.toArguments();
    for (const QString &argument : arguments)
        QVERIFY2(!argument.contains(' '), qPrintable(argument));

    LaunchParameters parsed;
    QString error;
    QVERIFY(LaunchParameters::parse(QStringList{ "solupdate" } + arguments, &parsed, &error));
    QCOMPARE(parsed.mode, p.mode);
    QCOMPARE(parsed.action, p.action);
    QCOMPARE(parsed.role, p.role);
    QCOMPARE(parsed.exePath, p.exePath);
    QCOMPARE(parsed.version, QString()); // always read from the executable, never passed on
    QCOMPARE(parsed.updateUrl, p.updateUrl);
    QCOMPARE(parsed.masterPid, p.masterPid);
    QCOMPARE(parsed.lang, p.lang);
    QCOMPARE(parsed.masterHwnd, p.masterHwnd);
    QCOMPARE(parsed.masterLocalServer, p.masterLocalServer);
    QCOMPARE(parsed.logDirPath, p.logDirPath);
}

QTEST_GUILESS_MAIN(TestLaunchParameters)
#include "tst_launchparameters.moc"
