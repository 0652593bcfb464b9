// The work folder of a program root, ".vellumix-update": the one place that builds its paths and
// through which every program reads and writes its records and takes its locks.
//
//   transaction.json      the journal (the updater's; journal.h)
//   installed.json        the release in place (the updater's; installedrecord.h)
//   health.json           the probed new version's confirmation (healthrecord.h)
//   backup/               the files an install replaced (the updater's)
//   installer.lock        held by the updater for its whole run
//   application-wait.json the stage of the updater's last run whose wait for the application ran
//                         out (the updater's; the client reads it)
//   update-history.json   the application side's record of its updates (the client's)
//   update-history.lock   held while that record is changed
//   stage-location.txt    the staging directory the client last prepared (the client's; read by
//                         the uninstaller that the release tool builds)
//
// Every record is written with the one durable atomic write (replaceFileAtomically) after the
// folder's path has been checked for links, and read only when a regular file stands at its name.
// Every lock follows the one lock policy (lockpolicy.h): a lock file that names no owner, or one
// whose owner has ended, is taken over once it has settled; a live owner keeps it.
#pragma once

#include "fileio.h"
#include "lockpolicy.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace vellumix {

// How long a change of the client's update history waits for another process of the program root
// that is changing it: a few record writes at most.
inline constexpr int kHistoryLockWaitMs = 5000;

// What went wrong in the work folder, for each program to word at its edge.
struct WorkDirectoryError
{
    enum Code {
        None,
        LinkOnPath,       // the folder or a folder above it is a link or junction
        CannotCreate,     // the folder is missing and cannot be made
        LockHeld,         // a live process holds the lock (waited for as its kind says)
        LockFailed,       // the lock file cannot be made
        CannotWrite,      // a record could not be written or put in place
        CannotFlush,      // written, but the folder entry may not be on stable storage
    };
    Code code = None;
    QString path;   // the file or folder it concerns
    QString system; // what the system said, where it said something

    bool ok() const { return code == None; }
    // One line for logs and the client's details, in English: "<path>: <what>".
    QString describe() const;
};

class WorkDirectory
{
public:
    enum class Lock {
        Installer, // installer.lock: the updater's, one attempt (a live updater means exit 3)
        History,   // update-history.lock: the client's, waited for up to kHistoryLockWaitMs
    };

    // The work folder of `programRoot` (made absolute).
    static WorkDirectory ofProgramRoot(const QString &programRoot);
    // The work folder at `path` (a program root's ".vellumix-update").
    static WorkDirectory at(const QString &path);

    const QString &path() const { return m_path; }
    QString programRoot() const;
    QString journalFile() const;
    QString installedFile() const;
    QString healthFile() const;
    QString historyFile() const;
    QString backupFolder() const;
    QString lockFile(Lock lock) const;

    // The note of an updater run that ended before it changed anything because the application
    // did not end in time: which stage it was for, and when. The updater writes it (best effort:
    // the run's outcome does not depend on it); the client reads it.
    struct ApplicationWait
    {
        QString stage;
        QDateTime time;
    };
    void noteApplicationWait(const QString &stage) const;
    std::optional<ApplicationWait> applicationWait() const;

    // The note of the staging directory the client prepares for this program root, so that the
    // program's uninstaller can remove it: one line, the stage's absolute path with the system's
    // separators. Best effort (the download does not depend on it); rewritten only when it
    // names another folder.
    QString stageLocationFile() const;
    void noteStageLocation(const QString &stage) const;

    // Where the installation id of this program root is kept for the user running it: in the
    // user's data folder, not in the work folder (see rolloutcohort.h in the client).
    QString installationIdFile() const;

    // The link check of the folder's path (the folder and every folder above it).
    CoreError ensureNoLinks() const;
    // Makes the folder when it is missing, after the link check.
    WorkDirectoryError make() const;

    // A record's bytes, read only when a regular file stands at `file`, at most `maxBytes`.
    static std::optional<QByteArray> readRecord(const QString &file, qint64 maxBytes);
    // Replaces the record at `file` (in this folder) whole, durably, after the folder's link check.
    WorkDirectoryError writeRecord(const QString &file, const QByteArray &contents) const;
    // The same write for a small record of the client's outside the work folder (the stage's
    // note of its origin, the installation id): no link check above it, only at its name.
    static WorkDirectoryError writeRecordAt(const QString &file, const QByteArray &contents);

    // Takes the lock `lock` under the lock policy, waiting as long as its kind allows. The folder
    // must exist. `settleMs`: how old a lock file that names no owner must be to be taken over.
    WorkDirectoryError takeLock(PolicyLock &held, Lock lock, int settleMs = kLockSettleMs) const;
    // Whether a process that would take `lock` now would find it held (never takes it).
    bool isLockHeld(Lock lock) const;
    static LockPolicy lockPolicy(Lock lock, int settleMs = kLockSettleMs);

private:
    explicit WorkDirectory(QString path) : m_path(std::move(path)) {}
    QString fileNamed(const QString &name) const { return m_path + u'/' + name; }

    QString m_path;
};

} // namespace vellumix
