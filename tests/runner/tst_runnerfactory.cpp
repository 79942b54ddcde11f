#include "app/log.h"
#include "runner/checkrunner.h"
#include "runner/upgrader.h"
#include "runner/mainrunner.h"

#include "common/testenv.h"

#include <QtTest>

// The runner chosen by the action, and the names its meta-object answers to.
class TestRunnerFactory : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void runnerForAction_data();
    void runnerForAction();
    void checkRunnerNames();
    void upgradeRunnerNames();

private:
    QTemporaryDir m_dir;
};

void TestRunnerFactory::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestRunnerFactory::cleanup()
{
    applog::uninitLog();
}

void TestRunnerFactory::runnerForAction_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("className");
    QTest::newRow("checkUpdate") << "checkUpdate" << "runner::CheckRunner";
    QTest::newRow("all lower case") << "checkupdate" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("other text") << "install" << "";
}

void TestRunnerFactory::runnerForAction()
{
    QFETCH(QString, action);
    QFETCH(QString, className);
    const QString dir = m_dir.filePath(QStringLiteral("logs_%1").arg(QTest::currentDataTag()).replace(' ', '_'));
    QVERIFY(QDir().mkpath(dir));
    applog::initLog(dir);

    const std::shared_ptr<runner::MainRunner> created = runner::createMainRunner(action);
    if (className.isEmpty()) {
        QVERIFY(!created);
    } else {
        QVERIFY(created);
        QCOMPARE(QString::fromLatin1(created->metaObject()->className()), className);
        // The only strong reference is the caller's.
        QCOMPARE(created.use_count(), 1L);
    }
    const QByteArray log = testsupport::readFile(applog::logFilePath());
    QVERIFY2(log.startsWith("Info: \"create mainrunner, action:" + action.toUtf8() + "\" (:0, ) "), log.constData());
    QCOMPARE(log.count("\r\n\n"), 1);
}

void TestRunnerFactory::checkRunnerNames()
{
    const std::shared_ptr<runner::MainRunner> created = std::make_shared<runner::CheckRunner>(runner::CheckContext());
    QVERIFY(created->inherits("runner::MainRunner"));
    QVERIFY(created->qt_metacast("runner::CheckRunner"));
    QVERIFY(created->qt_metacast("std::enable_shared_from_this<MainRunner>"));
    void *delegate = created->qt_metacast("downloader::Downloader::Delegate");
    QVERIFY(delegate);
    // The cast lands on the delegate base, the same object workers reach through their weak reference.
    const auto weak = std::weak_ptr<downloader::Downloader::Delegate>(
            std::dynamic_pointer_cast<downloader::Downloader::Delegate>(created));
    QCOMPARE(delegate, static_cast<void *>(weak.lock().get()));
    QVERIFY(!created->qt_metacast("runner::Upgrader::Delegate"));
}

void TestRunnerFactory::upgradeRunnerNames()
{
    const std::shared_ptr<runner::MainRunner> created = runner::createMainRunner("realUpgrade");
    QVERIFY(created);
    QVERIFY(created->qt_metacast("runner::UpgradeRunner"));
    QVERIFY(created->qt_metacast("downloader::Downloader::Delegate"));
    void *delegate = created->qt_metacast("runner::Upgrader::Delegate");
    QVERIFY(delegate);
    QCOMPARE(delegate, static_cast<void *>(std::dynamic_pointer_cast<runner::Upgrader::Delegate>(created).get()));
}

QTEST_GUILESS_MAIN(TestRunnerFactory)
#include "tst_runnerfactory.moc"
