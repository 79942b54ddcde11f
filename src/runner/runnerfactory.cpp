#include "runner/mainrunner.h"

#include "app/constants.h"
#include "app/log.h"

namespace runner {

std::shared_ptr<MainRunner> createMainRunner(const QString &action)
{
    applog::info(QStringLiteral("create mainrunner, action:%1").arg(action));
    return nullptr;
}

} // namespace runner
