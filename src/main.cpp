#include "app/mainapplication.h"
#include "log/log.h"
#include "runner/mainrunner.h"
#include "ui/skin.h"

int main(int argc, char *argv[])
{
    app::MainApplication::choosePlatform(argc, argv);
    auto application = std::make_unique<app::MainApplication>(argc, argv);
    applog::initLog(application->logDirPath());

    int exitStatus = -1;
    if (!application->initialize()) {
        applog::critical(QStringLiteral("application initialize failed"));
    } else if (application->isMultiInstance()) {
        applog::debug(QStringLiteral("multi instance running, quit now"));
        exitStatus = 0;
    } else {
        ui::loadSkin(application.get());
        std::shared_ptr<runner::MainRunner> mainRunner = runner::createMainRunner(application->action());
        if (!mainRunner) {
            applog::critical(QStringLiteral("main runner is invalid, action:%1").arg(application->action()));
        } else if (!mainRunner->initialize()) {
            applog::critical(QStringLiteral("main runner init error, action:%1").arg(application->action()));
        } else {
            const int result = mainRunner->run();
            applog::info(QStringLiteral("main runner run complete, ret:%1").arg(result));
        }
    }

    application->closeLocalServers();
    application->releaseSharedMemory();
    applog::uninitLog();
    application.reset();
    return exitStatus;
}
