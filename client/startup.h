// What the application does around an update besides downloading it: start the updater for a
// complete stage and quit, confirm its own start when the updater probes it, and run the
// recovery of an update that was left unfinished before it is used again.
#pragma once

#include "updatefailure.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace vellumix {

// The record of the update that is in place (the updater writes it when the new version has
// confirmed its start).
struct InstalledRelease
{
    qint32 sequence = 0;
    QString version;
};
// Absent when the program root has no readable record (a fresh installation).
std::optional<InstalledRelease> installedRelease(const QString &programRoot);

// When `arguments` (the application's own, e.g. QCoreApplication::arguments()) hold the probe
// option, writes the health file for its token and `version` (the application's version text,
// equal to its release's) and answers true; otherwise answers false and writes nothing. Call it
// once the application has started far enough to be usable.
bool confirmStartIfProbed(const QStringList &arguments, const QString &version,
                          const QString &programRoot = QString(),
                          UpdateFailure *failure = nullptr);

// True when the journal says that an update was left unfinished ("installing", "starting" or
// "rollback-needed"): run startRecovery() and quit before the program is used.
bool recoveryPending(const QString &programRoot);

// How the updater is started: the program, its arguments and its working directory.
struct UpdaterCommand
{
    QString program;
    QStringList arguments;
    QString workingDirectory;
};

// The updater of `programRoot` for the stage; it waits for process `parentId` (0: for none) to
// end before it changes anything.
UpdaterCommand applyCommand(const QString &programRoot, const QString &stagingDirectory,
                            quint32 parentId, bool quiet);
UpdaterCommand recoveryCommand(const QString &programRoot, quint32 parentId, bool quiet);

// Starts the updater for a complete stage, detached, waiting for this process to end: the
// application then quits. Creates the work directory when it is missing.
UpdateFailure startUpdater(const QString &programRoot, const QString &stagingDirectory,
                           bool quiet = false);
// Starts the recovery run, detached, waiting for this process; it starts the application again
// when it is done.
UpdateFailure startRecovery(const QString &programRoot, bool quiet = false);
// The same, for a command built above: creates the work directory and starts it detached.
UpdateFailure launchUpdater(const UpdaterCommand &command, const QString &programRoot);
// Creates the work directory of the program root when it is missing (the updater takes its lock
// there and never creates it).
UpdateFailure ensureWorkDirectory(const QString &programRoot);

} // namespace vellumix
