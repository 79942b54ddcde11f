#include "runner/mainrunner.h"

#include "app/constants.h"
#include "app/mainapplication.h"
#include "log/log.h"
#include "runner/checkrunner.h"
#include "runner/constants.h"
#include "runner/upgradecontext.h"
#include "runner/upgraderunner.h"

#include <QGuiApplication>
#include <QStandardPaths>

namespace runner {

namespace {

// The runners' views of this run, taken from the application once.
CheckContext checkContextOf(app::MainApplication *application)
{
    CheckContext context;
    context.mode = application->mode();
    context.role = application->role();
    context.lang = application->lang();
    context.updateUrl = application->updateUrl();
    context.masterLocalServer = application->masterLocalServer();
    context.productVersion = application->productVersion();
    context.checkInterval = application->checkInterval();
    context.checkIntervalAfterUserCancel = application->checkIntervalAfterUserCancel();
    context.publicKey = application->publicKey();
    context.history = application->historyConfig();
    context.updateInfoManager = application->updateInfoManager();
    return context;
}

UpgradeContext upgradeContextOf(app::MainApplication *application)
{
    UpgradeContext context;
    context.role = application->role();
    context.exePath = application->exePath();
    context.installDir = application->installDir();
    context.productVersion = application->productVersion();
    context.backupDir = application->backupDirPath();
    context.dataDir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    context.historyFilePath = application->historyFilePath();
    context.updateInfoFilePath = updateInfoFilePath(application->role());
    context.patchToolPath = application->patchToolPath();
    context.repairRecordPath = application->repairRecordPath();
    context.upgradeLockPath = application->upgradeLockPath();
    context.updaterFileNames = application->updaterFileNames();
    context.needKilledProcesses = application->needKilledProcesses();
    context.withBackupSuffix = application->withBackupSuffix();
    context.publicKey = application->publicKey();
    context.closeResultPage = QGuiApplication::platformName() == QLatin1String("offscreen");
    context.history = application->historyConfig();
    context.updateInfo = application->updateInfoManager();
    context.pool = application->threadPool();
    context.releaseSingleInstance = [application] {
        application->closeLocalServers();
        application->releaseSharedMemory();
    };
    return context;
}

} // namespace

std::shared_ptr<MainRunner> createMainRunner(const QString &action)
{
    applog::info(QStringLiteral("create mainrunner, action:%1").arg(action));
    app::MainApplication *application = app::MainApplication::instance();
    if (!application)
        return nullptr;
    if (action == app::kActionCheckUpdate)
        return std::make_shared<CheckRunner>(checkContextOf(application));
    if (action == app::kActionUpgrade || action == app::kActionRealUpgrade) {
        auto upgrade = std::make_shared<UpgradeRunner>(upgradeContextOf(application));
        QObject::connect(application, &app::MainApplication::signal_activeUpgradeDialog, upgrade.get(),
                &UpgradeRunner::onActiveDialog);
        return upgrade;
    }
    return nullptr;
}

} // namespace runner
