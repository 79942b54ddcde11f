#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class MyTitlebar;
}

// A small coloured title bar with a close button; blue for the teacher edition, orange otherwise.
class MyTitlebar : public QWidget
{
    Q_OBJECT

public:
    explicit MyTitlebar(QWidget *parent = nullptr);
    ~MyTitlebar() override;

signals:
    void sigCloseWidget();

public slots:
    void on_btnClose_clicked();

private:
    std::unique_ptr<Ui::MyTitlebar> m_form;
};
