#include "utility/processbase.h"
#include "utility/processutils.h"

#include "common/testenv.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <unistd.h>

static const QString kChild = QStringLiteral(SOLUPDATE_CHILDPROCESS);
static bool g_leakedChild = false;

// A child left running when its QProcess goes away would outlive the test.
static void watchForLeaks(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_leakedChild = g_leakedChild || message.contains(QLatin1String("QProcess: Destroyed while process"));
}

// A zombie has ended; only its parent has not collected it yet.
static bool processGone(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    return !status.open(QIODevice::ReadOnly) || status.readAll().contains("\nState:\tZ");
}

// A subclass that fills in its arguments only when asked, as the patch-tool runner does.
class PreparedProcess : public ProcessBase
{
    void prepareProcess() override { setArguments({ "sleep", "0", "42" }); }
};

class TestProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(watchForLeaks); }
    void cleanup()
    {
        for (const auto &process : m_children) {
            process->kill();
            process->waitForFinished(5000);
        }
        m_children.clear();
        QVERIFY(!g_leakedChild);
    }

    // The patch tool's exit code decides an upgrade; its output, on either channel, reaches the log.
    // No child is left behind: a new start, a start without a program and the end of the object all
    // kill the child still running.
    void run_data()
    {
        QTest::addColumn<QStringList>("arguments"); // empty: set by the subclass at the start
        QTest::addColumn<QString>("then"); // done once the child printed its pid
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("output");
        const QStringList pidhang{ "pidhang" };
        QTest::newRow("exit 7 after a while")
                << QStringList{ "sleep", "100", "7" } << "" << QStringList{ "started", "exit 7" } << "";
        QTest::newRow("arguments prepared at the start")
                << QStringList() << "" << QStringList{ "started", "exit 42" } << "";
        QTest::newRow("crash") << QStringList{ "crash" } << "" << QStringList{ "started", "error 1", "crashed" } << "";
        QTest::newRow("both channels, utf-8") << QStringList{ "output", "进度 50%", "oops" } << ""
                                              << QStringList{ "started", "exit 0" } << "进度 50%oops";
        QTest::newRow("program missing") << QStringList{ "missing" } << "" << QStringList{ "error 0" } << "";
        QTest::newRow("second start") << pidhang << "start"
                                      << QStringList{ "started", "error 1", "crashed", "started", "exit 5" } << "";
        QTest::newRow("start without program")
                << pidhang << "no program" << QStringList{ "started", "error 1", "crashed" } << "";
        QTest::newRow("object destroyed") << pidhang << "destroy" << QStringList{ "started" } << "";
    }

    void run()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, then);
        std::unique_ptr<ProcessBase> process(arguments.isEmpty() ? new PreparedProcess : new ProcessBase);
        QStringList seen;
        QString output;
        connect(process.get(), &ProcessBase::sigStarted, this, [&seen] { seen << "started"; });
        connect(process.get(), &ProcessBase::sigErrorOccurred, this,
                [&seen](QProcess::ProcessError error) { seen << QString("error %1").arg(int(error)); });
        connect(process.get(), &ProcessBase::sigFinished, this, [&seen](int code, QProcess::ExitStatus status) {
            seen << (status == QProcess::CrashExit ? QString("crashed") : QString("exit %1").arg(code));
        });
        connect(process.get(), &ProcessBase::sigReadyRead, this, [&output](const QString &data) { output += data; });
        process->setProgram(arguments.value(0) == "missing" ? m_dir.filePath("missing") : kChild);
        process->setArguments(arguments);
        process->startProcess();
        if (!then.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(output.endsWith('\n'), 10000);
            const qint64 pid = output.trimmed().toLongLong();
            QVERIFY(pid > 0 && !processGone(pid));
            output.clear();
            process->setArguments({ "sleep", "0", "5" });
            if (then == "no program")
                process->setProgram(QString());
            if (then == "destroy")
                process.reset();
            else
                process->startProcess();
            QVERIFY(processGone(pid));
        }
        QFETCH(QStringList, events);
        QTRY_COMPARE_WITH_TIMEOUT(seen, events, 10000);
        QTEST(output, "output");
    }

    // Before an upgrade the master and the listed programs are ended by executable name.
    void killByName_data()
    {
        QTest::addColumn<QString>("fileName"); // the running program, started twice for "twin"
        QTest::addColumn<QString>("asked");
        QTest::addColumn<QList<int>>("results"); // of successive calls
        const QList<int> once{ utility::KillTerminated, utility::KillNotFound };
        QTest::newRow("upper case asked") << "KillMe_a"
                                          << "KILLME_A" << once;
        QTest::newRow("exact name with .exe") << "KillMe_b.exe"
                                              << "KillMe_b.exe" << once;
        QTest::newRow("two of a name: one per call") << "twin"
                                                     << "twin" << QList<int>{ 1, 1, 3 };
        QTest::newRow("its file replaced meanwhile") << "replaced"
                                                     << "replaced" << once;
        QTest::newRow("only the name's ending") << "someone"
                                                << "one" << QList<int>{ 3 };
        QTest::newRow("a path is no name") << "pathname"
                                           << "/usr/bin/pathname" << QList<int>{ 3 };
        QTest::newRow("empty name") << "empty"
                                    << "" << QList<int>{ 3 };
    }

    void killByName()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, asked);
        QFETCH(QList<int>, results);
        // Names carry this test's pid so parallel runs never see each other's children.
        const auto unique = [](QString name) {
            const int dot = name.indexOf('.');
            return name.insert(dot < 0 ? name.size() : dot, '_' + QString::number(QCoreApplication::applicationPid()));
        };
        const QString program = m_dir.filePath(unique(fileName));
        QVERIFY(QFile::exists(program) || QFile::copy(kChild, program));
        for (int i = 0; i < (fileName == "twin" ? 2 : 1); ++i) {
            m_children.push_back(std::make_unique<QProcess>());
            m_children.back()->start(program, { "pidhang" });
            QVERIFY(m_children.back()->waitForStarted(10000));
        }
        if (fileName == "replaced")
            QVERIFY(QFile::remove(program));
        for (int i = 0; i < results.size(); ++i) {
            QCOMPARE(utility::killProcessByName(asked.isEmpty() ? asked : unique(asked)), results.at(i));
            // Exactly one process per successful call has ended, and no other one.
            const int expectedAlive
                    = int(m_children.size()) - int(results.mid(0, i + 1).count(utility::KillTerminated));
            QTRY_COMPARE_WITH_TIMEOUT(int(std::count_if(m_children.begin(), m_children.end(),
                                              [](const auto &p) { return p->state() == QProcess::Running; })),
                    expectedAlive, 10000);
        }
    }

    void privilegedStart()
    {
        QVERIFY(!utility::StartUpWithPrivilege(m_dir.filePath("no-such-updater"), "--action=realUpgrade"));
        if (::geteuid() != 0)
            QSKIP("the direct start is taken only by root; others need an elevation agent");
        const QString target = m_dir.filePath("started.txt");
        const QString payload = QString::fromLatin1(QByteArray("路径 with blanks").toBase64());
        QVERIFY(utility::StartUpWithPrivilege(kChild, QStringLiteral("touch %1 --exePath=%2").arg(target, payload)));
        QTRY_COMPARE_WITH_TIMEOUT(testsupport::readFile(target), ("--exePath=" + payload).toLatin1(), 10000);
    }

private:
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_children;
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
