// Renders the progress dialog with the real skin and translations into PNG files, one per state
// and language, set up as the upgrade runner sets it up. Used by scripts/render-dialog.sh for the
// pictures in docs/; the script gives it a 1440-pixel screen at 111 DPI, where every size comes out
// at factor 1.
#include "ui/skin.h"
#include "ui/upgradedialognew.h"
#include "utility/displayscaling.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QPixmap>
#include <QPushButton>
#include <QTextStream>
#include <QTranslator>

#include <functional>

namespace {

struct Shot
{
    const char *name;
    std::function<void(ui::UpgradeDialogNew &)> drive;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList args = application.arguments();
    const QString outDir = args.size() > 1 ? args.at(1) : QStringLiteral("docs");
    QDir().mkpath(outDir);
    QTextStream out(stdout);

    if (utility::scaleFactor() != 1.0) {
        out << "the screen gives the scale factor " << utility::scaleFactor() << ", not 1\n";
        return 1;
    }
    // The product's fonts are Windows fonts; the closest one on this machine stands in for them
    // so that texts take about the room they take there.
    for (const char *family : { "Microsoft YaHei", "Microsoft YaHei UI" })
        QFont::insertSubstitution(QLatin1String(family), QStringLiteral("Noto Sans CJK SC"));
    QApplication::setFont(QFont(QStringLiteral("Microsoft YaHei UI")));
    ui::loadSkin(&application);

    const Shot shots[] = {
        { "updating", [](ui::UpgradeDialogNew &d) { d.setProgress(30); } },
        { "incremental-failed",
                [](ui::UpgradeDialogNew &d) {
                    d.setProgress(42);
                    d.showIncrementalFailed();
                } },
        { "success",
                [](ui::UpgradeDialogNew &d) {
                    d.setProgress(100);
                    d.setUpgradeResult(true);
                } },
        { "failure",
                [](ui::UpgradeDialogNew &d) {
                    d.setProgress(64);
                    d.setUpgradeResult(false);
                } },
        { "cancelling",
                [](ui::UpgradeDialogNew &d) {
                    d.setProgress(55);
                    d.findChild<QPushButton *>(QStringLiteral("btnUpdate"))->click();
                } },
        { "cancel-success",
                [](ui::UpgradeDialogNew &d) {
                    d.setProgress(55);
                    d.findChild<QPushButton *>(QStringLiteral("btnUpdate"))->click();
                    d.setCancelResult(true);
                } },
    };

    for (const QString lang : { QStringLiteral("en"), QStringLiteral("cn") }) {
        QTranslator translator;
        if (!translator.load(QStringLiteral(":/translations/solupdate_%1.qm").arg(lang))) {
            out << "cannot load the translation " << lang << '\n';
            return 1;
        }
        QApplication::installTranslator(&translator);
        for (const Shot &shot : shots) {
            ui::UpgradeDialogNew dialog;
            // As the upgrade runner shows it: without the frame's close button.
            dialog.hideCloseButton();
            dialog.show();
            shot.drive(dialog);
            QApplication::processEvents();
            const QString path = QStringLiteral("%1/dialog-%2-%3.png").arg(outDir, QLatin1String(shot.name), lang);
            if (!dialog.grab().save(path)) {
                out << "cannot write " << path << '\n';
                return 1;
            }
            out << path << '\n';
            dialog.hide();
        }
        QApplication::removeTranslator(&translator);
    }
    return 0;
}
