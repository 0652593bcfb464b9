// When a lock file counts as held by a live owner: the one rule that the updater (installer.lock),
// the client (its stage, its update history, and the start-up call, which only asks about the
// updater's lock) and the release tool (its feed lock) go by, and the taking of such a lock with
// QLockFile under that rule.
//
// A lock file is QLockFile's: the owner's process id, the file name of its program, its host's
// name, its host's id and its boot id, one a line. Only a regular file is ever opened; nothing
// here waits on a pipe, and nothing follows a link standing at a lock file's name.
#pragma once

#include <QString>

#include <memory>

class QLockFile;

namespace vellumix {

// How old a lock file that names no owner must be before it counts as abandoned: QLockFile makes
// the file first and names its owner in it a few calls later.
inline constexpr int kLockSettleMs = 1000;

struct LockPolicy
{
    // The file name of the program that takes this lock ("VellumixUpdater.exe"). A process runs it
    // when the operating system reports this name for it; ".exe" at the end does not count, nor,
    // on Windows, the letter case. Empty for a lock that any program may take (the client's, taken
    // by whatever application links it): the owner must then run the program the file names.
    QString program;
    int settleMs = kLockSettleMs;
};

enum class LockFileState {
    Absent,    // nothing stands at the name
    NotAFile,  // a link, a pipe, a folder or another special file at the lock's name, or at the
               // name of a helper QLockFile would read beside an abandoned lock file: held
               // (never opened or removed)
    Held,      // names a live process on this host that runs the policy's program: held
    OtherHost, // names an owner on another host, which cannot be looked up from here: held
    Unsettled, // names no owner and is younger than settleMs: held (its maker may be writing it)
    Abandoned, // names an owner that has ended or that runs another program, or names none and
               // is settleMs old or more (a modification time in the future counts by its
               // distance from now, so it cannot stay young for ever): not held
};

struct LockFileOwner
{
    LockFileState state = LockFileState::Absent;
    qint64 processId = 0; // as the file names it; 0 when it names none
    QString host;         // as the file names it
    qint64 ageMs = 0;     // the distance of its modification time from now, either way
    QString notAFile;     // NotAFile: the path of what stands there
};

// Looks at the lock file at `path` without taking it or waiting on it.
LockFileOwner inspectLockFile(const QString &path, const LockPolicy &policy);

// True when the lock at `path` counts as held (every state above but Absent and Abandoned): a
// process that would take it must leave it alone. Never takes the lock, never waits.
bool isLockHeld(const QString &path, const LockPolicy &policy);

// The policy of the updater's installer.lock: held by a running VellumixUpdater.
LockPolicy installerLockPolicy(int settleMs = kLockSettleMs);

// For the application's start-up: true exactly when the updater, started now, would not take its
// lock at `lockPath` (FOLDER/.vellumix-update/installer.lock) and would end with code 3, leaving
// the work to the updater that holds it. Nothing is taken, nothing waits.
bool isInstallerLockHeld(const QString &lockPath);

// Takes `lock` (a QLockFile made on `path`) with one attempt, first taking over a lock file that
// the policy counts as abandoned, and the helper files QLockFile leaves
// beside it. False when the lock is held (see isLockHeld), when a live process still holds the
// file that was to be removed, or when the file cannot be made; lock.error() then tells which
// for the last. May wait up to `policy.settleMs` for a lock file that names no owner yet.
bool takeLock(QLockFile &lock, const QString &path, const LockPolicy &policy);

// takeLock, tried again every so often while the lock stays held, for up to `waitMs` (0: once).
// A lock that names no owner, or one whose owner has ended, is taken over within the settle time;
// only a live owner makes it wait the whole bound.
bool takeLockWaiting(QLockFile &lock, const QString &path, const LockPolicy &policy, int waitMs);

// A lock file taken under a policy, held until this object goes (or release()). Every lock of the
// programs is one of these, so that none is taken by another rule.
class PolicyLock
{
public:
    enum class Result {
        Taken,
        Held,       // the policy counts it as held (a live owner, another host, not a file)
        CannotMake, // the lock file cannot be made
    };

    explicit PolicyLock(const QString &path);
    ~PolicyLock();
    PolicyLock(const PolicyLock &) = delete;
    PolicyLock &operator=(const PolicyLock &) = delete;

    // Takes the lock, waiting up to `waitMs` for a live owner (0: one attempt).
    Result take(const LockPolicy &policy, int waitMs = 0);
    bool isHeld() const;
    void release();
    const QString &path() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace vellumix
