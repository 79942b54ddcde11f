#include "utility/processbase.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

const QString kChild = QStringLiteral(SOLUPDATE_CHILDPROCESS);

QStringList g_messages;
bool g_leakedChild = false;

void captureMessages(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_messages << message;
    // A child left running when its QProcess goes away would outlive the test.
    if (message.contains(QLatin1String("QProcess: Destroyed while process")))
        g_leakedChild = true;
}

bool logged(const QString &text)
{
    // Every record is one text that the logging stream quotes and escapes.
    QString quoted = text;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return g_messages.contains(QLatin1Char('"') + quoted + QLatin1Char('"'));
}

bool processGone(qint64 pid)
{
    const QString status = QStringLiteral("/proc/%1/status").arg(pid);
    QFile file(status);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    // A zombie has ended; only its parent has not collected it yet.
    return file.readAll().contains("\nState:\tZ");
}

// A subclass that fills in its program only when asked, as the patch-tool runner does.
class PreparedProcess : public ProcessBase
{
public:
    void prepareProcess() override
    {
        setProgram(kChild);
        setArguments({ QStringLiteral("exit"), QStringLiteral("42") });
    }
};

} // namespace

Q_DECLARE_METATYPE(QProcess::ExitStatus)

class TestProcessBase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(kChild).isExecutable(), qPrintable(kChild));
        qRegisterMetaType<QProcess::ExitStatus>();
        qRegisterMetaType<QProcess::ProcessState>();
        qRegisterMetaType<QProcess::ProcessError>();
        qInstallMessageHandler(captureMessages);
    }
    void init() { g_messages.clear(); }
    void cleanup() { QVERIFY(!g_leakedChild); }
    void cleanupTestCase() { qInstallMessageHandler(nullptr); }

    void finishes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QProcess::ExitStatus>("exitStatus");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("success") << QStringList{ "exit", "0" } << 0 << QProcess::NormalExit
                                 << "onFinished : 0 NormalExit";
        QTest::newRow("exit code 7") << QStringList{ "exit", "7" } << 7 << QProcess::NormalExit
                                     << "onFinished : 7 NormalExit";
        QTest::newRow("after a while") << QStringList{ "sleep", "100", "3" } << 3 << QProcess::NormalExit
                                       << "onFinished : 3 NormalExit";
        QTest::newRow("crash") << QStringList{ "crash" } << -1 << QProcess::CrashExit << "";
    }

    void finishes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QProcess::ExitStatus, exitStatus);
        QFETCH(QString, logLine);

        ProcessBase process;
        QSignalSpy started(&process, &ProcessBase::sigStarted);
        QSignalSpy finished(&process, &ProcessBase::sigFinished);
        QSignalSpy states(&process, &ProcessBase::sigStateChanged);
        QSignalSpy errors(&process, &ProcessBase::sigErrorOccurred);
        process.setProgram(kChild);
        process.setArguments(arguments);
        process.startProcess();

        QVERIFY(finished.wait(10000));
        QCOMPARE(started.count(), 1);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(1).value<QProcess::ExitStatus>(), exitStatus);
        if (exitStatus == QProcess::NormalExit) {
            QCOMPARE(finished.at(0).at(0).toInt(), exitCode);
            QVERIFY(errors.isEmpty());
            QVERIFY2(logged(logLine), qPrintable(g_messages.join('\n')));
        } else {
            QCOMPARE(errors.count(), 1);
            QCOMPARE(errors.at(0).at(0).value<QProcess::ProcessError>(), QProcess::Crashed);
            QVERIFY(logged("onErrorOccurred : Crashed"));
        }
        QCOMPARE(states.count(), 3);
        QCOMPARE(states.at(0).at(0).value<QProcess::ProcessState>(), QProcess::Starting);
        QCOMPARE(states.at(1).at(0).value<QProcess::ProcessState>(), QProcess::Running);
        QCOMPARE(states.at(2).at(0).value<QProcess::ProcessState>(), QProcess::NotRunning);
        QVERIFY(logged("onStarted"));
        QVERIFY(logged("onStateChanged Running"));
        QVERIFY(logged(QStringLiteral("startProcess %1 (\"%2\")").arg(kChild, arguments.join("\", \""))));
    }

    void output_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<bool>("emptyTextExpected");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("stdout") << QStringList{ "stdout", "hello" } << QStringList{ "hello" } << true
                                << "onReadyRead : hello";
        QTest::newRow("stderr") << QStringList{ "stderr", "oops" } << QStringList{ "oops" } << false
                                << "onReadyReadStandardError : oops";
        QTest::newRow("utf-8 on stdout") << QStringList{ "stdout", "进度 50%" } << QStringList{ "进度 50%" } << true
                                         << "onReadyRead : 进度 50%";
        QTest::newRow("both channels") << QStringList{ "both", "OUT", "ERR" } << QStringList{ "OUT", "ERR" } << true
                                       << "onReadyReadStandardError : ERR";
        QTest::newRow("no output") << QStringList{ "stdout", "" } << QStringList{} << false << "";
    }

    void output()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, pieces);
        QFETCH(bool, emptyTextExpected);
        QFETCH(QString, logLine);

        ProcessBase process;
        QSignalSpy readyRead(&process, &ProcessBase::sigReadyRead);
        QSignalSpy finished(&process, &ProcessBase::sigFinished);
        process.setProgram(kChild);
        process.setArguments(arguments);
        process.startProcess();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.at(0).at(0).toInt(), 0);

        QString all;
        int emptyTexts = 0;
        for (const QList<QVariant> &emission : qAsConst(readyRead)) {
            all += emission.at(0).toString();
            if (emission.at(0).toString().isEmpty())
                ++emptyTexts;
        }
        int expectedSize = 0;
        for (const QString &piece : qAsConst(pieces)) {
            QVERIFY2(all.contains(piece), qPrintable(all));
            expectedSize += piece.size();
        }
        QCOMPARE(all.size(), expectedSize);
        if (emptyTextExpected)
            QVERIFY(emptyTexts >= 1);
        if (pieces.isEmpty())
            QCOMPARE(readyRead.count(), 0);
        if (!logLine.isEmpty())
            QVERIFY2(logged(logLine), qPrintable(g_messages.join('\n')));
    }

    void secondStartKillsRunningChild()
    {
        ProcessBase process;
        QSignalSpy readyRead(&process, &ProcessBase::sigReadyRead);
        QSignalSpy started(&process, &ProcessBase::sigStarted);
        QSignalSpy finished(&process, &ProcessBase::sigFinished);
        process.setProgram(kChild);
        process.setArguments({ QStringLiteral("pidhang") });
        process.startProcess();
        const qint64 pid = waitForPid(readyRead);
        QVERIFY(pid > 0);
        QVERIFY(!processGone(pid));

        process.setArguments({ QStringLiteral("exit"), QStringLiteral("5") });
        process.startProcess();
        QVERIFY(processGone(pid));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 10000);
        QCOMPARE(started.count(), 2);
        QCOMPARE(finished.at(0).at(1).value<QProcess::ExitStatus>(), QProcess::CrashExit);
        QCOMPARE(finished.at(1).at(0).toInt(), 5);
        QCOMPARE(finished.at(1).at(1).value<QProcess::ExitStatus>(), QProcess::NormalExit);
    }

    void emptyProgramOnlyStops()
    {
        ProcessBase process;
        QSignalSpy readyRead(&process, &ProcessBase::sigReadyRead);
        QSignalSpy started(&process, &ProcessBase::sigStarted);
        process.setProgram(kChild);
        process.setArguments({ QStringLiteral("pidhang") });
        process.startProcess();
        const qint64 pid = waitForPid(readyRead);
        QVERIFY(pid > 0);

        process.setProgram(QString());
        g_messages.clear();
        process.startProcess();
        QVERIFY(processGone(pid));
        QCOMPARE(started.count(), 1);
        for (const QString &message : qAsConst(g_messages))
            QVERIFY2(!message.contains(QLatin1String("startProcess")), qPrintable(message));
    }

    void programThatCannotStart()
    {
        QTemporaryDir dir;
        ProcessBase process;
        QSignalSpy started(&process, &ProcessBase::sigStarted);
        QSignalSpy finished(&process, &ProcessBase::sigFinished);
        QSignalSpy readyRead(&process, &ProcessBase::sigReadyRead);
        QSignalSpy errors(&process, &ProcessBase::sigErrorOccurred);
        process.setProgram(dir.filePath(QStringLiteral("missing-program")));
        process.startProcess();
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 10000);
        QCOMPARE(errors.at(0).at(0).value<QProcess::ProcessError>(), QProcess::FailedToStart);
        QVERIFY(logged("onErrorOccurred : FailedToStart"));
        QCOMPARE(started.count(), 0);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(readyRead.count(), 0);
    }

    void prepareProcessRunsBeforeTheStart()
    {
        PreparedProcess process;
        QSignalSpy finished(&process, &ProcessBase::sigFinished);
        process.startProcess();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.at(0).at(0).toInt(), 42);
    }

    void destroyingEndsTheChild()
    {
        auto process = std::make_unique<ProcessBase>();
        QSignalSpy readyRead(process.get(), &ProcessBase::sigReadyRead);
        process->setProgram(kChild);
        process->setArguments({ QStringLiteral("pidhang") });
        process->startProcess();
        const qint64 pid = waitForPid(readyRead);
        QVERIFY(pid > 0);
        process.reset();
        QVERIFY(processGone(pid));
    }

private:
    static qint64 waitForPid(QSignalSpy &readyRead)
    {
        qint64 pid = 0;
        QString text;
        for (int round = 0; round < 50 && pid == 0; ++round) {
            if (readyRead.isEmpty() && !readyRead.wait(10000))
                break;
            while (!readyRead.isEmpty())
                text += readyRead.takeFirst().at(0).toString();
            if (text.endsWith(QLatin1Char('\n')))
                pid = text.trimmed().toLongLong();
        }
        return pid;
    }
};

QTEST_GUILESS_MAIN(TestProcessBase)
#include "tst_processbase.moc"
