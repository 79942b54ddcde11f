#include "ui/skin.h"
#include "ui/upgradedialognew.h"
#include "utility/displayscaling.h"

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTranslator>
#include <QtTest>

#include <functional>

using ui::UpgradeDialogNew;

namespace {

// What a runner does to the dialog before the user acts.
enum class Setup { None, Incremental, Success, Failure, CancelSuccess, CancelFailure, CancelClicked, Closed };

void drive(UpgradeDialogNew &dialog, Setup setup)
{
    switch (setup) {
    case Setup::None:
        break;
    case Setup::Incremental:
        dialog.showIncrementalFailed();
        break;
    case Setup::Success:
        dialog.setUpgradeResult(true);
        break;
    case Setup::Failure:
        dialog.setUpgradeResult(false);
        break;
    case Setup::CancelSuccess:
        dialog.setCancelResult(true);
        break;
    case Setup::CancelFailure:
        dialog.setCancelResult(false);
        break;
    case Setup::CancelClicked:
        QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("btnUpdate")), Qt::LeftButton);
        break;
    case Setup::Closed:
        dialog.close();
        break;
    }
}

// Counts every signal the dialog sends to the runner.
struct Spies
{
    explicit Spies(UpgradeDialogNew *d)
        : cancel(d, &UpgradeDialogNew::cancelUpgrade)
        , open(d, &UpgradeDialogNew::openMaster)
        , manual(d, &UpgradeDialogNew::manualUpgrade)
        , closed(d, &UpgradeDialogNew::dialogClosed)
    {
    }
    QList<int> counts() const { return {cancel.count(), open.count(), manual.count(), closed.count()}; }

    QSignalSpy cancel;
    QSignalSpy open;
    QSignalSpy manual;
    QSignalSpy closed;
};

} // namespace

Q_DECLARE_METATYPE(Setup)

class TestUpgradeDialogNew : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void construction();
    void texts_data();
    void texts();
    void progressNeverGoesBack_data();
    void progressNeverGoesBack();
    void mainButton_data();
    void mainButton();
    void closeWhileUpdating();
    void closeWhileCancelling();
    void closeAfterResult_data();
    void closeAfterResult();
    void closeButtonOfTheFrame();
    void closeButtonAfterSuccess();
    void escapeDoesNothing();
    void notifyFailedBeforeEventLoop();
    void shadows_data();
    void shadows();
    void successButtonIsGreen();

private:
    void useLanguage(const QString &lang);
    template<typename T>
    static T *child(const UpgradeDialogNew &dialog, const char *name)
    {
        T *w = dialog.findChild<T *>(QLatin1String(name));
        if (!w)
            qFatal("no child %s", name);
        return w;
    }

    QTranslator m_translator;
};

void TestUpgradeDialogNew::initTestCase()
{
    // The reference screen: every size comes out at factor 1.
    utility::setScreenSource([] { return QList<utility::ScreenFacts>{{QRect(0, 0, 1440, 900), 111, 111}}; });
    ui::loadSkin(qApp);
    QVERIFY(!qApp->styleSheet().isEmpty());
}

void TestUpgradeDialogNew::init()
{
    useLanguage(QStringLiteral("en"));
}

void TestUpgradeDialogNew::cleanup()
{
    QCoreApplication::removeTranslator(&m_translator);
}

void TestUpgradeDialogNew::useLanguage(const QString &lang)
{
    QCoreApplication::removeTranslator(&m_translator);
    QVERIFY(m_translator.load(QStringLiteral(":/translations/solupdate_%1.qm").arg(lang)));
    QCoreApplication::installTranslator(&m_translator);
}

void TestUpgradeDialogNew::construction()
{
    UpgradeDialogNew dialog;
    QCOMPARE(dialog.state(), int(UpgradeDialogNew::Updating));
    QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));

    auto *bar = child<QProgressBar>(dialog, "barPercent");
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 8);
    QCOMPARE(dialog.progress(), 8);
    QCOMPARE(child<QLabel>(dialog, "lbPercent")->text(), QStringLiteral("0%"));

    auto *stack = child<QStackedWidget>(dialog, "stackedWidget");
    QCOMPARE(stack->currentWidget(), child<QWidget>(dialog, "page_update"));
    QCOMPARE(child<QStackedWidget>(dialog, "stackedWidget_update")->currentWidget(),
             child<QWidget>(dialog, "page_updating"));
    QCOMPARE(child<QStackedWidget>(dialog, "stackedWidget_bottom")->currentWidget(),
             child<QWidget>(dialog, "page_normal"));
    for (const char *hidden : {"btnIgnore", "btnInstall", "btnRetryUpdate"})
        QVERIFY2(child<QPushButton>(dialog, hidden)->isHidden(), hidden);
    for (const char *name : {"lbLoadingPic_check", "lbTipsText", "btnRetryCheck", "btnLatest", "btnCheck",
                             "wgtChecking", "lbChecking", "lbCheck", "page_check", "page_updateTips"})
        QVERIFY2(dialog.findChild<QWidget *>(QLatin1String(name)), name);

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(child<QPushButton>(dialog, "btnUpdate")->isVisible());
    QVERIFY(!child<QWidget>(dialog, "page_check")->isVisible());
    QCOMPARE(child<QWidget>(dialog, "mask_wgtContent")->size(), QSize(445, 372));
    QCOMPARE(child<QWidget>(dialog, "lbLoadingPic")->size(), QSize(80, 80));
    // The skin reaches the dialog's buttons.
    QCOMPARE(child<QPushButton>(dialog, "btnUpdate")->size(), QSize(140, 50));
    QVERIFY(!child<QLabel>(dialog, "lbLoadingPic")->pixmap(Qt::ReturnByValue).isNull());
}

void TestUpgradeDialogNew::texts_data()
{
    QTest::addColumn<QString>("lang");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("mainButton");
    QTest::addColumn<QString>("secondButton"); // empty: hidden

    const auto u = [](const char *s) { return QString::fromUtf8(s); };
    QTest::newRow("en updating") << "en" << Setup::None << "Updating" << "Cancel" << "";
    QTest::newRow("en incremental") << "en" << Setup::Incremental
                                    << "Encountered a small problem, please do not close, wait patiently..."
                                    << "Cancel" << "";
    QTest::newRow("en cancelling") << "en" << Setup::CancelClicked << "Cancelling" << "Cancel" << "";
    QTest::newRow("en closed") << "en" << Setup::Closed << "Cancelling" << "Cancel" << "";
    QTest::newRow("en success") << "en" << Setup::Success << "Congratulations,succeed to update"
                                << "Start Lumaroom" << "Close";
    QTest::newRow("en failure") << "en" << Setup::Failure << "Sorry, fail to update" << "Update manually" << "";
    QTest::newRow("en cancel success") << "en" << Setup::CancelSuccess << "Succeed to cancel" << "Start Lumaroom"
                                       << "Close";
    QTest::newRow("en cancel failure") << "en" << Setup::CancelFailure << "Fail to cancel" << "Update manually"
                                       << "";
    QTest::newRow("cn updating") << "cn" << Setup::None << u("正在更新") << u("取消") << "";
    QTest::newRow("cn incremental") << "cn" << Setup::Incremental << u("遇到了小问题，请不要关闭，耐心等待哦...")
                                    << u("取消") << "";
    QTest::newRow("cn cancelling") << "cn" << Setup::CancelClicked << u("正在取消") << u("取消") << "";
    QTest::newRow("cn success") << "cn" << Setup::Success << u("恭喜您，已更新成功") << u("打开客户端") << u("关闭");
    QTest::newRow("cn failure") << "cn" << Setup::Failure << u("非常遗憾，更新失败") << u("手动更新") << "";
    QTest::newRow("cn cancel success") << "cn" << Setup::CancelSuccess << u("取消成功") << u("打开客户端")
                                       << u("关闭");
    QTest::newRow("cn cancel failure") << "cn" << Setup::CancelFailure << u("取消失败") << u("手动更新") << "";
}

void TestUpgradeDialogNew::texts()
{
    QFETCH(QString, lang);
    QFETCH(Setup, setup);
    QFETCH(QString, status);
    QFETCH(QString, mainButton);
    QFETCH(QString, secondButton);

    useLanguage(lang);
    UpgradeDialogNew dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    drive(dialog, setup);

    QCOMPARE(child<QLabel>(dialog, "lbLoadingText")->text(), status);
    QCOMPARE(child<QPushButton>(dialog, "btnUpdate")->text(), mainButton);
    auto *second = child<QPushButton>(dialog, "btnIgnore");
    QCOMPARE(second->isVisible(), !secondButton.isEmpty());
    if (!secondButton.isEmpty())
        QCOMPARE(second->text(), secondButton);
}

void TestUpgradeDialogNew::progressNeverGoesBack_data()
{
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<int>("bar");
    QTest::addColumn<QString>("figure");

    QTest::newRow("50 then 30") << QList<int>{50, 30} << 50 << "50%";
    QTest::newRow("rising") << QList<int>{10, 20, 99} << 99 << "99%";
    QTest::newRow("equal value ignored") << QList<int>{40, 40} << 40 << "40%";
    QTest::newRow("below the starting fill") << QList<int>{5} << 8 << "0%";
    QTest::newRow("complete") << QList<int>{30, 100, 60} << 100 << "100%";
}

void TestUpgradeDialogNew::progressNeverGoesBack()
{
    QFETCH(QList<int>, values);
    QFETCH(int, bar);
    QFETCH(QString, figure);

    UpgradeDialogNew dialog;
    for (int v : values)
        dialog.setProgress(v);
    QCOMPARE(child<QProgressBar>(dialog, "barPercent")->value(), bar);
    QCOMPARE(child<QLabel>(dialog, "lbPercent")->text(), figure);
    QCOMPARE(dialog.progress(), bar);
}

void TestUpgradeDialogNew::mainButton_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QList<int>>("emitted"); // cancelUpgrade, openMaster, manualUpgrade, dialogClosed
    QTest::addColumn<int>("state");

    QTest::newRow("updating: cancel") << Setup::None << 1 << QList<int>{1, 0, 0, 0} << 2;
    QTest::newRow("updating: two clicks cancel once") << Setup::None << 2 << QList<int>{1, 0, 0, 0} << 2;
    QTest::newRow("after incremental failure: cancel") << Setup::Incremental << 1 << QList<int>{1, 0, 0, 0} << 2;
    QTest::newRow("cancelling after a close: nothing") << Setup::Closed << 2 << QList<int>{0, 0, 0, 1} << 3;
    QTest::newRow("failed: manual update") << Setup::Failure << 1 << QList<int>{0, 0, 1, 0} << 4;
    QTest::newRow("succeeded: open the client") << Setup::Success << 1 << QList<int>{0, 1, 0, 0} << 5;
    QTest::newRow("cancel failed: manual update") << Setup::CancelFailure << 2 << QList<int>{0, 0, 2, 0} << 6;
    QTest::newRow("cancel succeeded: open the client") << Setup::CancelSuccess << 1 << QList<int>{0, 1, 0, 0} << 7;
}

void TestUpgradeDialogNew::mainButton()
{
    QFETCH(Setup, setup);
    QFETCH(int, clicks);
    QFETCH(QList<int>, emitted);
    QFETCH(int, state);

    UpgradeDialogNew dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Spies spies(&dialog);
    drive(dialog, setup);
    for (int i = 0; i < clicks; ++i)
        QTest::mouseClick(child<QPushButton>(dialog, "btnUpdate"), Qt::LeftButton);
    QCOMPARE(spies.counts(), emitted);
    QCOMPARE(dialog.state(), state);
    // Only a close ends the window; no click does.
    QCOMPARE(dialog.isVisible(), true);
}

void TestUpgradeDialogNew::closeWhileUpdating()
{
    UpgradeDialogNew dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Spies spies(&dialog);

    QVERIFY(!dialog.close());
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.state(), int(UpgradeDialogNew::CancelByClose));
    QCOMPARE(child<QLabel>(dialog, "lbLoadingText")->text(), QStringLiteral("Cancelling"));
    QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 1}));

    // The second close while cancelling goes through.
    QVERIFY(dialog.close());
    QVERIFY(!dialog.isVisible());
    QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 1}));
}

void TestUpgradeDialogNew::closeWhileCancelling()
{
    UpgradeDialogNew dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Spies spies(&dialog);
    QTest::mouseClick(child<QPushButton>(dialog, "btnUpdate"), Qt::LeftButton);
    QCOMPARE(dialog.state(), int(UpgradeDialogNew::CancelByButton));
    // A status the runner shows meanwhile is not overwritten by the close.
    dialog.showIncrementalFailed();

    QVERIFY(!dialog.close());
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.state(), int(UpgradeDialogNew::CancelByClose));
    QCOMPARE(child<QLabel>(dialog, "lbLoadingText")->text(),
             QStringLiteral("Encountered a small problem, please do not close, wait patiently..."));
    QCOMPARE(spies.counts(), (QList<int>{1, 0, 0, 1}));
}

void TestUpgradeDialogNew::closeAfterResult_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::newRow("failed") << Setup::Failure;
    QTest::newRow("succeeded") << Setup::Success;
    QTest::newRow("cancel failed") << Setup::CancelFailure;
    QTest::newRow("cancel succeeded") << Setup::CancelSuccess;
}

void TestUpgradeDialogNew::closeAfterResult()
{
    QFETCH(Setup, setup);
    UpgradeDialogNew dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Spies spies(&dialog);
    drive(dialog, setup);
    QVERIFY(dialog.close());
    QVERIFY(!dialog.isVisible());
    QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 0}));
}

void TestUpgradeDialogNew::closeButtonOfTheFrame()
{
    UpgradeDialogNew dialog;
    // The runner connects the frame's close button to the dialog's close slot.
    connect(&dialog, &PopupMaskBaseWidget::signalCloseWidget, &dialog, &UpgradeDialogNew::slotCloseWidget);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Spies spies(&dialog);
    auto *close = child<QPushButton>(dialog, "mask_btnClose");
    QTest::mouseClick(close, Qt::LeftButton);
    QVERIFY(dialog.isVisible());
    QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 1}));
    QTest::mouseClick(close, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 1}));
}

void TestUpgradeDialogNew::closeButtonAfterSuccess()
{
    UpgradeDialogNew dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    Spies spies(&dialog);
    dialog.setUpgradeResult(true);
    auto *second = child<QPushButton>(dialog, "btnIgnore");
    QVERIFY(second->isVisible());
    QTest::mouseClick(second, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 0}));
}

void TestUpgradeDialogNew::escapeDoesNothing()
{
    UpgradeDialogNew dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.activateWindow();
    Spies spies(&dialog);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QTest::keyClick(child<QPushButton>(dialog, "btnUpdate"), Qt::Key_Escape);
    dialog.reject();
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.state(), int(UpgradeDialogNew::Updating));
    QCOMPARE(child<QLabel>(dialog, "lbLoadingText")->text(), QStringLiteral("Updating"));
    QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 0}));
}

void TestUpgradeDialogNew::notifyFailedBeforeEventLoop()
{
    UpgradeDialogNew dialog;
    // No event is processed between the runner's signal and the check.
    emit dialog.notifyFailed();
    QCOMPARE(dialog.state(), int(UpgradeDialogNew::UpgradeFailed));
    QCOMPARE(child<QLabel>(dialog, "lbLoadingText")->text(), QStringLiteral("Sorry, fail to update"));
    QCOMPARE(child<QPushButton>(dialog, "btnUpdate")->text(), QStringLiteral("Update manually"));
    const QImage shown = child<QLabel>(dialog, "lbLoadingPic")->pixmap(Qt::ReturnByValue).toImage();
    QCOMPARE(shown.convertToFormat(QImage::Format_ARGB32_Premultiplied),
             QImage(QStringLiteral(":/images/update_fail_2x.png")).convertToFormat(QImage::Format_ARGB32_Premultiplied));
    QCOMPARE(child<QLabel>(dialog, "lbLoadingText")->font().pixelSize(), 16);
}

void TestUpgradeDialogNew::shadows_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("disabled"); // a button disabled before the shadows are renewed
    QTest::addColumn<QColor>("mainColour");

    const QColor orange(255, 138, 12, 77);
    const QColor green(7, 164, 91, 77);
    const QColor grey(187, 187, 187, 128);
    QTest::newRow("updating") << Setup::None << "" << orange;
    QTest::newRow("failed: no second button, orange") << Setup::Failure << "" << orange;
    QTest::newRow("succeeded: green") << Setup::Success << "" << green;
    QTest::newRow("disabled main button: grey") << Setup::Success << "btnUpdate" << grey;
    QTest::newRow("disabled other button") << Setup::CancelSuccess << "btnCheck" << green;
}

void TestUpgradeDialogNew::shadows()
{
    QFETCH(Setup, setup);
    QFETCH(QString, disabled);
    QFETCH(QColor, mainColour);

    UpgradeDialogNew dialog;
    if (!disabled.isEmpty())
        dialog.findChild<QPushButton *>(disabled)->setEnabled(false);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    drive(dialog, setup);

    const QColor orange(255, 138, 12, 77);
    const QColor green(7, 164, 91, 77);
    const QColor grey(187, 187, 187, 128);
    const std::pair<const char *, QColor> expected[] = {
        {"btnIgnore", orange}, {"btnCheck", orange},     {"btnLatest", orange},      {"btnInstall", green},
        {"btnRetryCheck", orange}, {"btnRetryUpdate", green}, {"btnUpdate", mainColour},
    };
    for (const auto &[name, colour] : expected) {
        auto *button = child<QPushButton>(dialog, name);
        auto *effect = qobject_cast<QGraphicsDropShadowEffect *>(button->graphicsEffect());
        QVERIFY2(effect, name);
        QCOMPARE(effect->blurRadius(), 22.0);
        QCOMPARE(effect->offset(), QPointF(0, 5));
        QCOMPARE(effect->color(), disabled == QLatin1String(name) ? grey : colour);
    }
}

void TestUpgradeDialogNew::successButtonIsGreen()
{
    UpgradeDialogNew dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto *button = child<QPushButton>(dialog, "btnUpdate");
    const auto sample = [button] {
        // Left of the text, halfway down: the button's own background.
        return button->grab().toImage().pixelColor(14, button->height() / 2);
    };
    const QColor before = sample();
    QVERIFY2(before.red() > 240 && before.green() > 150 && before.blue() < 60, qPrintable(before.name()));
    dialog.setUpgradeResult(true);
    const QColor after = sample();
    QVERIFY2(after.green() > 190 && after.red() < 120, qPrintable(after.name()));
    QCOMPARE(button->size(), QSize(140, 50));
}

QTEST_MAIN(TestUpgradeDialogNew)
#include "tst_upgradedialognew.moc"
