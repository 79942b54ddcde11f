#pragma once

#include "ui/popupmaskbasewidget.h"

#include <memory>

namespace ui {

namespace Ui {
class UpgradeDialogNew;
}

// The window of an upgrade: a picture, a status line, a progress bar with its figure and a main
// button whose meaning follows the state. It tells the upgrade runner what the user wants only
// through its signals; the runner drives it through the setters.
class UpgradeDialogNew : public PopupMaskBaseWidget
{
    Q_OBJECT

public:
    // The phases the dialog is in; the numbers are the ones the dialog has always used.
    enum State {
        Updating = 1,
        CancelByButton = 2,
        CancelByClose = 3,
        UpgradeFailed = 4,
        UpgradeSucceeded = 5,
        CancelFailed = 6,
        CancelSucceeded = 7,
    };

    explicit UpgradeDialogNew(QWidget *parent = nullptr);
    ~UpgradeDialogNew() override;

    // Shows value (0 to 100) when it is above everything shown so far; the bar never goes back.
    void setProgress(int value);
    // The incremental package failed and the full package is tried next.
    void showIncrementalFailed();
    void setUpgradeResult(bool success);
    void setCancelResult(bool success);

signals:
    void cancelUpgrade();
    void openMaster();
    void manualUpgrade();
    void dialogClosed();
    // Emitted by the runner when its run fails before the event loop starts.
    void notifyFailed();

public slots:
    void on_btnUpdate_clicked();
    void on_btnIgnore_clicked();
    void onNotifyFailed();
    // Escape and similar requests must not end an upgrade, so this does nothing.
    virtual void reject();
    void slotCloseWidget();

protected:
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void showResult(
            bool success, const char *successText, const char *failureText, State successState, State failureState);
    void setPicture(const QString &path);
    void renewButtonShadows();

    std::unique_ptr<Ui::UpgradeDialogNew> m_form;
    int m_progress = 0;
    int m_state = Updating;
};

} // namespace ui
