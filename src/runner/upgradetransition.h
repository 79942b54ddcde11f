#pragma once

// The upgrade's state loop as data: which step follows a finished one. The runner's handlers do
// the work of a state (start a download, the patch tool, a restore) and ask this table what comes
// next, so every path through an upgrade can be read, and tested, in one place.
namespace runner {

// The states of the loop; each starting state is followed by the one that gets its result.
enum UpgradeState {
    StateNone = 0,
    DownloadUpgradePackage = 1,
    DownloadUpgradePackageComplete = 2,
    DownloadFullPackage = 3,
    DownloadFullPackageComplete = 4,
    UpgradeUpgradePackage = 5,
    UpgradeUpgradePackageComplete = 6,
    UpgradeFullPackage = 7,
    UpgradeFullPackageComplete = 8,
    FallbackUpgradePackage = 9,
    FallbackUpgradePackageComplete = 10,
    FallbackFullPackage = 11,
    FallbackFullPackageComplete = 12,
};

// Results passed between the handlers and the final outcome; the numbers are the ones the history
// file and the log have always carried.
enum UpgradeResult {
    ResultSuccess = 0,
    ResultPending = 1,
    ResultFailed = 2,
    ResultCancelled = 3,
    ResultDownloadFailed = 4,
    ResultRestored = 7,
    ResultCancelRestoreFailed = 8,
    ResultRestoreFailed = 9,
    ResultClosedByUser = 11,
};

struct UpgradeTransition
{
    // The state to run (or, with ResultPending, to wait in); StateNone ends the upgrade with result.
    int nextState = StateNone;
    int result = ResultSuccess;
    // The user is to learn that the incremental package failed and the full one comes next.
    bool incrementalFailed = false;
};

// What follows when state ended with result. A starting state ends with ResultPending once its
// work runs and with ResultFailed when it could not be started. cancelled: the user cancelled;
// incremental: the package being applied (or restored after) is the incremental one.
UpgradeTransition upgradeTransition(int state, int result, bool cancelled, bool incremental);

// The outcome stored and shown for a finished upgrade: a cancel the user asked for by closing the
// window is told apart from one asked for with the cancel button.
int finalUpgradeResult(int result, bool closedByUser);

} // namespace runner
