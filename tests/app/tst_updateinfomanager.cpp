#include "app/updateinfomanager.h"

#include "common/logcapture.h"
#include "common/testenv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <functional>

using app::UpdateInfoManager;
using testsupport::LogCapture;

namespace {

const QString kInstalled = QStringLiteral("1.2.3.4");
using Edit = std::function<void(QJsonObject &)>;

// A valid document offering 2.0.0.1 over 1.2.3.4 with two incremental packages; edit changes the
// object at the dotted path first.
QByteArray document(const QString &path = QString(), const Edit &edit = {})
{
    const QJsonArray upgrades{
        QJsonObject{ { "download_url", "http://t/inc-1.2.3.4" }, { "version_required", "1.2.3.4" } },
        QJsonObject{ { "download_url", "http://t/inc-1.2.3" }, { "version_required", "1.2.3" } },
    };
    const QJsonObject package{ { "upgrade_packages", upgrades },
                               { "full_package", QJsonObject{ { "download_url", "http://t/full" } } } };
    const QJsonObject config{ { "name", "spring" }, { "version", "2.0.0.1" },
                              { "content", QJsonObject{ { "cn", QStringLiteral("新版本") }, { "en", "New\nfixes" } } },
                              { "title", "Spring" }, { "product_url", "http://t/product" }, { "package", package } };
    QJsonObject root{ { "strategy", QJsonObject{ { "force", true } } }, { "config", config } };
    const QStringList keys = path.split('.', Qt::SkipEmptyParts);
    std::function<void(QJsonObject &, int)> walk = [&](QJsonObject &object, int depth) {
        if (depth == keys.size())
            return edit(object);
        QJsonObject child = object.value(keys.at(depth)).toObject();
        walk(child, depth + 1);
        object.insert(keys.at(depth), child);
    };
    if (edit)
        walk(root, 0);
    return QJsonDocument(root).toJson();
}

Edit removing(const QString &key)
{
    return [key](QJsonObject &o) { o.remove(key); };
}

Edit setting(const QString &key, const QJsonValue &value)
{
    return [key, value](QJsonObject &o) { o.insert(key, value); };
}

} // namespace

class TestUpdateInfoManager : public QObject
{
    Q_OBJECT

private slots:
    void refused_data();
    void refused();
    void accepted_data();
    void accepted();
    void compareVersion_data();
    void compareVersion();

private:
    QTemporaryDir m_dir;
};

void TestUpdateInfoManager::refused_data()
{
    QTest::addColumn<QByteArray>("document"); // "<absent>": no file; "<dir>": a directory
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("message"); // the one critical line; %C is the whole document

    QJsonParseError error;
    QJsonDocument::fromJson("{\"strategy\": ", &error);
    const QString older("current version is equal or greater than target version! current version: %1, "
                        "target version: %2");
    const QString packages("config upgradepackages is invalid, content:%C");
    const auto row = [](const char *tag, const QByteArray &doc, const QString &installed, const QString &message) {
        QTest::newRow(tag) << doc << installed << message;
    };
    row("no file", "<absent>", kInstalled, "update config path is invalid");
    row("a directory", "<dir>", kInstalled, "update config path is invalid");
    row("not json", "{\"strategy\": ", kInstalled, "parse json config failed, error:" + error.errorString());
    row("array root", "[1, 2]", kInstalled, "config is not json object, content:%C");
    row("no strategy", document("", removing("strategy")), kInstalled, "doc is invalid, content:%C");
    row("no config", document("", removing("config")), kInstalled, "doc is invalid, content:%C");
    row("no force", document("strategy", removing("force")), kInstalled, "strategy is invalid, content:%C");
    for (const char *key : { "name", "version", "content", "title", "package" })
        row(key, document("config", removing(key)), kInstalled, "config is invalid, content:%C");
    row("same version", document(), "2.0.0.1", older.arg("2.0.0.1", "2.0.0.1"));
    row("installed newer", document(), "2.0.1", older.arg("2.0.1", "2.0.0.1"));
    row("2.1.0 against 2.1", document("config", setting("version", "2.1")), "2.1.0", older.arg("2.1.0", "2.1"));
    row("target without numbers", document("config", setting("version", "v3.0.0")), kInstalled,
        older.arg(kInstalled, "v3.0.0"));
    row("no en", document("config.content", removing("en")), kInstalled, "display content is invalid, content:%C");
    row("no cn", document("config.content", removing("cn")), kInstalled, "display content is invalid, content:%C");
    row("one package without version_required",
        document("config.package",
                 setting("upgrade_packages", QJsonArray{ QJsonObject{ { "download_url", "u" }, { "version_required", "1" } },
                                                         QJsonObject{ { "download_url", "u" } } })),
        kInstalled, packages);
    row("package without download_url",
        document("config.package", setting("upgrade_packages", QJsonArray{ QJsonObject{ { "version_required", "1" } } })),
        kInstalled, packages);
    row("package not an object", document("config.package", setting("upgrade_packages", QJsonArray{ 7 })), kInstalled,
        packages);
    row("no full package", document("config.package", removing("full_package")), kInstalled,
        "config doesn't have fullpackage, content:%C");
    row("full package without url", document("config.package.full_package", removing("download_url")), kInstalled,
        "config upgradepackage is invalid, content:%C");
}

void TestUpdateInfoManager::refused()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, installed);
    QFETCH(QString, message);
    QString path = m_dir.filePath(QTest::currentDataTag());
    if (document == "<dir>")
        QVERIFY(QDir().mkpath(path));
    else if (document != "<absent>")
        QVERIFY(testsupport::writeFile(path, document));
    const QString text = QString::fromUtf8(document);

    LogCapture log;
    UpdateInfoManager manager;
    QVERIFY(!manager.parseUpdateInfo(path, installed));
    QCOMPARE(log.texts(QtCriticalMsg), QStringList{ message.replace("%C", text) });
    // The log holds the document as it was received.
    if (!document.startsWith('<'))
        QCOMPARE(log.texts(QtInfoMsg), QStringList{ "updateinfo config, content:" + text });
}

void TestUpdateInfoManager::accepted_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("force");
    QTest::addColumn<QString>("packages"); // the URL found for 1.2.3.4, 1.2.3 and 1.2.3.0
    QTest::addColumn<QString>("productUrl");
    const QString both("http://t/inc-1.2.3.4,http://t/inc-1.2.3,");
    QTest::newRow("complete") << document() << true << both << "http://t/product";
    QTest::newRow("force as the string true") << document("strategy", setting("force", "true")) << false << both
                                              << "http://t/product";
    QTest::newRow("upgrade_packages as object")
            << document("config.package",
                        setting("upgrade_packages", QJsonObject{ { "download_url", "u" }, { "version_required", "1.2.3.4" } }))
            << true << ",," << "http://t/product";
    QTest::newRow("upgrade_packages empty") << document("config.package", setting("upgrade_packages", QJsonArray()))
                                            << true << ",," << "http://t/product";
    QTest::newRow("no product_url") << document("config", removing("product_url")) << true << both << "";
    QTest::newRow("later duplicate wins")
            << document("config.package",
                        setting("upgrade_packages",
                                QJsonArray{ QJsonObject{ { "download_url", "http://a/1" }, { "version_required", "1.2.3.4" } },
                                            QJsonObject{ { "download_url", "http://a/2" }, { "version_required", "1.2.3.4" } } }))
            << true << "http://a/2,," << "http://t/product";
}

void TestUpdateInfoManager::accepted()
{
    QFETCH(QByteArray, document);
    const QString path = m_dir.filePath(QTest::currentDataTag());
    QVERIFY(testsupport::writeFile(path, document));
    LogCapture log;
    UpdateInfoManager manager;
    QVERIFY(manager.parseUpdateInfo(path, kInstalled));
    QVERIFY(log.texts(QtCriticalMsg).isEmpty());
    QTEST(manager.isForce(), "force");
    QTEST(manager.productUrl(), "productUrl");
    QStringList found;
    for (const char *version : { "1.2.3.4", "1.2.3", "1.2.3.0" }) {
        const UpdateInfoManager::PackageInfoPtr package = manager.upgradePackage(version);
        found << (package ? package->downloadUrl : QString());
        QVERIFY(!package || package->versionRequired == version);
    }
    QTEST(found.join(','), "packages");
    QVERIFY(manager.fullPackage());
    QCOMPARE(manager.fullPackage()->downloadUrl, QStringLiteral("http://t/full"));
    QCOMPARE(manager.targetVersion(), QStringLiteral("2.0.0.1"));
    QCOMPARE(manager.displayContent("cn"), QStringLiteral("新版本"));
    QCOMPARE(manager.displayContent("en"), QStringLiteral("New\nfixes"));
    QCOMPARE(manager.displayContent("EN"), QString());
    QCOMPARE(log.texts(QtCriticalMsg),
             QStringList{ "updateinfo manager display content language is invalid, language:EN" });
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
    QTest::newRow("label ignored") << "2.1.0-beta" << "2.1.0" << 0;
    QTest::newRow("trailing dot") << "2.1." << "2.1" << 0;
    QTest::newRow("letters first") << "v2.0" << "0.0.1" << -1;
    QTest::newRow("empty against version") << "" << "0" << -1;
    QTest::newRow("commas read as one number") << "1, 2, 3" << "1.0.0" << -1;
}

void TestUpdateInfoManager::compareVersion()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, sign);
    const int result = app::compareVersion(a, b);
    const int reverse = app::compareVersion(b, a);
    QCOMPARE((result > 0) - (result < 0), sign);
    QCOMPARE((reverse > 0) - (reverse < 0), -sign);
}

QTEST_GUILESS_MAIN(TestUpdateInfoManager)
#include "tst_updateinfomanager.moc"
