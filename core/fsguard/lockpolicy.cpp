#include "lockpolicy.h"

#include "lockowner.h"
#include "manifest.h"
#include "osbridge.h"
#include "platform.h"
#include "updateprotocol.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>
#include <QSysInfo>
#include <QThread>

#include <algorithm>
#include <limits>
#include <string>

namespace vellumix {

namespace {

// The name QLockFile gives the helper lock that it holds while it removes a stale lock file.
const QString kHelperSuffix = QStringLiteral(".rmlock");
// QLockFile's five lines take a few hundred bytes; the first lines of anything longer are still
// read, since that is all QLockFile reads of it.
constexpr std::size_t kLockFileReadBytes = 64 * 1024;
// Linux keeps the first 15 bytes of a program's file name as its command name.
constexpr qsizetype kCommandNameBytes = 15;

/*
    The rule, and why each part of it is what it is.

    - The owner's program is the name the operating system reports for the process id, never the
      name the file gives. After a restart, process ids are handed out again (on Windows often to
      the same few system programs), so the id of a killed updater soon names a live process of
      another program; the file still names the updater, which proves nothing. Only a process
      that runs the lock's own program can be its owner. A process whose name cannot be read at
      all (a protected system process on Windows, another user's process behind hidepid on
      Linux) is not known to run it, and does not count.
    - The client's locks are taken by whatever application links it, under any file name, so
      there the file's own name of its program stands in for the policy's: the process must run
      the program the file names. A reused id that now runs another program is told apart; one
      that runs a program of the same name is not, and the lock is then waited for and refused
      as for a live owner (the native lock below still decides what may be removed).
    - A lock file that names no owner (its maker was killed between making it and naming itself)
      counts as held only while it is younger than the settle time, its age taken as the distance
      of its modification time from now: a time in the future, after a clock was set back or from
      a share's clock, would otherwise keep it young for as long as that time lies ahead.
    - The host is the one QLockFile compares: the host id of the file when the file and this
      machine both have one (a renamed machine keeps its id, so its own lock is judged by its
      process as any other), the host name otherwise (QLockFile writes COMPUTERNAME on Windows).
      An owner on another host cannot be looked up from here, so its lock counts as held: a
      program folder or a feed on a share may really be in use by a run on that host. The file
      has to be removed by hand once nothing runs there (the release tool's refusal says so and
      names the host). This is what the updater has always done with such a lock; only a lock that merely
      names another host name beside this machine's own id was taken, and still is.
    - A boot id other than this machine's current one (Linux) means the owner ended with the
      restart, whatever runs under its id now.
    - Something other than a regular file at the lock's name, a link, a pipe, a folder, is not a
      lock file that QLockFile made. It is never opened (a pipe would block the open, and with it
      the updater or the application's start, for ever), never removed (as a link there has always
      been left alone), and counts as held: the updater ends with code 3 as for any lock it does
      not take, and the application's start-up, asking the same question, waits for an updater
      instead of starting a recovery that would end the same way.

    Counting as not held does not by itself remove anything. A file is removed only through
    QLockFile's own removal, which fails while a live process holds its native lock (an exclusive
    flock on Linux; on Windows the owner keeps the file open without sharing its deletion, which a
    share enforces too), so a live owner that the rule misjudges still keeps its lock.
*/
QString localHostName()
{
    return QString::fromStdU16String(os::lockHostName());
}

QString withoutExe(const QString &name)
{
    return name.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive) ? name.chopped(4) : name;
}

Qt::CaseSensitivity programNameCase()
{
    return os::programNamesIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

bool runsProgram(const os::ProcessProgramName &reported, const QString &program)
{
    const QString name = QString::fromStdU16String(reported.fileName);
    if (!reported.cutShort)
        return withoutExe(name).compare(withoutExe(program), programNameCase()) == 0;
    const QByteArray shown = name.toUtf8();
    return shown == program.toUtf8().left(kCommandNameBytes)
        || shown == withoutExe(program).toUtf8().left(kCommandNameBytes);
}

// A process that may still run: only an id that names no process, or a process seen to have
// ended, answers false; one that cannot be opened is left to the name it reports.
bool mayBeRunning(qint64 processId)
{
    if (processId <= 0 || processId > qint64(std::numeric_limits<quint32>::max()))
        return false;
    os::ProcessHandle process;
    switch (process.open(quint32(processId))) {
    case os::OpenStatus::NoSuchProcess:
        return false;
    case os::OpenStatus::Failed:
        return true;
    case os::OpenStatus::Opened:
        break;
    }
    return process.wait(0) != os::WaitStatus::Ended;
}

LockFileState ownerState(qint64 processId, const QString &host, const QByteArray &hostId,
                         const QByteArray &bootId, const QString &program)
{
    // A lock that any program may take names its program itself; a file that names none has no
    // owner that could be told from another process under the same id.
    if (program.isEmpty())
        return LockFileState::Abandoned;
    bool sameHost = host.isEmpty() || host == localHostName();
    const QByteArray ourHostId = QSysInfo::machineUniqueId();
    if (!hostId.isEmpty() && !ourHostId.isEmpty())
        sameHost = hostId == ourHostId;
    if (!sameHost)
        return LockFileState::OtherHost;
    const QByteArray ourBootId = QSysInfo::bootUniqueId();
    if (!bootId.isEmpty() && !ourBootId.isEmpty() && bootId != ourBootId)
        return LockFileState::Abandoned;
    if (!mayBeRunning(processId))
        return LockFileState::Abandoned;
    const os::ProcessProgramName reported = os::processProgramName(quint32(processId));
    if (reported.status != os::ProgramNameStatus::Found || !runsProgram(reported, program))
        return LockFileState::Abandoned;
    return LockFileState::Held;
}

// Something other than a regular file stands at the name: a link (also one to nothing), a pipe,
// a folder, a device.
bool isOtherThanAFile(const QString &path)
{
    if (os::linkStatus(osText(path)) == os::LinkStatus::Link)
        return true;
    const QFileInfo info(path);
    return info.exists() && !info.isFile();
}

/*
    QLockFile makes its lock file in two steps: it creates the file, then writes the owner's
    process id into it. A process killed between the two leaves a file without an owner, and with
    the stale-lock time of 0 QLockFile never counts such a file as stale: every later run would be
    refused for good (for the updater: an interrupted update could never be rolled back). So a
    file the rule counts as abandoned is removed here, but only through QLockFile's own removal,
    which refuses while a live process holds the file, and the lock is tried once more.

    The same holds for the helper lock that QLockFile takes while it removes a stale lock file
    ("installer.lock.rmlock"), made in the same two steps with QLockFile's default stale time of
    30 s: a process killed between them, while it removed the lock file of an earlier killed run,
    locked every run out for half a minute (for the updater: just when the application runs the
    recovery at its start). A helper that is abandoned is removed in the same way, and so is the
    helper's own helper, which QLockFile takes while it removes a stale helper.

    Two rules keep two live processes apart while they do this:
    - Only one process at a time removes a given lock file. A file is removed by its name: a second
      remover that had opened the same abandoned file could otherwise, once the first had removed
      it and made its own, remove the first one's fresh lock file and take the lock as well. So
      each file is removed while its own helper is held, as QLockFile removes a stale lock file,
      and is judged again once that helper is held. The chain is mended from its far end, so
      that each helper is free by the time the file before it needs it.
    - A file is taken for abandoned only when it is not being written. A live process holds its
      lock file from the call after the one that made it and names itself a few calls later, so a
      file that names no owner may, for a moment, belong to a live process that does not hold it
      yet. Such a file counts as abandoned only once it is `settleMs` old; a younger one is looked
      at again when it is.
*/
enum class Settle { Wait, DoNotWait };

bool isAbandoned(const QString &path, const LockPolicy &policy, Settle settle)
{
    const LockFileOwner owner = inspectLockFile(path, policy);
    if (owner.state == LockFileState::Unsettled && settle == Settle::Wait) {
        QThread::msleep(ulong(qMax<qint64>(0, policy.settleMs - owner.ageMs)));
        return isAbandoned(path, policy, Settle::DoNotWait);
    }
    return owner.state == LockFileState::Abandoned;
}

bool removeAbandonedLockFile(const QString &path, const LockPolicy &policy)
{
    if (!isAbandoned(path, policy, Settle::Wait))
        return false;
    QLockFile helper(path + kHelperSuffix);
    return helper.tryLock(0) && isAbandoned(path, policy, Settle::DoNotWait)
        && QLockFile(path).removeStaleLockFile();
}

// The lock file, its helper, the helper's helper, and the helper that guards the removal of that.
QStringList lockFileChain(const QString &lockPath)
{
    return {lockPath, lockPath + kHelperSuffix, lockPath + kHelperSuffix + kHelperSuffix,
            lockPath + kHelperSuffix + kHelperSuffix + kHelperSuffix};
}

// An abandoned lock file is removed under its helper, which QLockFile reads when it is there: a
// helper that is no regular file keeps the lock as surely as a live owner.
LockFileOwner withHelpersLookedAt(LockFileOwner owner, const QString &path)
{
    if (owner.state != LockFileState::Abandoned)
        return owner;
    const QStringList chain = lockFileChain(path);
    const auto helper = std::find_if(chain.cbegin() + 1, chain.cend(), isOtherThanAFile);
    if (helper != chain.cend()) {
        owner.state = LockFileState::NotAFile;
        owner.notAFile = *helper;
    }
    return owner;
}

bool takeAbandonedLock(QLockFile &lock, const QStringList &chain, const LockPolicy &policy)
{
    if (lock.error() != QLockFile::LockFailedError)
        return false;
    bool removed = false;
    for (qsizetype i = chain.size() - 2; i >= 0; --i)
        removed = removeAbandonedLockFile(chain.at(i), policy) || removed;
    return removed && lock.tryLock(0);
}

} // namespace

LockFileOwner inspectLockFile(const QString &path, const LockPolicy &policy)
{
    LockFileOwner owner;
    std::string bytes;
    switch (os::readRegularFile(osText(path), kLockFileReadBytes, os::LinkAtName::Refuse, bytes)) {
    case os::FileRead::Missing:
        owner.state = LockFileState::Absent;
        return owner;
    case os::FileRead::NotAFile:
        owner.state = LockFileState::NotAFile;
        owner.notAFile = path;
        return owner;
    case os::FileRead::Read:
    case os::FileRead::TooLarge: // no lock file of QLockFile's; judged by its age
    case os::FileRead::Failed:
        break;
    }
    /*
        A line counts only with its line feed: a file whose first line is still being written
        ("12" of "1234\n") names no owner yet. QLockFile reads the file as text, so a carriage
        return before the line feed is no part of the line.
    */
    QByteArrayList lines = QByteArray::fromStdString(bytes).split('\n');
    lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    bool isNumber = false;
    const qint64 processId = lines.value(0).toLongLong(&isNumber);
    owner.ageMs = qAbs(QFileInfo(path).lastModified().msecsTo(QDateTime::currentDateTime()));
    if (!isNumber || processId <= 0) {
        owner.state = owner.ageMs >= policy.settleMs ? LockFileState::Abandoned
                                                     : LockFileState::Unsettled;
        return withHelpersLookedAt(owner, path);
    }
    owner.processId = processId;
    owner.host = QString::fromUtf8(lines.value(2));
    const QString program = policy.program.isEmpty()
        ? QFileInfo(QString::fromUtf8(lines.value(1))).fileName()
        : policy.program;
    owner.state = ownerState(processId, owner.host, lines.value(3), lines.value(4), program);
    return withHelpersLookedAt(owner, path);
}

bool isLockHeld(const QString &path, const LockPolicy &policy)
{
    const LockFileState state = inspectLockFile(path, policy).state;
    return state != LockFileState::Absent && state != LockFileState::Abandoned;
}

LockPolicy installerLockPolicy(int settleMs)
{
    return {QString::fromLatin1(kUpdaterProgramPath), settleMs};
}

bool isInstallerLockHeld(const QString &lockPath)
{
    return isLockHeld(lockPath, installerLockPolicy());
}

/*
    QLockFile's tryLock reads an existing lock file, and the helper beside it when it judges the
    lock file stale, with a blocking open that follows links: a pipe at either name would hold the
    caller for ever. So nothing is tried while such an object stands in the chain of an existing
    lock file (a pipe swapped in between this look and QLockFile's open is not guarded against; it
    takes a process that may write to the folder, which could as well remove the lock). Without a
    lock file, tryLock makes one and reads nothing.

    Once the lock is held, a helper that no live process holds is the leftover of a run killed
    after it had removed a stale lock file, whatever it says; it is removed so that it does not
    stay in the folder. A live remover may still be at work (it judged the earlier lock file
    stale just before it went); it finds the lock file held and named by a live owner, and does
    nothing, whether or not its helper is still there.
*/
bool takeLock(QLockFile &lock, const QString &path, const LockPolicy &policy)
{
    // Whether a lock file is stale is the policy's to judge, never its age by QLockFile's clock.
    lock.setStaleLockTime(0);
    const QStringList chain = lockFileChain(path);
    if (isOtherThanAFile(path))
        return false;
    if (QFileInfo::exists(path)
        && std::any_of(chain.cbegin() + 1, chain.cend(), isOtherThanAFile))
        return false;
    if (!lock.tryLock(0) && !takeAbandonedLock(lock, chain, policy))
        return false;
    for (qsizetype i = 1; i < chain.size(); ++i) {
        if (!isOtherThanAFile(chain.at(i)) && QFileInfo(chain.at(i)).isFile())
            QLockFile(chain.at(i)).removeStaleLockFile();
    }
    return true;
}

PolicyLock::PolicyLock(const QString &path) : m_path(path), m_lock(std::make_unique<QLockFile>(path))
{
}

PolicyLock::~PolicyLock() = default;

PolicyLock::Result PolicyLock::take(const LockPolicy &policy, int waitMs)
{
    if (takeLockWaiting(*m_lock, m_path, policy, waitMs))
        return Result::Taken;
    return m_lock->error() == QLockFile::LockFailedError ? Result::Held : Result::CannotMake;
}

bool PolicyLock::isHeld() const
{
    return m_lock->isLocked();
}

void PolicyLock::release()
{
    m_lock->unlock();
}

bool takeLockWaiting(QLockFile &lock, const QString &path, const LockPolicy &policy, int waitMs)
{
    constexpr int kRetryMs = 100;
    QElapsedTimer waited;
    waited.start();
    while (!takeLock(lock, path, policy)) {
        if (waited.elapsed() >= waitMs || lock.error() != QLockFile::LockFailedError)
            return false;
        QThread::msleep(ulong(qBound(qint64(1), waitMs - waited.elapsed(), qint64(kRetryMs))));
    }
    return true;
}

} // namespace vellumix
