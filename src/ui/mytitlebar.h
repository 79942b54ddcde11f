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
    // role is the edition of the launch parameters; "teacher" gets the blue bar.
    explicit MyTitlebar(const QString &role, QWidget *parent = nullptr);
    ~MyTitlebar() override;

signals:
    void sigCloseWidget();

public slots:
    void on_btnClose_clicked();

private:
    std::unique_ptr<Ui::MyTitlebar> m_form;
};
