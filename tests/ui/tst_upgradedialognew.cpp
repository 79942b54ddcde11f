#include "ui/skin.h"
#include "ui/upgradedialognew.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

using ui::UpgradeDialogNew;

class TestUpgradeDialogNew : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ui::loadSkin(qApp); }
    void cleanup() { QCoreApplication::removeTranslator(&m_translator); }

    // What the user reads after what the runner or the user did, in both languages, and the signals
    // the runner acts on. A close while an update runs asks for a cancel instead; after a success the
    // figure shows 100% and a second button appears; after a failure the picture changes.
    void dialog_data()
    {
        QTest::addColumn<QString>("lang");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QStringList>("shown"); // status, main button, second button (empty: hidden)
        QTest::addColumn<QList<int>>("emitted"); // cancelUpgrade, openMaster, manualUpgrade, dialogClosed
        QTest::addColumn<bool>("open");
        const QString done = "Congratulations,succeed to update", failed = "Sorry, fail to update",
                      manual = "Update manually", client = "Start Lumaroom",
                      incremental = "Encountered a small problem, please do not close, wait patiently...";
        const QHash<QString, QString> cn{ { "Updating", "正在更新" }, { "Cancel", "取消" },
            { "Cancelling", "正在取消" }, { incremental, "遇到了小问题，请不要关闭，耐心等待哦..." },
            { done, "恭喜您，已更新成功" }, { client, "打开客户端" }, { "Close", "关闭" },
            { failed, "非常遗憾，更新失败" }, { manual, "手动更新" }, { "Succeed to cancel", "取消成功" },
            { "Fail to cancel", "取消失败" } };
        const struct
        {
            const char *name, *steps;
            QStringList shown;
            QList<int> emitted;
            bool open;
        } rows[] = {
            { "lower progress, escape: nothing", "30 escape", { "Updating", "Cancel", "" }, { 0, 0, 0, 0 }, true },
            { "incremental failed", "incremental", { incremental, "Cancel", "" }, { 0, 0, 0, 0 }, true },
            { "click cancels once", "click click", { "Cancelling", "Cancel", "" }, { 1, 0, 0, 0 }, true },
            { "close asks to cancel", "close", { "Cancelling", "Cancel", "" }, { 0, 0, 0, 1 }, true },
            { "frame close button asks too", "frame", { "Cancelling", "Cancel", "" }, { 0, 0, 0, 1 }, true },
            { "second close goes through", "close close", { "Cancelling", "Cancel", "" }, { 0, 0, 0, 1 }, false },
            { "cancelling: close, click", "click close click", { "Cancelling", "Cancel", "" }, { 1, 0, 0, 1 }, true },
            { "succeeded, later progress, close button", "updated 60 click second", { done, client, "Close" },
                    { 0, 1, 0, 0 }, false },
            { "failed", "update-failed click close", { failed, manual, "" }, { 0, 0, 1, 0 }, false },
            { "failed before the event loop", "notified", { failed, manual, "" }, { 0, 0, 0, 0 }, true },
            { "cancel succeeded", "cancelled click close", { "Succeed to cancel", client, "Close" }, { 0, 1, 0, 0 },
                    false },
            { "cancel failed", "cancel-failed click click close", { "Fail to cancel", manual, "" }, { 0, 0, 2, 0 },
                    false },
        };
        for (const QString lang : { "en", "cn" }) {
            for (const auto &row : rows) {
                QStringList shown = row.shown;
                for (QString &text : shown)
                    text = lang == "en" ? text : cn.value(text, text);
                QTest::addRow("%s %s", qPrintable(lang), row.name)
                        << lang << row.steps << shown << row.emitted << row.open;
            }
        }
    }

    void dialog()
    {
        QFETCH(QString, lang);
        QFETCH(QString, steps);
        QFETCH(QStringList, shown);
        QVERIFY(m_translator.load(QStringLiteral(":/translations/solupdate_%1.qm").arg(lang)));
        QCoreApplication::installTranslator(&m_translator);
        UpgradeDialogNew dialog;
        // As the upgrade runner connects it.
        connect(&dialog, &PopupMaskBaseWidget::signalCloseWidget, &dialog, &UpgradeDialogNew::slotCloseWidget);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy cancel(&dialog, &UpgradeDialogNew::cancelUpgrade),
                openMaster(&dialog, &UpgradeDialogNew::openMaster), manual(&dialog, &UpgradeDialogNew::manualUpgrade),
                closed(&dialog, &UpgradeDialogNew::dialogClosed);
        dialog.setProgress(42);
        const QHash<QString, const char *> buttons{ { "click", "btnUpdate" }, { "second", "btnIgnore" },
            { "frame", "mask_btnClose" } };
        for (const QString &step : steps.split(' ')) {
            if (buttons.contains(step))
                QTest::mouseClick(child<QPushButton>(dialog, buttons.value(step)), Qt::LeftButton);
            else if (step == "escape")
                QTest::keyClick(child<QPushButton>(dialog, "btnUpdate"), Qt::Key_Escape);
            else if (step == "close")
                dialog.close();
            else if (step == "incremental")
                dialog.showIncrementalFailed();
            else if (step.startsWith("update"))
                dialog.setUpgradeResult(step == "updated");
            else if (step.startsWith("cancel"))
                dialog.setCancelResult(step == "cancelled");
            else if (step == "notified")
                emit dialog.notifyFailed(); // no event runs in between
            else
                dialog.setProgress(step.toInt());
        }
        auto *second = child<QPushButton>(dialog, "btnIgnore");
        QCOMPARE(QStringList({ child<QLabel>(dialog, "lbLoadingText")->text(),
                         child<QPushButton>(dialog, "btnUpdate")->text(),
                         second->isHidden() ? QString() : second->text() }),
                shown);
        const int percent = shown.at(2).isEmpty() ? 42 : 100;
        QCOMPARE(child<QLabel>(dialog, "lbPercent")->text(), QStringLiteral("%1%").arg(percent));
        QCOMPARE(child<QProgressBar>(dialog, "barPercent")->value(), percent);
        const bool failed = steps.contains("fail") || steps == "notified";
        const QPixmap picture(failed ? ":/images/update_fail_2x.png" : ":/images/update_normal_2x.png");
        QVERIFY(!picture.isNull());
        QCOMPARE(child<QLabel>(dialog, "lbLoadingPic")->pixmap(Qt::ReturnByValue).toImage(), picture.toImage());
        QTEST((QList<int>{ cancel.count(), openMaster.count(), manual.count(), closed.count() }), "emitted");
        QTEST(dialog.isVisible(), "open");
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
        const auto sample
                = [button] { return button->grab().toImage().pixelColor(button->width() / 2, button->height() / 5); };
        QVERIFY2(sample().red() > 240 && sample().blue() < 60, qPrintable(sample().name())); // orange
        dialog.setUpgradeResult(true);
        QVERIFY2(sample().green() > 190 && sample().red() < 120, qPrintable(sample().name()));

        auto *panel = child<QWidget>(dialog, "mask_wgtContent");
        auto *close = child<QPushButton>(dialog, "mask_btnClose");
        dialog.setContentSize(400, 260);
        QTRY_COMPARE(panel->size(), QSize(400, 260 + utility::scaledValue(36)));
        QTRY_COMPARE(
                close->mapTo(&dialog, QPoint(close->width(), 0)), panel->mapTo(&dialog, QPoint(panel->width(), 0)));
        dialog.hideCloseButton();
        QVERIFY(!close->isVisible());
        ui::loadSkin(qApp, QStringLiteral(":/images/no-such-skin.css"));
        QCOMPARE(qApp->styleSheet(), QString());
        ui::loadSkin(qApp);
    }

private:
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
