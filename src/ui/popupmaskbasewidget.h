#pragma once

#include <QWidget>

#include <memory>

class QPushButton;

namespace Ui {
class PopupMaskBaseWidget;
}

// The frame every popup of the updater shares: a dimming mask, a cream card with an optional
// title tab, a white content panel and a close button in the panel's top-right corner.
class PopupMaskBaseWidget : public QWidget
{
    Q_OBJECT

public:
    explicit PopupMaskBaseWidget(QWidget *parent = nullptr);
    ~PopupMaskBaseWidget() override;

    // The title tab above the panel; an empty title hides the tab.
    void setTitle(const QString &text);
    // Fixes the content panel at width x (height + the close button's row).
    void setContentSize(int width, int height);
    void hideCloseButton();

signals:
    // The close button was clicked.
    void signalCloseWidget();

protected:
    // Where a derived popup puts its own widgets.
    QWidget *contentPanel() const;
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<Ui::PopupMaskBaseWidget> m_form;
    QPushButton *m_btnClose = nullptr;
};
