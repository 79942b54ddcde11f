#include "ui/mytitlebar.h"
#include "ui/popupmaskbasewidget.h"
#include "ui/skin.h"
#include "utility/displayscaling.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>

namespace {

const char *const kContext = "ui::UpgradeDialogNew";

void useReferenceScreen()
{
    utility::setScreenSource([] { return QList<utility::ScreenFacts>{{QRect(0, 0, 1440, 900), 111, 111}}; });
}

} // namespace

class TestSkin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void resources_data();
    void resources();
    void pictureSizes_data();
    void pictureSizes();
    void skinIsLoadedAndScaled();
    void missingSkinGivesEmptyStyleSheet();
    void translations_data();
    void translations();
    void unknownContextReturnsSource_data();
    void unknownContextReturnsSource();
    void popupContentAndCloseButton();
    void popupTitle();
    void titlebarClose();

private:
    QTranslator m_translator;
};

void TestSkin::init()
{
    useReferenceScreen();
}

void TestSkin::cleanup()
{
    QCoreApplication::removeTranslator(&m_translator);
    qApp->setStyleSheet(QString());
    utility::setScreenSource({});
}

void TestSkin::resources_data()
{
    QTest::addColumn<QString>("path");
    for (const char *path : {":/translations/solupdate_cn.qm", ":/translations/solupdate_en.qm", ":/icon.ico",
                             ":/images/skin.css", ":/images/close.png", ":/images/update_normal.png",
                             ":/images/update_normal_2x.png", ":/images/update_fail.png",
                             ":/images/update_fail_2x.png"})
        QTest::newRow(path) << QString::fromLatin1(path);
}

void TestSkin::resources()
{
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    QVERIFY(file.size() > 0);
}

void TestSkin::pictureSizes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("normal") << ":/images/update_normal.png" << QSize(80, 80);
    QTest::newRow("normal 2x") << ":/images/update_normal_2x.png" << QSize(160, 160);
    QTest::newRow("failed") << ":/images/update_fail.png" << QSize(80, 80);
    QTest::newRow("failed 2x") << ":/images/update_fail_2x.png" << QSize(160, 160);
    QTest::newRow("icon, largest image") << ":/icon.ico" << QSize(256, 256);
}

void TestSkin::pictureSizes()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    if (path.endsWith(QLatin1String(".ico"))) {
        QVERIFY(image.width() <= size.width());
        QVERIFY(image.width() >= 16);
    } else {
        QCOMPARE(image.size(), size);
    }
}

void TestSkin::skinIsLoadedAndScaled()
{
    // At 1920 pixels the skin's 140pxSize buttons come out 186 pixels wide.
    utility::setScreenSource([] { return QList<utility::ScreenFacts>{{QRect(0, 0, 1920, 1080), 96, 96}}; });
    ui::loadSkin(qApp);
    const QString sheet = qApp->styleSheet();
    QVERIFY(!sheet.isEmpty());
    QVERIFY2(!sheet.contains(QRegularExpression(QStringLiteral("\\d(px|fx)Size"))), "a size token was left in the skin");
    QVERIFY2(!sheet.startsWith(QChar(0xFEFF)), "the byte-order mark reached the style sheet");
    QVERIFY(sheet.contains(QLatin1String("min-width: 186px")));
    QVERIFY(sheet.contains(QLatin1String("border-radius: 33px")));
    QVERIFY(sheet.contains(QLatin1String("ui--UpgradeDialogNew QPushButton#btnUpdate")));
    // Sizes written in plain pixels are not scaled.
    QVERIFY(sheet.contains(QLatin1String("min-width: 24px")));

}

void TestSkin::missingSkinGivesEmptyStyleSheet()
{
    qApp->setStyleSheet(QStringLiteral("QWidget{color:red;}"));
    ui::loadSkin(qApp, QStringLiteral(":/images/no-such-skin.css"));
    QCOMPARE(qApp->styleSheet(), QString());
}

void TestSkin::translations_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("cn");
    QTest::addColumn<QString>("en");

    QTest::newRow("Cancel") << "Cancel" << QString::fromUtf8("取消") << "Cancel";
    QTest::newRow("Cancel Failed") << "Cancel Failed" << QString::fromUtf8("取消失败") << "Fail to cancel";
    QTest::newRow("Cancel Success") << "Cancel Success" << QString::fromUtf8("取消成功") << "Succeed to cancel";
    QTest::newRow("Canceling") << "Canceling" << QString::fromUtf8("正在取消") << "Cancelling";
    QTest::newRow("Close") << "Close" << QString::fromUtf8("关闭") << "Close";
    QTest::newRow("Incremental Update Failed")
            << "Incremental Update Failed" << QString::fromUtf8("遇到了小问题，请不要关闭，耐心等待哦...")
            << "Encountered a small problem, please do not close, wait patiently...";
    QTest::newRow("Manual Update") << "Manual Update" << QString::fromUtf8("手动更新") << "Update manually";
    QTest::newRow("Open Client Program") << "Open Client Program" << QString::fromUtf8("打开客户端")
                                         << "Start Lumaroom";
    QTest::newRow("Update Failed") << "Update Failed" << QString::fromUtf8("非常遗憾，更新失败")
                                   << "Sorry, fail to update";
    QTest::newRow("Update Success") << "Update Success" << QString::fromUtf8("恭喜您，已更新成功")
                                    << "Congratulations,succeed to update";
    QTest::newRow("Updating") << "Updating" << QString::fromUtf8("正在更新") << "Updating";
}

void TestSkin::translations()
{
    QFETCH(QString, source);
    QFETCH(QString, cn);
    QFETCH(QString, en);
    const QByteArray text = source.toUtf8();

    for (const auto &[lang, expected] : {std::pair{QStringLiteral("cn"), cn}, std::pair{QStringLiteral("en"), en}}) {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/translations/solupdate_%1.qm").arg(lang)));
        QVERIFY(QCoreApplication::installTranslator(&translator));
        QCOMPARE(QCoreApplication::translate(kContext, text.constData()), expected);
        QCoreApplication::removeTranslator(&translator);
    }
}

void TestSkin::unknownContextReturnsSource_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("source");
    QTest::newRow("another class") << "ui::SomethingElse" << "Cancel";
    QTest::newRow("class without namespace") << "UpgradeDialogNew" << "Update Failed";
    QTest::newRow("unknown text in the dialog's context") << kContext << "Retry";
}

void TestSkin::unknownContextReturnsSource()
{
    QFETCH(QString, context);
    QFETCH(QString, source);
    QVERIFY(m_translator.load(QStringLiteral(":/translations/solupdate_cn.qm")));
    QCoreApplication::installTranslator(&m_translator);
    const QByteArray c = context.toUtf8();
    const QByteArray s = source.toUtf8();
    QCOMPARE(QCoreApplication::translate(c.constData(), s.constData()), source);
}

void TestSkin::popupContentAndCloseButton()
{
    PopupMaskBaseWidget popup;
    popup.setContentSize(300, 200);
    auto *panel = popup.findChild<QWidget *>(QStringLiteral("mask_wgtContent"));
    QVERIFY(panel);
    // The panel gets a row of 36 pixels for the close button above its content.
    QCOMPARE(panel->size(), QSize(300, 236));
    for (const char *name : {"mask_widget", "mask_widget_2", "mask_widget_3", "mask_label"})
        QVERIFY2(popup.findChild<QWidget *>(QLatin1String(name)), name);

    auto *close = popup.findChild<QPushButton *>(QStringLiteral("mask_btnClose"));
    QVERIFY(close);
    QSignalSpy closed(&popup, &PopupMaskBaseWidget::signalCloseWidget);
    popup.show();
    QVERIFY(QTest::qWaitForWindowExposed(&popup));

    // The button sits in the panel's top-right corner and follows the panel when it grows.
    auto cornerOf = [&] {
        const QPoint topLeft = panel->mapTo(&popup, QPoint(0, 0));
        return QPoint(topLeft.x() + panel->width() - close->width(), topLeft.y());
    };
    QTRY_COMPARE(close->pos(), cornerOf());
    popup.setContentSize(400, 260);
    QTRY_COMPARE(panel->size(), QSize(400, 296));
    QTRY_COMPARE(close->pos(), cornerOf());

    QTest::mouseClick(close, Qt::LeftButton);
    QCOMPARE(closed.count(), 1);
    popup.hideCloseButton();
    QVERIFY(close->isHidden());
}

void TestSkin::popupTitle()
{
    PopupMaskBaseWidget popup;
    auto *label = popup.findChild<QLabel *>(QStringLiteral("mask_label"));
    QVERIFY(label);
    QVERIFY(label->isHidden());
    popup.setTitle(QStringLiteral("Update"));
    QCOMPARE(label->text(), QStringLiteral("Update"));
    QVERIFY(!label->isHidden());
    popup.setTitle(QString());
    QVERIFY(label->isHidden());
}

void TestSkin::titlebarClose()
{
    MyTitlebar bar;
    auto *close = bar.findChild<QPushButton *>(QStringLiteral("btnClose"));
    auto *title = bar.findChild<QLabel *>(QStringLiteral("lbTitle"));
    QVERIFY(close);
    QVERIFY(title);
    QVERIFY(close->text().isEmpty());
    QSignalSpy closed(&bar, &MyTitlebar::sigCloseWidget);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    QTest::mouseClick(close, Qt::LeftButton);
    QCOMPARE(closed.count(), 1);
    // Without an updater application there is no teacher role: the student colour applies.
    QVERIFY(bar.styleSheet().contains(QLatin1String("rgba(255,137,46,1)")));
}

QTEST_MAIN(TestSkin)
#include "tst_skin.moc"
