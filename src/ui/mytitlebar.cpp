#include "ui/mytitlebar.h"

#include "app/constants.h"
#include "ui/constants.h"
#include "ui_mytitlebar.h"

MyTitlebar::MyTitlebar(const QString &role, QWidget *parent)
    : QWidget(parent)
    , m_form(std::make_unique<Ui::MyTitlebar>())
{
    m_form->setupUi(this);
    setStyleSheet(role == app::kRoleTeacher ? ui::kTitlebarTeacherStyle : ui::kTitlebarStudentStyle);
    setAttribute(Qt::WA_StyledBackground);
}

MyTitlebar::~MyTitlebar() = default;

void MyTitlebar::on_btnClose_clicked()
{
    emit sigCloseWidget();
}
