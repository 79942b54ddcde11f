#include "ui/mytitlebar.h"
#include "ui/skin.h"
#include "ui/upgradedialognew.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

using ui::UpgradeDialogNew;

// What the runner, or the user, did to the dialog before the test looks at it.
enum class Setup { None, Incremental, CancelClicked, Closed, Success, Failure, CancelSuccess, CancelFailure, Notified,
                   LowerProgress, ProgressAfterSuccess };
Q_DECLARE_METATYPE(Setup)

class TestUpgradeDialogNew : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ui::loadSkin(qApp); }
    void cleanup() { QCoreApplication::removeTranslator(&m_translator); }

    // Status line, buttons, figure and picture as the user reads them, in both languages. After a
    // success the figure shows 100% and a second button appears; after a failure the picture changes.
    void shows_data()
    {
        QTest::addColumn<QString>("lang");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("mainButton");
        QTest::addColumn<QString>("secondButton"); // empty: hidden
        const auto u = [](const char *s) { return QString::fromUtf8(s); };
        const QString done = "Congratulations,succeed to update", manual = "Update manually", open = "Start Lumaroom";
        QTest::newRow("en updating") << "en" << Setup::None << "Updating" << "Cancel" << "";
        QTest::newRow("en lower progress") << "en" << Setup::LowerProgress << "Updating" << "Cancel" << "";
        QTest::newRow("en incremental") << "en" << Setup::Incremental
                                        << "Encountered a small problem, please do not close, wait patiently..." << "Cancel" << "";
        QTest::newRow("en cancelling") << "en" << Setup::CancelClicked << "Cancelling" << "Cancel" << "";
        QTest::newRow("en closed") << "en" << Setup::Closed << "Cancelling" << "Cancel" << "";
        QTest::newRow("en success") << "en" << Setup::Success << done << open << "Close";
        QTest::newRow("en progress after success") << "en" << Setup::ProgressAfterSuccess << done << open << "Close";
        QTest::newRow("en failure") << "en" << Setup::Failure << "Sorry, fail to update" << manual << "";
        QTest::newRow("en failed before the event loop") << "en" << Setup::Notified << "Sorry, fail to update" << manual << "";
        QTest::newRow("en cancel success") << "en" << Setup::CancelSuccess << "Succeed to cancel" << open << "Close";
        QTest::newRow("en cancel failure") << "en" << Setup::CancelFailure << "Fail to cancel" << manual << "";
        QTest::newRow("cn updating") << "cn" << Setup::None << u("正在更新") << u("取消") << "";
        QTest::newRow("cn incremental") << "cn" << Setup::Incremental << u("遇到了小问题，请不要关闭，耐心等待哦...") << u("取消") << "";
        QTest::newRow("cn cancelling") << "cn" << Setup::CancelClicked << u("正在取消") << u("取消") << "";
        QTest::newRow("cn success") << "cn" << Setup::Success << u("恭喜您，已更新成功") << u("打开客户端") << u("关闭");
        QTest::newRow("cn failure") << "cn" << Setup::Failure << u("非常遗憾，更新失败") << u("手动更新") << "";
        QTest::newRow("cn cancel success") << "cn" << Setup::CancelSuccess << u("取消成功") << u("打开客户端") << u("关闭");
        QTest::newRow("cn cancel failure") << "cn" << Setup::CancelFailure << u("取消失败") << u("手动更新") << "";
    }

    void shows()
    {
        QFETCH(QString, lang);
        QFETCH(Setup, setup);
        QFETCH(QString, secondButton);
        QVERIFY(m_translator.load(QStringLiteral(":/translations/solupdate_%1.qm").arg(lang)));
        QCoreApplication::installTranslator(&m_translator);
        UpgradeDialogNew dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.setProgress(42);
        drive(dialog, setup);
        QTEST(child<QLabel>(dialog, "lbLoadingText")->text(), "status");
        QTEST(child<QPushButton>(dialog, "btnUpdate")->text(), "mainButton");
        auto *second = child<QPushButton>(dialog, "btnIgnore");
        QCOMPARE(second->isVisible() ? second->text() : QString(), secondButton);
        const int percent = secondButton.isEmpty() ? 42 : 100;
        QCOMPARE(child<QLabel>(dialog, "lbPercent")->text(), QStringLiteral("%1%").arg(percent));
        QCOMPARE(child<QProgressBar>(dialog, "barPercent")->value(), percent);
        const bool failed = setup == Setup::Failure || setup == Setup::Notified || setup == Setup::CancelFailure;
        const QPixmap picture(failed ? ":/images/update_fail_2x.png" : ":/images/update_normal_2x.png");
        QVERIFY(!picture.isNull());
        QCOMPARE(child<QLabel>(dialog, "lbLoadingPic")->pixmap(Qt::ReturnByValue).toImage(), picture.toImage());
    }

    // The signals the runner acts on, for each click of the main button, and whether a close goes
    // through (the window stays while an update runs: a close asks for a cancel instead).
    void actions_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("action"); // "click", "close", "frame close button", "escape"
        QTest::addColumn<QList<int>>("emitted"); // cancelUpgrade, openMaster, manualUpgrade, dialogClosed
        QTest::addColumn<bool>("closes");
        QTest::newRow("updating: click cancels once") << Setup::None << "click click" << QList<int>{ 1, 0, 0, 0 } << false;
        QTest::newRow("incremental failed: click cancels") << Setup::Incremental << "click" << QList<int>{ 1, 0, 0, 0 } << false;
        QTest::newRow("failed: manual update") << Setup::Failure << "click" << QList<int>{ 0, 0, 1, 0 } << false;
        QTest::newRow("succeeded: open the client") << Setup::Success << "click" << QList<int>{ 0, 1, 0, 0 } << false;
        QTest::newRow("cancel failed: manual update") << Setup::CancelFailure << "click click" << QList<int>{ 0, 0, 2, 0 } << false;
        QTest::newRow("cancel succeeded: open the client") << Setup::CancelSuccess << "click" << QList<int>{ 0, 1, 0, 0 } << false;
        QTest::newRow("updating: close asks to cancel") << Setup::None << "close" << QList<int>{ 0, 0, 0, 1 } << false;
        QTest::newRow("updating: second close goes through") << Setup::None << "close close" << QList<int>{ 0, 0, 0, 1 } << true;
        QTest::newRow("cancelling: close, click") << Setup::CancelClicked << "close click" << QList<int>{ 1, 0, 0, 1 } << false;
        QTest::newRow("updating: frame close button") << Setup::None << "frame" << QList<int>{ 0, 0, 0, 1 } << false;
        QTest::newRow("updating: escape does nothing") << Setup::None << "escape" << QList<int>{ 0, 0, 0, 0 } << false;
        QTest::newRow("failed: close") << Setup::Failure << "close" << QList<int>{ 0, 0, 0, 0 } << true;
        QTest::newRow("succeeded: close button") << Setup::Success << "second" << QList<int>{ 0, 0, 0, 0 } << true;
        QTest::newRow("cancel failed: close") << Setup::CancelFailure << "close" << QList<int>{ 0, 0, 0, 0 } << true;
        QTest::newRow("cancel succeeded: close") << Setup::CancelSuccess << "close" << QList<int>{ 0, 0, 0, 0 } << true;
    }

    void actions()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, action);
        QFETCH(bool, closes);
        UpgradeDialogNew dialog;
        // As the upgrade runner connects it.
        connect(&dialog, &PopupMaskBaseWidget::signalCloseWidget, &dialog, &UpgradeDialogNew::slotCloseWidget);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy cancel(&dialog, &UpgradeDialogNew::cancelUpgrade), open(&dialog, &UpgradeDialogNew::openMaster),
            manual(&dialog, &UpgradeDialogNew::manualUpgrade), closed(&dialog, &UpgradeDialogNew::dialogClosed);
        drive(dialog, setup);
        for (const QString &step : action.split(' ')) {
            if (step == "click")
                QTest::mouseClick(child<QPushButton>(dialog, "btnUpdate"), Qt::LeftButton);
            else if (step == "close")
                dialog.close();
            else if (step == "frame")
                QTest::mouseClick(child<QPushButton>(dialog, "mask_btnClose"), Qt::LeftButton);
            else if (step == "second")
                QTest::mouseClick(child<QPushButton>(dialog, "btnIgnore"), Qt::LeftButton);
            else if (step == "escape")
                QTest::keyClick(child<QPushButton>(dialog, "btnUpdate"), Qt::Key_Escape);
        }
        QTEST((QList<int>{ cancel.count(), open.count(), manual.count(), closed.count() }), "emitted");
        QCOMPARE(dialog.isVisible(), !closes);
    }

    // The skin reaches the dialog: the main button has its scaled size and turns green on success.
    // The frame's close button sits in the panel's top-right corner and follows it; the runner hides it.
    void skinAndFrame()
    {
        UpgradeDialogNew dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *button = child<QPushButton>(dialog, "btnUpdate");
        QCOMPARE(button->size(), QSize(utility::scaledValue(140), utility::scaledValue(50)));
        const auto sample = [button] { return button->grab().toImage().pixelColor(button->width() / 2, button->height() / 5); };
        QVERIFY2(sample().red() > 240 && sample().blue() < 60, qPrintable(sample().name())); // orange
        dialog.setUpgradeResult(true);
        QVERIFY2(sample().green() > 190 && sample().red() < 120, qPrintable(sample().name()));

        auto *panel = child<QWidget>(dialog, "mask_wgtContent");
        auto *close = child<QPushButton>(dialog, "mask_btnClose");
        dialog.setContentSize(400, 260);
        QTRY_COMPARE(panel->size(), QSize(400, 260 + utility::scaledValue(36)));
        QTRY_COMPARE(close->mapTo(&dialog, QPoint(close->width(), 0)), panel->mapTo(&dialog, QPoint(panel->width(), 0)));
        dialog.hideCloseButton();
        QVERIFY(!close->isVisible());
        MyTitlebar teacher(QStringLiteral("teacher")), student(QStringLiteral("student"));
        QVERIFY(teacher.styleSheet() != student.styleSheet());
        ui::loadSkin(qApp, QStringLiteral(":/images/no-such-skin.css"));
        QCOMPARE(qApp->styleSheet(), QString());
        ui::loadSkin(qApp);
    }

private:
    static void drive(UpgradeDialogNew &dialog, Setup setup)
    {
        switch (setup) {
        case Setup::None: break;
        case Setup::Incremental: dialog.showIncrementalFailed(); break;
        case Setup::CancelClicked: child<QPushButton>(dialog, "btnUpdate")->click(); break;
        case Setup::Closed: dialog.close(); break;
        case Setup::Success: dialog.setUpgradeResult(true); break;
        case Setup::Failure: dialog.setUpgradeResult(false); break;
        case Setup::CancelSuccess: dialog.setCancelResult(true); break;
        case Setup::CancelFailure: dialog.setCancelResult(false); break;
        case Setup::Notified: emit dialog.notifyFailed(); break; // no event runs in between
        case Setup::LowerProgress: dialog.setProgress(30); break; // the bar never goes back
        case Setup::ProgressAfterSuccess: dialog.setUpgradeResult(true); dialog.setProgress(60); break;
        }
    }
    // A missing child ends the test at once: the form lost a widget the user needs.
    template<typename T>
    static T *child(const QWidget &parent, const char *name)
    {
        T *w = parent.findChild<T *>(QLatin1String(name));
        return w ? w : (qFatal("no child %s", name), nullptr);
    }

    QTranslator m_translator;
};

QTEST_MAIN(TestUpgradeDialogNew)
#include "tst_upgradedialognew.moc"
