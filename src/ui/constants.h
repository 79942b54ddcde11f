#pragma once

#include <QString>
#include <QtGlobal>

// Fixed texts of the user interface: resource paths, style sheets and the translatable texts.
namespace ui {

inline const QString kSkinPath = QStringLiteral(":/images/skin.css");
inline const QString kPictureNormal = QStringLiteral(":/images/update_normal_2x.png");
inline const QString kPictureFailed = QStringLiteral(":/images/update_fail_2x.png");

inline const QString kFontFamily = QStringLiteral("Microsoft YaHei");

// Popup frame; %1 is the scaled corner radius, %2 the title font size, %3 the font family.
inline const QString kMaskStyle = QStringLiteral("QWidget#mask_widget{background-color:rgba(0,0,0,0.3);}");
inline const QString kMaskFrameStyle
        = QStringLiteral("QWidget#mask_widget_3{background:rgba(255,244,227,1);border-radius:%1px;}");
inline const QString kMaskContentStyle = QStringLiteral(
        "QWidget#mask_wgtContent{background:rgba(255,255,255,1);border-top-left-radius:0px;"
        "border-top-right-radius:%1px;border-bottom-right-radius:%1px;border-bottom-left-radius:%1px;}");
inline const QString kMaskTitleStyle
        = QStringLiteral("QLabel#mask_label{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 rgba(255,255,255,1),"
                         "stop:1 rgba(255,244,227,1));border-top-left-radius:%1px;border-top-right-radius:%1px;"
                         "color:rgba(178,146,127,1);font-size:%2px;font-family:\"%3\";}");
inline const QString kCloseButtonStyle = QStringLiteral("QPushButton{border-image:url(\":/images/close.png\");}");

// Title bar background by role.
inline const QString kTitlebarTeacherStyle
        = QStringLiteral("background:rgba(70,69,255,1);border-top-left-radius:2px;border-top-right-radius:2px;"
                         "border-bottom-right-radius:0px;border-bottom-left-radius:0px;");
inline const QString kTitlebarStudentStyle
        = QStringLiteral("background:rgba(255,137,46,1);border-top-left-radius:2px;border-top-right-radius:2px;"
                         "border-bottom-right-radius:0px;border-bottom-left-radius:0px;");

// The green main button after a result; its size tokens are scaled like the skin's.
inline const QString kGreenButtonStyle = QStringLiteral(
        "QPushButton{min-width:140pxSize;max-width:140pxSize;min-height:50pxSize;max-height:50pxSize;"
        "border:none;border-radius:25pxSize;font:16pxSize \"Microsoft YaHei\";font-weight:400;"
        "color:rgba(255,255,255,1);"
        "background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 rgba(109,227,23,1),stop:1 rgba(23,204,120,1));}"
        "QPushButton:hover,QPushButton:pressed{"
        "background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 rgba(100,216,16,1),stop:1 rgba(15,190,109,1));}"
        "QPushButton:disabled{"
        "background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 rgba(204,204,204,1),stop:1 rgba(187,187,187,1));}");

// Texts of the progress dialog, translated in the dialog's own context.
inline const char *const kTextCancel = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Cancel");
inline const char *const kTextCancelFailed = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Cancel Failed");
inline const char *const kTextCancelSuccess = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Cancel Success");
inline const char *const kTextCanceling = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Canceling");
inline const char *const kTextClose = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Close");
inline const char *const kTextIncrementalFailed
        = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Incremental Update Failed");
inline const char *const kTextManualUpdate = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Manual Update");
inline const char *const kTextOpenClient = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Open Client Program");
inline const char *const kTextUpdateFailed = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Update Failed");
inline const char *const kTextUpdateSuccess = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Update Success");
inline const char *const kTextUpdating = QT_TRANSLATE_NOOP("ui::UpgradeDialogNew", "Updating");

} // namespace ui
