#include "ui/popupmaskbasewidget.h"

#include "ui/skin.h"
#include "ui_popupmaskbasewidget.h"

#include <QPushButton>

namespace {
// Height of the row above the content that holds the close button.
constexpr int kCloseRow = 36;
constexpr int kCornerRadius = 20;
constexpr int kTitleFontSize = 16;
constexpr int kCardPadding = 10;
// The dimming mask shows as a rim around the card.
constexpr int kMaskRim = 12;
} // namespace

PopupMaskBaseWidget::PopupMaskBaseWidget(QWidget *parent)
    : QWidget(parent)
    , m_form(std::make_unique<Ui::PopupMaskBaseWidget>())
{
    m_form->setupUi(this);

    const QString radius = QString::number(ui::pxSize(kCornerRadius));
    m_form->mask_widget->setStyleSheet(ui::kMaskStyle);
    m_form->mask_widget_3->setStyleSheet(ui::kMaskFrameStyle.arg(radius));
    m_form->mask_wgtContent->setStyleSheet(ui::kMaskContentStyle.arg(radius));
    m_form->mask_label->setStyleSheet(
            ui::kMaskTitleStyle.arg(radius, QString::number(ui::pxSize(kTitleFontSize)), ui::kFontFamily));
    // Style sheets paint a plain QWidget's background only when it asks for it.
    for (QWidget *w : { m_form->mask_widget, m_form->mask_widget_3, m_form->mask_wgtContent })
        w->setAttribute(Qt::WA_StyledBackground);

    const int rim = ui::pxSize(kMaskRim);
    m_form->verticalLayout_mask->setContentsMargins(rim, rim, rim, rim);
    const int pad = ui::pxSize(kCardPadding);
    m_form->verticalLayout_mask3->setContentsMargins(pad, pad, pad, pad);
    m_form->verticalLayout_content->setContentsMargins(0, ui::pxSize(kCloseRow), 0, 0);
    m_form->mask_label->setFixedHeight(ui::pxSize(kCloseRow));
    m_form->mask_label->hide();

    m_btnClose = new QPushButton(this);
    m_btnClose->setObjectName(QStringLiteral("mask_btnClose"));
    m_btnClose->setStyleSheet(ui::kCloseButtonStyle);
    m_btnClose->setFixedSize(ui::pxSize(kCloseRow), ui::pxSize(kCloseRow));
    m_btnClose->setFocusPolicy(Qt::NoFocus);
    connect(m_btnClose, &QPushButton::clicked, this, &PopupMaskBaseWidget::signalCloseWidget);
}

PopupMaskBaseWidget::~PopupMaskBaseWidget() = default;

void PopupMaskBaseWidget::setTitle(const QString &text)
{
    m_form->mask_label->setText(text);
    m_form->mask_label->setVisible(!text.isEmpty());
}

void PopupMaskBaseWidget::setContentSize(int width, int height)
{
    m_form->mask_wgtContent->setFixedSize(width, height + ui::pxSize(kCloseRow));
    adjustSize();
}

void PopupMaskBaseWidget::hideCloseButton()
{
    m_btnClose->hide();
}

QWidget *PopupMaskBaseWidget::contentPanel() const
{
    return m_form->mask_wgtContent;
}

void PopupMaskBaseWidget::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!m_btnClose)
        return;
    // The panel moves whenever the popup is resized, so the button follows it at every paint.
    const QWidget *panel = m_form->mask_wgtContent;
    const QPoint topLeft = panel->mapTo(this, QPoint(0, 0));
    const QPoint target(topLeft.x() + panel->width() - m_btnClose->width(), topLeft.y());
    if (m_btnClose->pos() != target)
        m_btnClose->move(target);
    m_btnClose->raise();
}
