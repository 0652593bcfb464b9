#include "runsequence.h"

#include "fileio.h"
#include "install.h"
#include "journal.h"
#include "linkguard.h"
#include "manifest.h"
#include "messages.h"
#include "outcome.h"
#include "platform.h"
#include "rollback.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>

namespace vellumix {

namespace {

// The name QLockFile gives the helper lock that it holds while it removes a stale lock file.
const QString kHelperSuffix = QStringLiteral(".rmlock");

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

/*
    QLockFile makes its lock file in two steps: it creates the file, then writes the owner's
    process id into it. An updater killed between the two leaves a file without an owner, and with
    the stale-lock time of 0 QLockFile never counts such a file as stale: every later run would end
    with code 3 for good, and an interrupted update could never be rolled back. A lock file that
    names no owner is therefore removed, but only through QLockFile's own removal, which refuses
    while a live process holds the file (the owner keeps an exclusive lock on it, or on Windows keeps
    it open), and the lock is tried once more. A link standing at a lock file's name is left alone.

    The same holds for the helper lock that QLockFile takes while it removes a stale lock file
    ("installer.lock.rmlock"), made in the same two steps with QLockFile's default stale time of
    30 s: an updater killed between them, while it removed the lock file of an earlier killed run,
    locked every run out for half a minute, just when the application runs the recovery at its
    start. A helper that names no owner is removed in the same way, and so is the helper's own
    helper, which QLockFile takes while it removes a stale helper.

    Two rules keep two live updaters apart while they do this:
    - Only one process at a time removes a given lock file. A file is removed by its name: a second
      remover that had opened the same abandoned file could otherwise, once the first had removed
      it and made its own, remove the first one's fresh lock file and take the lock as well. So
      each file is removed while its own helper is held, as QLockFile removes a stale lock file,
      and is checked again once that helper is held. The chain is mended from its far end, so
      that each helper is free by the time the file before it needs it.
    - A file is taken for abandoned only when it is not being written. A live updater holds its
      lock file from the call after the one that made it and names itself a few calls later, so a
      file that names no owner may, for a moment, belong to a live updater that does not hold it
      yet. Such a file counts as abandoned only once it is `settleMs` old; a younger one is looked
      at again when it is.
*/
enum class Settle { Wait, DoNotWait };

bool namesAnOwner(const QString &path)
{
    qint64 ownerId = 0;
    QString ownerHost;
    QString ownerName;
    return QLockFile(path).getLockInfo(&ownerId, &ownerHost, &ownerName);
}

bool isOwnerlessAndSettled(const QString &path, int settleMs, Settle settle)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile() || namesAnOwner(path))
        return false;
    // The magnitude: a clock set back after the file was made must not make it wait for long.
    const qint64 age = qAbs(info.lastModified().msecsTo(QDateTime::currentDateTime()));
    if (age >= settleMs)
        return true;
    if (settle == Settle::DoNotWait)
        return false;
    QThread::msleep(ulong(settleMs - age));
    return isOwnerlessAndSettled(path, settleMs, Settle::DoNotWait);
}

bool removeAbandonedLockFile(const QString &path, int settleMs)
{
    if (!isOwnerlessAndSettled(path, settleMs, Settle::Wait))
        return false;
    QLockFile helper(path + kHelperSuffix);
    return helper.tryLock(0) && isOwnerlessAndSettled(path, settleMs, Settle::DoNotWait)
        && QLockFile(path).removeStaleLockFile();
}

// The lock file, its helper, the helper's helper, and the helper that guards the removal of that.
QStringList lockFileChain(const QString &lockPath)
{
    return {lockPath, lockPath + kHelperSuffix, lockPath + kHelperSuffix + kHelperSuffix,
            lockPath + kHelperSuffix + kHelperSuffix + kHelperSuffix};
}

bool takeAbandonedLock(QLockFile &lock, const QStringList &chain, int settleMs)
{
    if (lock.error() != QLockFile::LockFailedError)
        return false;
    bool removed = false;
    for (qsizetype i = chain.size() - 2; i >= 0; --i)
        removed = removeAbandonedLockFile(chain.at(i), settleMs) || removed;
    return removed && lock.tryLock(0);
}

/*
    Once the lock is held, a helper that no live process holds is the leftover of a run killed
    after it had removed a stale lock file, whatever it says; it is removed so that it does not
    stay in the work directory. A live remover may still be at work (it judged the earlier lock
    file stale just before it went); it finds the lock file held and named by a live owner, and
    does nothing, whether or not its helper is still there.
*/
bool takeInstallerLock(QLockFile &lock, const QString &lockPath, int settleMs)
{
    const QStringList chain = lockFileChain(lockPath);
    if (!lock.tryLock(0) && !takeAbandonedLock(lock, chain, settleMs))
        return false;
    for (qsizetype i = 1; i < chain.size(); ++i) {
        const QFileInfo helper(chain.at(i));
        if (!helper.isSymLink() && helper.isFile())
            QLockFile(chain.at(i)).removeStaleLockFile();
    }
    return true;
}

int runRecoverySequence(const QString &programRoot)
{
    TransactionJournal journal = readTransactionJournal(programRoot);
    if (isTransactionUnfinished(journal))
        rollbackTransaction(programRoot, journal);
    restartMainProgram(programRoot);
    return ExitSuccess;
}

int runApplySequence(const QString &programRoot, const QString &stagingDirectory,
                     const ProbeTiming &timing)
{
    const QByteArray envelope =
        readFileLimited(stagingDirectory + u'/' + protocol::kManifestFileName, kManifestMaxBytes);
    const UpdateManifest manifest = loadUpdateManifest(envelope);
    installUpdate(programRoot, stagingDirectory, manifest);
    TransactionJournal journal = readTransactionJournal(programRoot);
    const QString token = journal.value(QStringLiteral("token")).toString();
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
    const QString workDirectory = QDir(programRoot).filePath(kWorkDirectoryName);
    try {
        ensureNoLinksOnPath(workDirectory);
    } catch (const QString &refusal) {
        showMessage(Msg::failurePrefix + refusal + Msg::failureTail);
        return ExitHandledFailure;
    }

    // Held until this function returns, after the final message has been dismissed.
    const QString lockPath = workDirectory + u'/' + protocol::kLockFileName;
    QLockFile lock(lockPath);
    lock.setStaleLockTime(0);
    if (!takeInstallerLock(lock, lockPath, timing.lockSettleMs))
        return ExitLockNotTaken;

    bool parentWaitDone = false;
    try {
        bool validId = false;
        const quint32 parentId =
            optionValue(arguments, QStringLiteral("--parent")).toUInt(&validId, 10);
        waitForParent(validId ? parentId : 0, timing.parentWaitMs);
        parentWaitDone = true;

        if (hasFlag(arguments, QStringLiteral("--recover")))
            return runRecoverySequence(programRoot);
        return runApplySequence(programRoot, stagingDirectory, timing.probe);
    } catch (const QString &message) {
        return reportFailure(message, programRoot, parentWaitDone);
    }
}

} // namespace vellumix
