#include "runner/mainrunner.h"

#include "app/constants.h"
#include "app/log.h"
#include "app/mainapplication.h"
#include "runner/checkrunner.h"
#include "runner/upgraderunner.h"

namespace runner {

std::shared_ptr<MainRunner> createMainRunner(const QString &action)
{
    applog::info(QStringLiteral("create mainrunner, action:%1").arg(action));
    if (action == app::kActionCheckUpdate) {
        app::MainApplication *application = app::MainApplication::instance();
        return std::make_shared<CheckRunner>(application ? CheckContext::fromApplication(*application)
                                                         : CheckContext());
    }
    if (action == app::kActionUpgrade || action == app::kActionRealUpgrade)
        return std::make_shared<UpgradeRunner>();
    return nullptr;
}

} // namespace runner
