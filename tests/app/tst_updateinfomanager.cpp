#include "app/updateinfomanager.h"

#include "common/logcapture.h"
#include "common/testenv.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <unistd.h>

using app::UpdateInfoManager;
using testsupport::LogCapture;

namespace {

const QString kInstalled = QStringLiteral("1.2.3.4");

// A valid document offering 2.0.0.1 over the installed 1.2.3.4, with two incremental packages.
QJsonObject validDocument()
{
    QJsonObject content { { "cn", QString::fromUtf8("新版本\n修复") }, { "en", "New version\nfixes" } };
    QJsonArray upgrades {
        QJsonObject { { "download_url", "http://example.test/inc-1.2.3.4.pkg" }, { "version_required", "1.2.3.4" } },
        QJsonObject { { "download_url", "http://example.test/inc-1.2.3.pkg" }, { "version_required", "1.2.3" } },
    };
    QJsonObject package { { "upgrade_packages", upgrades },
                          { "full_package", QJsonObject { { "download_url", "http://example.test/full.pkg" } } } };
    QJsonObject config { { "name", "spring" },     { "version", "2.0.0.1" },
                         { "content", content },   { "title", "Spring release" },
                         { "product_url", "http://example.test/product" },
                         { "package", package } };
    return QJsonObject { { "strategy", QJsonObject { { "force", true } } }, { "config", config } };
}

// Applies f to the object at the dotted path of the document.
QJsonObject edited(const QString &path, const std::function<void(QJsonObject &)> &f)
{
    QJsonObject root = validDocument();
    const QStringList keys = path.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    std::function<void(QJsonObject &, int)> walk = [&](QJsonObject &object, int depth) {
        if (depth == keys.size()) {
            f(object);
            return;
        }
        QJsonObject child = object.value(keys.at(depth)).toObject();
        walk(child, depth + 1);
        object.insert(keys.at(depth), child);
    };
    walk(root, 0);
    return root;
}

QByteArray bytes(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

} // namespace

class TestUpdateInfoManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void failures_data();
    void failures();
    void missingAndUnreadableFile();
    void validDocumentFields();
    void variants_data();
    void variants();
    void duplicateRequiredVersionLaterWins();
    void displayContentLanguages();
    void compareVersion_data();
    void compareVersion();

private:
    QString write(const QByteArray &content);
    QTemporaryDir m_dir;
    int m_counter = 0;
};

void TestUpdateInfoManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString TestUpdateInfoManager::write(const QByteArray &content)
{
    const QString path = m_dir.filePath(QStringLiteral("update_%1.json").arg(++m_counter));
    if (!testsupport::writeFile(path, content))
        return QString();
    return path;
}

void TestUpdateInfoManager::failures_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("installed");
    // The one critical line; "%C" stands for the whole document text.
    QTest::addColumn<QString>("message");

    QJsonParseError parseError;
    QJsonDocument::fromJson("{\"strategy\": ", &parseError);
    QTest::newRow("not json") << QByteArray("{\"strategy\": ") << kInstalled
                              << QStringLiteral("parse json config failed, error:%1").arg(parseError.errorString());
    QTest::newRow("array root") << QByteArray("[1, 2]") << kInstalled
                                << QStringLiteral("config is not json object, content:%C");
    QJsonObject noStrategy = validDocument();
    noStrategy.remove("strategy");
    QTest::newRow("no strategy") << bytes(noStrategy) << kInstalled << QStringLiteral("doc is invalid, content:%C");
    QJsonObject noConfig = validDocument();
    noConfig.remove("config");
    QTest::newRow("no config") << bytes(noConfig) << kInstalled << QStringLiteral("doc is invalid, content:%C");
    QTest::newRow("no force") << bytes(edited("strategy", [](QJsonObject &o) { o.remove("force"); })) << kInstalled
                              << QStringLiteral("strategy is invalid, content:%C");
    for (const char *key : { "name", "version", "content", "title", "package" }) {
        QTest::addRow("config without %s", key)
                << bytes(edited("config", [key](QJsonObject &o) { o.remove(key); })) << kInstalled
                << QStringLiteral("config is invalid, content:%C");
    }
    const QString older = QStringLiteral("current version is equal or greater than target version! current "
                                         "version: %1, target version: %2");
    QTest::newRow("same version") << bytes(validDocument()) << QStringLiteral("2.0.0.1")
                                  << older.arg(QStringLiteral("2.0.0.1"), QStringLiteral("2.0.0.1"));
    QTest::newRow("installed newer") << bytes(validDocument()) << QStringLiteral("2.0.1")
                                     << older.arg(QStringLiteral("2.0.1"), QStringLiteral("2.0.0.1"));
    QTest::newRow("2.1.0 against 2.1")
            << bytes(edited("config", [](QJsonObject &o) { o.insert("version", "2.1"); })) << QStringLiteral("2.1.0")
            << older.arg(QStringLiteral("2.1.0"), QStringLiteral("2.1"));
    QTest::newRow("target without numbers")
            << bytes(edited("config", [](QJsonObject &o) { o.insert("version", "v3.0.0"); })) << kInstalled
            << older.arg(kInstalled, QStringLiteral("v3.0.0"));
    QTest::newRow("content without en") << bytes(edited("config.content", [](QJsonObject &o) { o.remove("en"); }))
                                        << kInstalled << QStringLiteral("display content is invalid, content:%C");
    QTest::newRow("content without cn") << bytes(edited("config.content", [](QJsonObject &o) { o.remove("cn"); }))
                                        << kInstalled << QStringLiteral("display content is invalid, content:%C");
    QTest::newRow("upgrade package without version_required")
            << bytes(edited("config.package",
                            [](QJsonObject &o) {
                                QJsonArray a = o.value("upgrade_packages").toArray();
                                a.append(QJsonObject { { "download_url", "http://example.test/x" } });
                                o.insert("upgrade_packages", a);
                            }))
            << kInstalled << QStringLiteral("config upgradepackages is invalid, content:%C");
    QTest::newRow("upgrade package without download_url")
            << bytes(edited("config.package",
                            [](QJsonObject &o) {
                                QJsonArray a = o.value("upgrade_packages").toArray();
                                a.prepend(QJsonObject { { "version_required", "1.0.0" } });
                                o.insert("upgrade_packages", a);
                            }))
            << kInstalled << QStringLiteral("config upgradepackages is invalid, content:%C");
    QTest::newRow("upgrade package not an object")
            << bytes(edited("config.package",
                            [](QJsonObject &o) { o.insert("upgrade_packages", QJsonArray { 7 }); }))
            << kInstalled << QStringLiteral("config upgradepackages is invalid, content:%C");
    QTest::newRow("no full package")
            << bytes(edited("config.package", [](QJsonObject &o) { o.remove("full_package"); })) << kInstalled
            << QStringLiteral("config doesn't have fullpackage, content:%C");
    QTest::newRow("full package without download_url")
            << bytes(edited("config.package.full_package", [](QJsonObject &o) { o.remove("download_url"); }))
            << kInstalled << QStringLiteral("config upgradepackage is invalid, content:%C");
}

void TestUpdateInfoManager::failures()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, installed);
    QFETCH(QString, message);

    const QString path = write(document);
    QVERIFY(!path.isEmpty());
    const QString text = QString::fromUtf8(document);
    message.replace(QLatin1String("%C"), text);

    LogCapture log;
    UpdateInfoManager manager;
    QVERIFY(!manager.parseUpdateInfo(path, installed));
    // The document as received, then exactly the one failure line.
    QCOMPARE(log.texts(QtInfoMsg), QStringList { QStringLiteral("updateinfo config, content:") + text });
    QCOMPARE(log.texts(QtCriticalMsg), QStringList { message });
    QCOMPARE(log.lines().last().text, message);
}

void TestUpdateInfoManager::missingAndUnreadableFile()
{
    {
        LogCapture log;
        UpdateInfoManager manager;
        QVERIFY(!manager.parseUpdateInfo(m_dir.filePath("absent.json"), kInstalled));
        QCOMPARE(log.texts(), QStringList { QStringLiteral("update config path is invalid") });
    }
    {
        LogCapture log;
        UpdateInfoManager manager;
        QVERIFY(!manager.parseUpdateInfo(m_dir.path(), kInstalled));
        QCOMPARE(log.texts(), QStringList { QStringLiteral("update config path is invalid") });
    }
    // Without the application object there is no installed version to compare with.
    {
        const QString path = write(bytes(validDocument()));
        LogCapture log;
        UpdateInfoManager manager;
        QVERIFY(!manager.parseUpdateInfo(path));
        QCOMPARE(log.texts(QtCriticalMsg).size(), 1);
    }
    if (::geteuid() == 0)
        QSKIP("root reads any file; the unreadable case needs an ordinary user");
    const QString path = write(bytes(validDocument()));
    QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    LogCapture log;
    UpdateInfoManager manager;
    QVERIFY(!manager.parseUpdateInfo(path, kInstalled));
    QCOMPARE(log.texts(), QStringList { QStringLiteral("open config file failed") });
}

void TestUpdateInfoManager::validDocumentFields()
{
    const QByteArray document = bytes(validDocument());
    const QString path = write(document);
    LogCapture log;
    UpdateInfoManager manager;
    QVERIFY(manager.parseUpdateInfo(path, kInstalled));
    QVERIFY(log.texts(QtCriticalMsg).isEmpty());
    QCOMPARE(log.texts(QtInfoMsg), QStringList { QStringLiteral("updateinfo config, content:") + QString::fromUtf8(document) });

    QCOMPARE(manager.name(), QStringLiteral("spring"));
    QCOMPARE(manager.title(), QStringLiteral("Spring release"));
    QCOMPARE(manager.targetVersion(), QStringLiteral("2.0.0.1"));
    QCOMPARE(manager.productUrl(), QStringLiteral("http://example.test/product"));
    QVERIFY(manager.isForce());
    QCOMPARE(manager.displayContent("cn"), QString::fromUtf8("新版本\n修复"));
    QCOMPARE(manager.displayContent("en"), QStringLiteral("New version\nfixes"));

    const UpdateInfoManager::PackageInfoPtr incremental = manager.upgradePackage(kInstalled);
    QVERIFY(incremental);
    QCOMPARE(incremental->downloadUrl, QStringLiteral("http://example.test/inc-1.2.3.4.pkg"));
    QCOMPARE(incremental->versionRequired, kInstalled);
    QVERIFY(manager.upgradePackage("1.2.3"));
    // The required version is matched as text: 1.2.3.0 is not 1.2.3.
    QVERIFY(!manager.upgradePackage("1.2.3.0"));
    QVERIFY(!manager.upgradePackage(QString()));
    const UpdateInfoManager::PackageInfoPtr full = manager.fullPackage();
    QVERIFY(full);
    QCOMPARE(full->downloadUrl, QStringLiteral("http://example.test/full.pkg"));
    QVERIFY(full->versionRequired.isEmpty());
}

void TestUpdateInfoManager::variants_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("force");
    QTest::addColumn<int>("packages"); // how many of the two known required versions are found
    QTest::addColumn<QString>("productUrl");

    QTest::newRow("force as the string true")
            << bytes(edited("strategy", [](QJsonObject &o) { o.insert("force", "true"); })) << false << 2
            << QStringLiteral("http://example.test/product");
    QTest::newRow("force false") << bytes(edited("strategy", [](QJsonObject &o) { o.insert("force", false); }))
                                 << false << 2 << QStringLiteral("http://example.test/product");
    QTest::newRow("upgrade_packages as object")
            << bytes(edited("config.package",
                            [](QJsonObject &o) {
                                o.insert("upgrade_packages",
                                         QJsonObject { { "download_url", "u" }, { "version_required", "1.2.3.4" } });
                            }))
            << true << 0 << QStringLiteral("http://example.test/product");
    QTest::newRow("upgrade_packages empty")
            << bytes(edited("config.package", [](QJsonObject &o) { o.insert("upgrade_packages", QJsonArray()); }))
            << true << 0 << QStringLiteral("http://example.test/product");
    QTest::newRow("upgrade_packages absent")
            << bytes(edited("config.package", [](QJsonObject &o) { o.remove("upgrade_packages"); })) << true << 0
            << QStringLiteral("http://example.test/product");
    QTest::newRow("no product_url") << bytes(edited("config", [](QJsonObject &o) { o.remove("product_url"); }))
                                    << true << 2 << QString();
    QTest::newRow("unknown keys ignored")
            << bytes(edited("config", [](QJsonObject &o) { o.insert("extra", QJsonArray { 1, 2 }); })) << true << 2
            << QStringLiteral("http://example.test/product");
}

void TestUpdateInfoManager::variants()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, force);
    QFETCH(int, packages);
    QFETCH(QString, productUrl);

    LogCapture log;
    UpdateInfoManager manager;
    QVERIFY(manager.parseUpdateInfo(write(document), kInstalled));
    QVERIFY(log.texts(QtCriticalMsg).isEmpty());
    QCOMPARE(manager.isForce(), force);
    QCOMPARE(int(bool(manager.upgradePackage("1.2.3.4"))) + int(bool(manager.upgradePackage("1.2.3"))), packages);
    QCOMPARE(manager.productUrl(), productUrl);
    QVERIFY(manager.fullPackage());
}

void TestUpdateInfoManager::duplicateRequiredVersionLaterWins()
{
    const QByteArray document = bytes(edited("config.package", [](QJsonObject &o) {
        o.insert("upgrade_packages",
                 QJsonArray { QJsonObject { { "download_url", "http://a/first" }, { "version_required", "1.2.3.4" } },
                              QJsonObject { { "download_url", "http://a/second" }, { "version_required", "1.2.3.4" } } });
    }));
    UpdateInfoManager manager;
    QVERIFY(manager.parseUpdateInfo(write(document), kInstalled));
    QVERIFY(manager.upgradePackage("1.2.3.4"));
    QCOMPARE(manager.upgradePackage("1.2.3.4")->downloadUrl, QStringLiteral("http://a/second"));
}

void TestUpdateInfoManager::displayContentLanguages()
{
    UpdateInfoManager manager;
    QVERIFY(manager.parseUpdateInfo(write(bytes(validDocument())), kInstalled));
    LogCapture log;
    QCOMPARE(manager.displayContent("de"), QString());
    QCOMPARE(manager.displayContent("EN"), QString());
    QCOMPARE(log.texts(QtCriticalMsg),
             QStringList({ QStringLiteral("updateinfo manager display content language is invalid, language:de"),
                           QStringLiteral("updateinfo manager display content language is invalid, language:EN") }));
    QCOMPARE(manager.displayContent("en"), QStringLiteral("New version\nfixes"));
}

void TestUpdateInfoManager::compareVersion_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("sign");

    QTest::newRow("equal") << "1.2.3.4" << "1.2.3.4" << 0;
    QTest::newRow("last number") << "1.2.3.4" << "1.2.3.5" << -1;
    QTest::newRow("numbers not text") << "1.10.0" << "1.9.0" << 1;
    QTest::newRow("2.1.0 over 2.1") << "2.1.0" << "2.1" << 1;
    QTest::newRow("2.1 under 2.1.0") << "2.1" << "2.1.0" << -1;
    QTest::newRow("label ignored") << "2.1.0-beta" << "2.1.0" << 0;
    QTest::newRow("blank and label ignored") << "1.2.3 build" << "1.2.3" << 0;
    QTest::newRow("trailing dot") << "2.1." << "2.1" << 0;
    QTest::newRow("letters first") << "v2.0" << "0.0.1" << -1;
    QTest::newRow("letters both") << "abc" << "xyz" << 0;
    QTest::newRow("empty against version") << "" << "0" << -1;
    QTest::newRow("both empty") << "" << "" << 0;
    QTest::newRow("version against empty") << "0.0.1" << "" << 1;
    // Read as the single number 1, which is lower than 1.0.0.
    QTest::newRow("commas") << "1, 2, 3" << "1.0.0" << -1;
}

void TestUpdateInfoManager::compareVersion()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, sign);
    const int result = app::compareVersion(a, b);
    QCOMPARE((result > 0) - (result < 0), sign);
    const int reverse = app::compareVersion(b, a);
    QCOMPARE((reverse > 0) - (reverse < 0), -sign);
}

QTEST_GUILESS_MAIN(TestUpdateInfoManager)
#include "tst_updateinfomanager.moc"
