#include "ui/mytitlebar.h"

#include "app/constants.h"
#include "app/mainapplication.h"
#include "ui/constants.h"
#include "ui_mytitlebar.h"

MyTitlebar::MyTitlebar(QWidget *parent)
    : QWidget(parent)
    , m_form(std::make_unique<Ui::MyTitlebar>())
{
    m_form->setupUi(this);
    const app::MainApplication *application = app::MainApplication::instance();
    const bool teacher = application && application->role() == app::kRoleTeacher;
    setStyleSheet(teacher ? ui::kTitlebarTeacherStyle : ui::kTitlebarStudentStyle);
    setAttribute(Qt::WA_StyledBackground);
}

MyTitlebar::~MyTitlebar() = default;

void MyTitlebar::on_btnClose_clicked()
{
    emit sigCloseWidget();
}
