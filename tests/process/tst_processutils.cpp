#include "utility/processutils.h"

#include "common/testenv.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <unistd.h>

namespace {

const QString kChild = QStringLiteral(SOLUPDATE_CHILDPROCESS);

} // namespace

class TestProcessUtils : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(QFileInfo(kChild).isExecutable(), qPrintable(kChild));
    }

    void cleanup()
    {
        for (const auto &process : m_children) {
            process->kill();
            process->waitForFinished(5000);
        }
        m_children.clear();
    }

    void killsRegardlessOfCase_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("askedName");
        QTest::newRow("upper case asked") << "KillMe_a" << "KILLME_A";
        QTest::newRow("lower case asked") << "KillMe_b" << "killme_b";
        QTest::newRow("exact name") << "KillMe_c.exe" << "KillMe_c.exe";
    }

    void killsRegardlessOfCase()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, askedName);
        const QString program = uniqueProgram(fileName);
        QProcess *child = startHanging(program);
        QVERIFY(child);

        QCOMPARE(utility::killProcessByName(uniqueName(askedName)), int(utility::KillTerminated));
        QTRY_COMPARE_WITH_TIMEOUT(child->state(), QProcess::NotRunning, 10000);
        QCOMPARE(child->exitStatus(), QProcess::CrashExit);
        QCOMPARE(utility::killProcessByName(uniqueName(askedName)), int(utility::KillNotFound));
    }

    void oneCallKillsOneOfTwo()
    {
        const QString program = uniqueProgram(QStringLiteral("twin"));
        QProcess *first = startHanging(program);
        QProcess *second = startHanging(program);
        QVERIFY(first && second);

        QCOMPARE(utility::killProcessByName(QFileInfo(program).fileName()), int(utility::KillTerminated));
        QTRY_VERIFY_WITH_TIMEOUT(first->state() == QProcess::NotRunning || second->state() == QProcess::NotRunning,
                                 10000);
        QVERIFY(first->state() == QProcess::Running || second->state() == QProcess::Running);

        QCOMPARE(utility::killProcessByName(QFileInfo(program).fileName()), int(utility::KillTerminated));
        QTRY_VERIFY_WITH_TIMEOUT(first->state() == QProcess::NotRunning && second->state() == QProcess::NotRunning,
                                 10000);
        QCOMPARE(utility::killProcessByName(QFileInfo(program).fileName()), int(utility::KillNotFound));
    }

    void findsAProgramWhoseFileWasReplaced()
    {
        const QString program = uniqueProgram(QStringLiteral("replaced"));
        QProcess *child = startHanging(program);
        QVERIFY(child);
        QVERIFY(QFile::remove(program));

        QCOMPARE(utility::killProcessByName(QFileInfo(program).fileName()), int(utility::KillTerminated));
        QTRY_COMPARE_WITH_TIMEOUT(child->state(), QProcess::NotRunning, 10000);
    }

    void nothingToKill_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty name") << QString();
        QTest::newRow("no such program") << uniqueName(QStringLiteral("nobody-runs-this"));
        // A path is not an executable name; nothing must be matched by accident.
        QTest::newRow("path instead of name") << QStringLiteral("/usr/bin/") + uniqueName(QStringLiteral("x"));
    }

    void nothingToKill()
    {
        QFETCH(QString, name);
        QCOMPARE(utility::killProcessByName(name), int(utility::KillNotFound));
    }

    void privilegedStartRunsTheProgram()
    {
        if (::geteuid() != 0)
            QSKIP("the direct start is taken only by root; others need an elevation agent");
        const QString target = m_dir.filePath(QStringLiteral("started.txt"));
        const QString payload = QString::fromLatin1(QByteArray("路径 with blanks").toBase64());
        QVERIFY(utility::StartUpWithPrivilege(kChild, QStringLiteral("touch %1 --exePath=%2").arg(target, payload)));
        QTRY_COMPARE_WITH_TIMEOUT(testsupport::readFile(target), ("--exePath=" + payload).toLatin1(), 10000);
    }

    void privilegedStartOfMissingProgramFails()
    {
        QVERIFY(!utility::StartUpWithPrivilege(m_dir.filePath(QStringLiteral("no-such-updater")),
                                               QStringLiteral("--action=realUpgrade")));
    }

private:
    // Names carry this test's pid so parallel test runs never see each other's children.
    static QString uniqueName(const QString &name)
    {
        const QFileInfo info(name);
        const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
        return info.completeBaseName() + QLatin1Char('_') + QString::number(QCoreApplication::applicationPid())
                + suffix;
    }

    QString uniqueProgram(const QString &name)
    {
        const QString path = m_dir.filePath(uniqueName(name));
        if (!QFile::exists(path))
            QFile::copy(kChild, path);
        return path;
    }

    QProcess *startHanging(const QString &program)
    {
        auto process = std::make_unique<QProcess>();
        process->start(program, { QStringLiteral("hang") });
        if (!process->waitForStarted(10000))
            return nullptr;
        m_children.push_back(std::move(process));
        return m_children.back().get();
    }

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_children;
};

QTEST_GUILESS_MAIN(TestProcessUtils)
#include "tst_processutils.moc"
