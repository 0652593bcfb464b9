#include "workdirectory.h"

#include "linkguard.h"
#include "updateprotocol.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace vellumix {

namespace {

WorkDirectoryError fromWrite(const AtomicWriteResult &result, const QString &file)
{
    switch (result.status) {
    case AtomicWriteResult::Written:
        return {};
    case AtomicWriteResult::CannotCreateDirectory:
        return {WorkDirectoryError::CannotCreate, QFileInfo(file).absolutePath(), {}};
    case AtomicWriteResult::LinkAtName:
        return {WorkDirectoryError::LinkOnPath, file, {}};
    case AtomicWriteResult::CannotWrite:
        return {WorkDirectoryError::CannotWrite, file, result.errorString};
    case AtomicWriteResult::CannotFlushDirectory:
        return {WorkDirectoryError::CannotFlush, file, {}};
    }
    return {WorkDirectoryError::CannotWrite, file, result.errorString};
}

} // namespace

QString WorkDirectoryError::describe() const
{
    QString text;
    switch (code) {
    case None: return QString();
    case LinkOnPath: text = QStringLiteral("%1: the update directory must not contain a link"); break;
    case CannotCreate: text = QStringLiteral("cannot create %1"); break;
    case LockHeld: text = QStringLiteral("%1 is held by another process"); break;
    case LockFailed: text = QStringLiteral("cannot make the lock file %1"); break;
    case CannotWrite: text = QStringLiteral("cannot write %1"); break;
    case CannotFlush: text = QStringLiteral("%1 is written but not flushed to stable storage"); break;
    }
    text = text.arg(path);
    if (!system.isEmpty())
        text += QStringLiteral(" (%1)").arg(system);
    return text;
}

WorkDirectory WorkDirectory::ofProgramRoot(const QString &programRoot)
{
    return WorkDirectory(QDir(QFileInfo(programRoot).absoluteFilePath())
                             .filePath(protocol::kWorkDirectoryName));
}

WorkDirectory WorkDirectory::at(const QString &path)
{
    return WorkDirectory(path);
}

QString WorkDirectory::programRoot() const
{
    return QFileInfo(m_path).absolutePath();
}

QString WorkDirectory::journalFile() const { return fileNamed(protocol::kJournalFileName); }
QString WorkDirectory::installedFile() const { return fileNamed(protocol::kInstalledFileName); }
QString WorkDirectory::healthFile() const { return fileNamed(protocol::kHealthFileName); }
QString WorkDirectory::historyFile() const { return fileNamed(protocol::kUpdateHistoryFileName); }
QString WorkDirectory::backupFolder() const { return fileNamed(protocol::kBackupFolderName); }

void WorkDirectory::noteApplicationWait(const QString &stage) const
{
    const QJsonObject note{{QStringLiteral("stage"), QFileInfo(stage).absoluteFilePath()},
                           {QStringLiteral("time"),
                            QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}};
    writeRecord(fileNamed(protocol::kApplicationWaitFileName),
                QJsonDocument(note).toJson(QJsonDocument::Compact));
}

QString WorkDirectory::stageLocationFile() const
{
    return fileNamed(protocol::kStageLocationFileName);
}

void WorkDirectory::noteStageLocation(const QString &stage) const
{
    const QByteArray line =
        QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(stage).absoluteFilePath())).toUtf8() + '\n';
    if (readRecord(stageLocationFile(), 64 * 1024) == line || !make().ok())
        return;
    writeRecord(stageLocationFile(), line);
}

std::optional<WorkDirectory::ApplicationWait> WorkDirectory::applicationWait() const
{
    const std::optional<QByteArray> bytes =
        readRecord(fileNamed(protocol::kApplicationWaitFileName), 64 * 1024);
    if (!bytes)
        return std::nullopt;
    const QJsonObject note = QJsonDocument::fromJson(*bytes).object();
    ApplicationWait wait{note.value(QStringLiteral("stage")).toString(),
                         QDateTime::fromString(note.value(QStringLiteral("time")).toString(),
                                               Qt::ISODateWithMs)};
    if (wait.stage.isEmpty() || !wait.time.isValid())
        return std::nullopt;
    return wait;
}

QString WorkDirectory::lockFile(Lock lock) const
{
    return fileNamed(lock == Lock::Installer ? protocol::kLockFileName : protocol::kUpdateHistoryLockName);
}

/*
    The id is the user's, not the program root's: the program folder may be shared by every user of
    the computer and need not be writable, and one person's choice to turn reports on must not make
    another's installation traceable. It lives in the user's data folder (not the cache, which may
    be emptied: a new id would move the installation to another place in every rollout), one file
    per program root, named by a hash of the root's absolute path.
*/
QString WorkDirectory::installationIdFile() const
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    const QString root = QDir::cleanPath(programRoot());
    return base + QStringLiteral("/vellumix-update/installations/")
        + QString::fromLatin1(
               QCryptographicHash::hash(root.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
}

CoreError WorkDirectory::ensureNoLinks() const
{
    return ensureNoLinksOnPath(m_path);
}

WorkDirectoryError WorkDirectory::make() const
{
    if (!ensureNoLinks().ok())
        return {WorkDirectoryError::LinkOnPath, m_path, {}};
    if (!QDir().mkpath(m_path))
        return {WorkDirectoryError::CannotCreate, m_path, {}};
    return {};
}

std::optional<QByteArray> WorkDirectory::readRecord(const QString &file, qint64 maxBytes)
{
    return readRegularFileOnly(file, maxBytes);
}

WorkDirectoryError WorkDirectory::writeRecord(const QString &file, const QByteArray &contents) const
{
    if (!ensureNoLinks().ok())
        return {WorkDirectoryError::LinkOnPath, m_path, {}};
    return fromWrite(replaceFileAtomically(file, contents), file);
}

WorkDirectoryError WorkDirectory::writeRecordAt(const QString &file, const QByteArray &contents)
{
    return fromWrite(replaceFileAtomically(file, contents), file);
}

LockPolicy WorkDirectory::lockPolicy(Lock lock, int settleMs)
{
    // The updater's lock is held only by a running updater; the history's by whichever program
    // links the client, as its lock file names it.
    if (lock == Lock::Installer)
        return installerLockPolicy(settleMs);
    return {QString(), settleMs};
}

WorkDirectoryError WorkDirectory::takeLock(PolicyLock &held, Lock lock, int settleMs) const
{
    const int waitMs = lock == Lock::History ? kHistoryLockWaitMs : 0;
    switch (held.take(lockPolicy(lock, settleMs), waitMs)) {
    case PolicyLock::Result::Taken:
        return {};
    case PolicyLock::Result::Held:
        return {WorkDirectoryError::LockHeld, held.path(), {}};
    case PolicyLock::Result::CannotMake:
        break;
    }
    return {WorkDirectoryError::LockFailed, held.path(), {}};
}

bool WorkDirectory::isLockHeld(Lock lock) const
{
    return vellumix::isLockHeld(lockFile(lock), lockPolicy(lock));
}

} // namespace vellumix
