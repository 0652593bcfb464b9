#include "runsequence.h"

#include "coreedge.h"
#include "fileio.h"
#include "install.h"
#include "journal.h"
#include "linkguard.h"
#include "lockpolicy.h"
#include "manifest.h"
#include "messages.h"
#include "outcome.h"
#include "platform.h"
#include "rollback.h"
#include "workdirectory.h"

#include <QDir>
#include <QFileInfo>

namespace vellumix {

namespace {

// Waits for the application that started the updater to end. An id of 0 means there is nothing
// to wait for.
void waitForParent(quint32 parentId, int timeoutMs)
{
    if (parentId == 0)
        return;
    os::ProcessHandle parent;
    switch (parent.open(parentId)) {
    case os::OpenStatus::NoSuchProcess:
        return;
    case os::OpenStatus::Failed:
        throw Msg::parentNotConfirmedGone;
    case os::OpenStatus::Opened:
        break;
    }
    const os::WaitStatus result = parent.wait(std::uint32_t(timeoutMs));
    parent.close();
    if (result != os::WaitStatus::Ended)
        throw Msg::parentStillRunning;
}

int runRecoverySequence(const QString &programRoot)
{
    TransactionJournal journal = orThrow(readTransactionJournal(programRoot));
    if (isTransactionUnfinished(journal))
        rollbackTransaction(programRoot, journal);
    restartMainProgram(programRoot);
    return ExitSuccess;
}

int runApplySequence(const QString &programRoot, const QString &stagingDirectory,
                     const ProbeTiming &timing)
{
    const QByteArray envelope = orThrow(
        readFileLimited(stagingDirectory + u'/' + protocol::kManifestFileName, kManifestMaxBytes));
    const UpdateManifest manifest = orThrow(loadUpdateManifest(envelope));
    installUpdate(programRoot, stagingDirectory, manifest);
    TransactionJournal journal = orThrow(readTransactionJournal(programRoot));
    const QString token = journalToken(journal);
    return probeNewVersion(programRoot, token, manifest.version, manifest.sequence, journal, timing);
}

} // namespace

QString optionValue(const QStringList &arguments, const QString &name)
{
    const qsizetype at = arguments.indexOf(name);
    if (at < 0 || at + 1 >= arguments.size())
        return QString();
    return arguments.at(at + 1);
}

bool hasFlag(const QStringList &arguments, const QString &name)
{
    return arguments.contains(name, Qt::CaseSensitive);
}

int runUpdater(const QStringList &arguments, const RunTiming &timing)
{
    const QString rootValue = optionValue(arguments, QStringLiteral("--root"));
    const QString programRoot = QDir(rootValue).absolutePath();
    const QString stagingDirectory = optionValue(arguments, QStringLiteral("--stage"));
    if (rootValue.isEmpty())
        return ExitNoProgramRoot;

    /*
        A link on the work directory's path is refused before the lock is taken, so nothing has
        been changed and nothing is held. The run still tells the user why it stopped, with the
        ordinary failure text and exit code 1; it does not start the old program, because the
        application's process has not been waited for and may still be running.
    */
    const WorkDirectory work = WorkDirectory::ofProgramRoot(programRoot);
    if (const CoreError linked = work.ensureNoLinks(); !linked.ok()) {
        showMessage(Msg::failurePrefix + linked.updaterText() + Msg::failureTail);
        return ExitHandledFailure;
    }

    // Without its work directory there is no lock to take: exit 3, as for a lock held. It is
    // decided before the lock is tried, which on Windows prints a warning of Qt's own for the
    // missing folder on standard error.
    if (!QFileInfo(work.path()).isDir())
        return ExitLockNotTaken;

    // Held until this function returns, after the final message has been dismissed.
    PolicyLock lock(work.lockFile(WorkDirectory::Lock::Installer));
    if (!work.takeLock(lock, WorkDirectory::Lock::Installer, timing.lockSettleMs).ok())
        return ExitLockNotTaken;

    bool parentWaitDone = false;
    try {
        bool validId = false;
        const quint32 parentId =
            optionValue(arguments, QStringLiteral("--parent")).toUInt(&validId, 10);
        try {
            waitForParent(validId ? parentId : 0, timing.parentWaitMs);
        } catch (const QString &) {
            // Nothing has changed: the application's side may offer the stage again, and tells
            // this ending from a refusal of the release by this note.
            if (!stagingDirectory.isEmpty())
                work.noteApplicationWait(stagingDirectory);
            throw;
        }
        parentWaitDone = true;

        if (hasFlag(arguments, QStringLiteral("--recover")))
            return runRecoverySequence(programRoot);
        return runApplySequence(programRoot, stagingDirectory, timing.probe);
    } catch (const QString &message) {
        return reportFailure(message, programRoot, parentWaitDone);
    }
}

} // namespace vellumix
