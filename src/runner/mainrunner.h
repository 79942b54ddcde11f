#pragma once

#include <QObject>

#include <memory>

namespace runner {

// The one job of a run. The entry holds the only strong reference; workers the runner starts get
// weak references to its delegate interfaces, built from shared_from_this().
class MainRunner : public QObject, public std::enable_shared_from_this<MainRunner>
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Prepares the job; false when something it needs is missing (the reason is logged).
    virtual bool initialize() = 0;
    // Starts the work and runs the event loop; returns the loop's value.
    virtual int run() = 0;
};

// The runner for an action: a check for "checkUpdate", the upgrade for "upgrade" and
// "realUpgrade"; none for anything else.
std::shared_ptr<MainRunner> createMainRunner(const QString &action);

} // namespace runner
