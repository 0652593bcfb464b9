// What the application does around an update besides downloading it: one call early in main()
// that confirms the start of a new version the updater is probing, or runs the recovery of an
// update left unfinished; and starting the updater for a complete stage before it quits.
//
//     int main(int argc, char *argv[])
//     {
//         QCoreApplication app(argc, argv);
//         const vellumix::StartupDecision startup =
//             vellumix::handleStartup(app.arguments(), QStringLiteral("1.0.0"));
//         if (startup.action == vellumix::StartupAction::Quit)
//             return 0;
//         ...
//     }
#pragma once

#include <vellumix/updatefailure.h>
#include <vellumix/updateoutcome.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace vellumix {

enum class StartupAction {
    // Nothing to do for an update: the application runs as usual.
    Continue,
    // This process is the new version that the updater started to prove that it works, and its
    // start has been confirmed: the application runs as usual and must not start another updater.
    ContinueConfirmed,
    // An update is being finished by the updater (a recovery was started now, or an updater is
    // already at work on the program): the application quits at once, without using its files.
    // The updater starts it again when it is done.
    Quit,
};

struct StartupDecision
{
    StartupAction action = StartupAction::Continue;
    // Not ok() when something failed on the way: the health file could not be written (the
    // action is then Continue: the updater rolls the update back once its wait is over), or the
    // recovery could not be started (the action stays Quit: the program's files may be those of
    // a half-installed update).
    UpdateFailure failure;
    // What became of the last update, on the first start after it ended (installed, rolled
    // back, recovered, not installed), so that the application tells its user once; the probed
    // new version hears "installed" here. Not valid on every other start (see lastUpdateOutcome).
    UpdateOutcome outcome;
};

/*
    Call once, early in main(), with the application's own arguments and its version text (equal
    to its release's "version"). It decides in this order:
    - started by the updater with the probe option: writes the health file for its token and
      `version` and answers ContinueConfirmed. It never starts a recovery then, although the
      journal still names the update unfinished until the updater has seen the confirmation.
    - an update left unfinished (a crash, a power cut, an unconfirmed start) and no updater at work
      on the program: starts the recovery run, which waits for this process, and answers Quit.
    - an updater still at work on the program (its lock is held by a live process): answers Quit
      without starting anything.
    - otherwise Continue, with what became of the last update when this is the first start since
      it ended. A release that failed is remembered (see UpdateInfo::failedHere()), and the stage
      of a release that is installed now is removed.
    `programRoot` empty: the folder of the running program. `quiet`: the recovery writes its final
    text to its log instead of showing it.
*/
StartupDecision handleStartup(const QStringList &arguments, const QString &version,
                              const QString &programRoot = QString(), bool quiet = false);

// The record of the update that is in place (the updater writes it when the new version has
// confirmed its start).
struct InstalledRelease
{
    qint32 sequence = 0;
    QString version;
};
// Absent when the program root has no readable record (a fresh installation).
std::optional<InstalledRelease> installedRelease(const QString &programRoot = QString());

// What became of the last update that ended, told or not; not valid when none has ended since the
// client keeps its record. Reads only: handleStartup() is what learns of a new outcome.
UpdateOutcome lastUpdateOutcome(const QString &programRoot = QString());
// The releases that failed on this computer, oldest first: not taken again unless asked to.
QList<UpdateOutcome> failedReleases(const QString &programRoot = QString());

// Checks the stage right before the updater is started for it, as a check checks the feed: its
// manifest verifies (signature, rules), was signed for `channel`, has not expired, and its
// sequence is above the installed one (`builtInSequence` when the root has no installed record),
// and it has not failed here before (unless `policy` is Retry: a person asked for it again).
// A stage swapped for another release after its download is refused here.
UpdateFailure verifyStagedUpdate(const QString &programRoot, const QString &stagingDirectory,
                                 const QString &channel = QStringLiteral("stable"),
                                 qint32 builtInSequence = 0,
                                 FailedReleasePolicy policy = FailedReleasePolicy::Skip);

// Verifies the stage (above) and starts the updater for it, detached, waiting for this process to
// end: the application then quits. Creates the work directory when it is missing, and records the
// release handed over, so that the next start learns what became of it.
UpdateFailure startUpdater(const QString &programRoot, const QString &stagingDirectory,
                           bool quiet = false, const QString &channel = QStringLiteral("stable"),
                           qint32 builtInSequence = 0,
                           FailedReleasePolicy policy = FailedReleasePolicy::Skip);

// --- The parts of handleStartup() and startUpdater(), for applications with special needs -------

// When `arguments` hold the probe option, writes the health file for its token and `version` and
// answers true; otherwise answers false and writes nothing.
bool confirmStartIfProbed(const QStringList &arguments, const QString &version,
                          const QString &programRoot = QString(),
                          UpdateFailure *failure = nullptr);

// True when the journal says that an update was left unfinished ("installing", "starting" or
// "rollback-needed"). Also true while the updater probes the new version.
bool recoveryPending(const QString &programRoot = QString());

// True when the lock in the program root's work directory is held by a live process: an updater
// is at work on the program.
bool updaterRunning(const QString &programRoot = QString());

// How the updater is started: the program, its arguments and its working directory.
struct UpdaterCommand
{
    QString program;
    QStringList arguments;
    QString workingDirectory;
    QString stagingDirectory; // the stage it applies; empty for a recovery
};

// The updater of `programRoot` for the stage; it waits for process `parentId` (0: for none) to
// end before it changes anything.
UpdaterCommand applyCommand(const QString &programRoot, const QString &stagingDirectory,
                            quint32 parentId, bool quiet);
UpdaterCommand recoveryCommand(const QString &programRoot, quint32 parentId, bool quiet);

// Starts the recovery run, detached, waiting for this process; it starts the application again
// when it is done.
UpdateFailure startRecovery(const QString &programRoot = QString(), bool quiet = false);
// The same, for a command built above: creates the work directory and starts it detached. For an
// apply command the release handed over is recorded first (and forgotten when the start fails).
UpdateFailure launchUpdater(const UpdaterCommand &command, const QString &programRoot);
// Runs the command and waits for it (its output goes to this process's), recording the release
// handed over as launchUpdater() does, and what the exit code says of it. Answers the updater's
// exit code, or -1 with `failure` set when it could not be run.
int runUpdater(const UpdaterCommand &command, const QString &programRoot, UpdateFailure *failure);
// Creates the work directory of the program root when it is missing (the updater takes its lock
// there and never creates it).
UpdateFailure ensureWorkDirectory(const QString &programRoot);

} // namespace vellumix
