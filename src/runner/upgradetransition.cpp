#include "runner/upgradetransition.h"

#include <iterator>

namespace runner {
namespace {

enum class When { Any, Success, Pending, Cancelled, NotCancelled, Incremental };
// A final result that is whatever the finished step reported.
constexpr int kSameResult = -1;
// The restore's result decides: the first value when it put everything back, the second when not.
constexpr int kRestoreCancelled = -2;
constexpr int kRestoreDone = -3;

struct Row
{
    int state;
    When first;
    When second;
    int nextState;
    int result;
    bool incrementalFailed;
};

// First matching row wins. A row without a state to go on to ends the upgrade.
constexpr Row kRows[] = {
    { DownloadUpgradePackage, When::Pending, When::Any, DownloadUpgradePackageComplete, ResultPending, false },
    { DownloadUpgradePackage, When::Any, When::Any, DownloadFullPackage, ResultSuccess, false },
    { DownloadUpgradePackageComplete, When::Cancelled, When::Any, StateNone, ResultCancelled, false },
    { DownloadUpgradePackageComplete, When::Success, When::Any, UpgradeUpgradePackage, ResultSuccess, false },
    { DownloadUpgradePackageComplete, When::Any, When::Any, DownloadFullPackage, ResultSuccess, true },

    { DownloadFullPackage, When::Pending, When::Any, DownloadFullPackageComplete, ResultPending, false },
    { DownloadFullPackage, When::Any, When::Any, StateNone, ResultFailed, false },
    { DownloadFullPackageComplete, When::Cancelled, When::Any, StateNone, ResultCancelled, false },
    { DownloadFullPackageComplete, When::Success, When::Any, UpgradeFullPackage, ResultSuccess, false },
    { DownloadFullPackageComplete, When::Any, When::Any, StateNone, kSameResult, false },

    { UpgradeUpgradePackage, When::Pending, When::Any, UpgradeUpgradePackageComplete, ResultPending, false },
    { UpgradeUpgradePackage, When::Any, When::Any, DownloadFullPackage, ResultSuccess, false },
    { UpgradeUpgradePackageComplete, When::NotCancelled, When::Success, StateNone, ResultSuccess, false },
    { UpgradeUpgradePackageComplete, When::NotCancelled, When::Any, FallbackUpgradePackage, ResultSuccess, true },
    { UpgradeUpgradePackageComplete, When::Any, When::Any, FallbackUpgradePackage, ResultSuccess, false },

    { UpgradeFullPackage, When::Pending, When::Any, UpgradeFullPackageComplete, ResultPending, false },
    { UpgradeFullPackage, When::Any, When::Any, StateNone, ResultFailed, false },
    { UpgradeFullPackageComplete, When::NotCancelled, When::Success, StateNone, ResultSuccess, false },
    { UpgradeFullPackageComplete, When::Any, When::Any, FallbackFullPackage, ResultSuccess, false },

    { FallbackUpgradePackage, When::Pending, When::Any, FallbackUpgradePackageComplete, ResultPending, false },
    { FallbackUpgradePackage, When::Any, When::Any, StateNone, ResultFailed, false },
    { FallbackUpgradePackageComplete, When::Cancelled, When::Any, StateNone, kRestoreCancelled, false },
    { FallbackUpgradePackageComplete, When::Incremental, When::Any, DownloadFullPackage, ResultSuccess, false },
    { FallbackUpgradePackageComplete, When::Any, When::Any, StateNone, kRestoreDone, false },

    { FallbackFullPackage, When::Pending, When::Any, FallbackFullPackageComplete, ResultPending, false },
    { FallbackFullPackage, When::Any, When::Any, StateNone, ResultFailed, false },
    { FallbackFullPackageComplete, When::Cancelled, When::Any, StateNone, kRestoreCancelled, false },
    { FallbackFullPackageComplete, When::Any, When::Any, StateNone, kRestoreDone, false },
};

bool holds(When when, int result, bool cancelled, bool incremental)
{
    switch (when) {
    case When::Any:
        return true;
    case When::Success:
        return result == ResultSuccess;
    case When::Pending:
        return result == ResultPending;
    case When::Cancelled:
        return cancelled;
    case When::NotCancelled:
        return !cancelled;
    case When::Incremental:
        return incremental;
    }
    return false;
}

} // namespace

UpgradeTransition upgradeTransition(int state, int result, bool cancelled, bool incremental)
{
    for (const Row &row : kRows) {
        if (row.state != state || !holds(row.first, result, cancelled, incremental)
                || !holds(row.second, result, cancelled, incremental))
            continue;
        UpgradeTransition transition{ row.nextState, row.result, row.incrementalFailed };
        if (row.result == kSameResult)
            transition.result = result;
        else if (row.result == kRestoreCancelled)
            transition.result = result == ResultSuccess ? ResultCancelled : ResultCancelRestoreFailed;
        else if (row.result == kRestoreDone)
            transition.result = result == ResultSuccess ? ResultRestored : ResultRestoreFailed;
        return transition;
    }
    // A state outside the loop: nothing to run, and the result stands.
    return UpgradeTransition{ StateNone, result, false };
}

int finalUpgradeResult(int result, bool closedByUser)
{
    if (closedByUser && (result == ResultCancelled || result == ResultCancelRestoreFailed))
        return ResultClosedByUser;
    return result;
}

} // namespace runner
