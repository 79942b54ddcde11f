#include "ui/upgradedialognew.h"

#include "ui/constants.h"
#include "ui/skin.h"
#include "ui_upgradedialognew.h"

#include <QCloseEvent>
#include <QGraphicsDropShadowEffect>
#include <QLayout>
#include <QPixmap>

#include <algorithm>

namespace ui {

namespace {

constexpr int kContentWidth = 445;
constexpr int kContentHeight = 336;
constexpr int kMainWidth = 420;
constexpr int kMainHeight = 311;
constexpr int kBodyWidth = 380;
constexpr int kBodyHeight = 290;
constexpr int kPictureSize = 80;
constexpr int kStatusFontSize = 16;
constexpr int kPercentWidth = 44;
constexpr int kShadowBlur = 22;
constexpr int kShadowOffset = 5;
constexpr int kShadowRoom = 18;

const QColor kOrangeGlow(255, 138, 12, 77);
const QColor kGreenGlow(7, 164, 91, 77);
const QColor kDisabledGlow(187, 187, 187, 128);

} // namespace

UpgradeDialogNew::UpgradeDialogNew(QWidget *parent)
    : PopupMaskBaseWidget(parent)
    , m_form(std::make_unique<Ui::UpgradeDialogNew>())
{
    auto *formRoot = new QWidget(contentPanel());
    m_form->setupUi(formRoot);
    contentPanel()->layout()->addWidget(formRoot);
    QMetaObject::connectSlotsByName(this);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);

    setContentSize(pxSize(kContentWidth), pxSize(kContentHeight));
    m_form->wgtMain->setFixedSize(pxSize(kMainWidth), pxSize(kMainHeight));
    m_form->wgtBody->setFixedSize(pxSize(kBodyWidth), pxSize(kBodyHeight));
    m_form->lbLoadingPic->setFixedSize(pxSize(kPictureSize), pxSize(kPictureSize));
    // Room for "100%", so the bar keeps its length whatever the figure.
    m_form->lbPercent->setMinimumWidth(pxSize(kPercentWidth));
    // The button shadows reach below the buttons; without room there they are cut off.
    m_form->horizontalLayout_buttons->setContentsMargins(0, pxSize(kShadowRoom) / 2, 0, pxSize(kShadowRoom));

    m_form->stackedWidget->setCurrentWidget(m_form->page_update);
    m_form->stackedWidget_update->setCurrentWidget(m_form->page_updating);
    m_form->stackedWidget_bottom->setCurrentWidget(m_form->page_normal);
    m_form->btnIgnore->hide();
    m_form->btnInstall->hide();
    m_form->btnRetryUpdate->hide();
    m_form->btnUpdate->show();

    // A bar that starts a little filled shows its rounded end from the first moment.
    m_form->barPercent->setRange(0, 100);
    m_progress = std::max(16, pxSize(16)) / 2;
    m_form->barPercent->setValue(m_progress);

    m_form->lbPercent->setText(QStringLiteral("0%"));
    m_form->lbLoadingText->setText(tr(kTextUpdating));
    m_form->btnUpdate->setText(tr(kTextCancel));
    setPicture(kPictureNormal);

    // Direct, so that a runner failing before the event loop runs finds the dialog failed at once.
    connect(this, &UpgradeDialogNew::notifyFailed, this, &UpgradeDialogNew::onNotifyFailed, Qt::DirectConnection);

    m_state = Updating;
}

UpgradeDialogNew::~UpgradeDialogNew() = default;

void UpgradeDialogNew::setProgress(int value)
{
    if (value <= m_progress)
        return;
    m_progress = value;
    m_form->barPercent->setValue(value);
    m_form->lbPercent->setText(QStringLiteral("%1%").arg(value));
}

void UpgradeDialogNew::showIncrementalFailed()
{
    m_form->lbLoadingText->setText(tr(kTextIncrementalFailed));
}

void UpgradeDialogNew::setUpgradeResult(bool success)
{
    showResult(success, kTextUpdateSuccess, kTextUpdateFailed, UpgradeSucceeded, UpgradeFailed);
}

void UpgradeDialogNew::setCancelResult(bool success)
{
    showResult(success, kTextCancelSuccess, kTextCancelFailed, CancelSucceeded, CancelFailed);
}

void UpgradeDialogNew::showResult(
        bool success, const char *successText, const char *failureText, State successState, State failureState)
{
    if (success) {
        setPicture(kPictureNormal);
        // Kept as the highest value shown, so a late progress report cannot pull the bar back.
        m_progress = std::max(m_progress, 100);
        m_form->barPercent->setValue(100);
        m_form->lbPercent->setText(QStringLiteral("100%"));
        m_form->btnIgnore->setText(tr(kTextClose));
        m_form->btnIgnore->show();
        m_form->lbLoadingText->setText(tr(successText));
        m_form->btnUpdate->setText(tr(kTextOpenClient));
        m_form->btnUpdate->setStyleSheet(utility::scaleStyleSheet(kGreenButtonStyle));
        m_state = successState;
    } else {
        setPicture(kPictureFailed);
        m_form->lbLoadingText->setText(tr(failureText));
        QFont font(kFontFamily);
        font.setPixelSize(std::max(16, pxSize(kStatusFontSize)));
        m_form->lbLoadingText->setFont(font);
        m_form->btnUpdate->setText(tr(kTextManualUpdate));
        m_state = failureState;
    }
    renewButtonShadows();
}

void UpgradeDialogNew::on_btnUpdate_clicked()
{
    switch (m_state) {
    case Updating:
        m_state = CancelByButton;
        m_form->lbLoadingText->setText(tr(kTextCanceling));
        emit cancelUpgrade();
        break;
    case UpgradeFailed:
    case CancelFailed:
        emit manualUpgrade();
        break;
    case UpgradeSucceeded:
    case CancelSucceeded:
        emit openMaster();
        break;
    default:
        // A cancel is already under way.
        break;
    }
}

void UpgradeDialogNew::on_btnIgnore_clicked()
{
    close();
}

void UpgradeDialogNew::onNotifyFailed()
{
    setUpgradeResult(false);
}

void UpgradeDialogNew::reject() { }

void UpgradeDialogNew::slotCloseWidget()
{
    close();
}

void UpgradeDialogNew::paintEvent(QPaintEvent *event)
{
    PopupMaskBaseWidget::paintEvent(event);
}

void UpgradeDialogNew::closeEvent(QCloseEvent *event)
{
    switch (m_state) {
    case Updating:
        // Closing while updating asks for a cancel; the window stays until the runner answers.
        m_state = CancelByClose;
        m_form->lbLoadingText->setText(tr(kTextCanceling));
        event->ignore();
        emit dialogClosed();
        break;
    case CancelByButton:
        m_state = CancelByClose;
        event->ignore();
        emit dialogClosed();
        break;
    case CancelByClose:
        // A second close while cancelling is taken as the user insisting.
        break;
    default:
        event->accept();
        break;
    }
}

void UpgradeDialogNew::showEvent(QShowEvent *event)
{
    PopupMaskBaseWidget::showEvent(event);
    renewButtonShadows();
}

void UpgradeDialogNew::setPicture(const QString &path)
{
    m_form->lbLoadingPic->setPixmap(QPixmap(path));
}

void UpgradeDialogNew::renewButtonShadows()
{
    const bool afterResult = !m_form->btnIgnore->isHidden();
    const std::pair<QPushButton *, QColor> buttons[] = {
        { m_form->btnIgnore, kOrangeGlow },
        { m_form->btnCheck, kOrangeGlow },
        { m_form->btnLatest, kOrangeGlow },
        { m_form->btnInstall, kGreenGlow },
        { m_form->btnRetryCheck, kOrangeGlow },
        { m_form->btnRetryUpdate, kGreenGlow },
        { m_form->btnUpdate, afterResult ? kGreenGlow : kOrangeGlow },
    };
    for (const auto &[button, glow] : buttons) {
        auto *effect = new QGraphicsDropShadowEffect(button);
        effect->setBlurRadius(kShadowBlur);
        effect->setOffset(0, pxSize(kShadowOffset));
        effect->setColor(button->isEnabled() ? glow : kDisabledGlow);
        button->setGraphicsEffect(effect);
    }
}

} // namespace ui
