#include "runner/mainrunner.h"

#include "app/constants.h"
#include "app/log.h"
#include "runner/checkrunner.h"

namespace runner {

std::shared_ptr<MainRunner> createMainRunner(const QString &action)
{
    applog::info(QStringLiteral("create mainrunner, action:%1").arg(action));
    if (action == app::kActionCheckUpdate)
        return std::make_shared<CheckRunner>();
    return nullptr;
}

} // namespace runner
