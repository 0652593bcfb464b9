// How a run of the updater ends: its exit codes, the final text, and the restart of the
// application.
#pragma once

#include <QString>

namespace vellumix {

// The process exit codes: the complete set.
enum ExitCode : int {
    ExitSuccess = 0,               // the new version confirmed its start, or recovery ended
    ExitHandledFailure = 1,        // a failure was reported; the old files are in place
    ExitNoProgramRoot = 2,         // "--root" missing or empty
    ExitLockNotTaken = 3,          // another updater holds the program root, or no work directory
    ExitNewVersionEnded = 4,       // the new version ended unconfirmed and was rolled back
    ExitNewVersionUnconfirmed = 5, // still running unconfirmed; the journal asks for a rollback
    ExitRollbackFailed = 6,        // a failure, and the rollback after it failed too
};

// Shows the final text: in a message box, or with "--quiet" on the command line as one warning in
// the log. Blocks until the box is dismissed; never fails.
void showMessage(const QString &text);

// Handles a failure raised anywhere after the lock was taken: rolls an unfinished transaction
// back, starts the previous program again when that is safe, shows the one final text, and
// answers the exit code (1, or 6 when the rollback failed or the journal could not be read).
int reportFailure(const QString &message, const QString &programRoot, bool parentWaitDone);

// Starts the program root's Vellumix.exe detached, with no arguments; the result is not looked at.
void restartMainProgram(const QString &programRoot);

} // namespace vellumix
