#include <vellumix/startup.h>

#include "fileio.h"
#include "linkguard.h"
#include "manifest.h"
#include "platform.h"
#include "releasecheck.h"
#include "updateprotocol.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>
#include <QSysInfo>

namespace vellumix {

namespace {

constexpr qint64 kRecordMaxBytes = 64 * 1024;
// The journal lists every file of an update; a release at the limits writes a few megabytes.
constexpr qint64 kJournalMaxBytes = 64 * 1024 * 1024;

QString rootOrDefault(const QString &programRoot)
{
    return QFileInfo(programRoot.isEmpty() ? QCoreApplication::applicationDirPath() : programRoot)
        .absoluteFilePath();
}

QString workDirectoryOf(const QString &programRoot)
{
    return QDir(rootOrDefault(programRoot)).filePath(protocol::kWorkDirectoryName);
}

// A JSON object read leniently: anything unreadable is an empty object.
QJsonObject readObject(const QString &path, qint64 maxBytes)
{
    try {
        if (!QFileInfo(path).isFile())
            return QJsonObject();
        return QJsonDocument::fromJson(readFileLimited(path, maxBytes)).object();
    } catch (const QString &) {
        return QJsonObject();
    }
}

} // namespace

std::optional<InstalledRelease> installedRelease(const QString &programRoot)
{
    const QJsonObject record =
        readObject(workDirectoryOf(programRoot) + u'/' + protocol::kInstalledFileName, kRecordMaxBytes);
    const QJsonValue sequence = record.value(protocol::kInstalledSequenceMember);
    const int value = sequence.toInt(-1);
    if (!sequence.isDouble() || value < kManifestMinSequence || value > kManifestMaxSequence)
        return std::nullopt;
    return InstalledRelease{value, record.value(protocol::kInstalledVersionMember).toString()};
}

bool confirmStartIfProbed(const QStringList &arguments, const QString &version,
                          const QString &programRoot, UpdateFailure *failure)
{
    QString token;
    bool probed = false;
    for (const QString &argument : arguments) {
        if (argument.startsWith(protocol::kProbeOption)) {
            token = argument.mid(protocol::kProbeOption.size());
            probed = true;
            break;
        }
    }
    if (!probed)
        return false;
    const QString workDirectory = workDirectoryOf(programRoot);
    const QJsonObject health{{protocol::kHealthTokenMember, token},
                             {protocol::kHealthVersionMember, version}};
    try {
        // Written whole or not at all, so the updater never reads half of it.
        ensureNoLinksOnPath(workDirectory);
        writeFileAtomic(workDirectory + u'/' + protocol::kHealthFileName,
                        QJsonDocument(health).toJson(QJsonDocument::Compact));
    } catch (const QString &text) {
        if (failure)
            *failure = {UpdateFailureReason::WorkDirectoryFailed, workDirectory + u' ' + text};
    }
    return true;
}

bool recoveryPending(const QString &programRoot)
{
    const QString state =
        readObject(workDirectoryOf(programRoot) + u'/' + protocol::kJournalFileName,
                   kJournalMaxBytes)
            .value(QStringLiteral("state"))
            .toString();
    return protocol::isUnfinishedJournalState(state);
}

/*
    The lock is only looked at, never taken: an updater tries its lock once and gives up when it is
    held, so taking it here even for a moment could turn away the updater it is meant to detect.
    A lock file that names no owner yet is being written by an updater that has just started, or
    was left by one killed in that instant; the updater itself treats such a file as abandoned once
    it is a second old, and so does this.
*/
bool updaterRunning(const QString &programRoot)
{
    const QString lockPath = workDirectoryOf(programRoot) + u'/' + protocol::kLockFileName;
    const QFileInfo info(lockPath);
    if (!info.exists())
        return false;
    QLockFile lock(lockPath);
    qint64 pid = 0;
    QString host, application;
    if (!lock.getLockInfo(&pid, &host, &application))
        return info.lastModified().msecsTo(QDateTime::currentDateTime()) < 1000;
    // An owner on another machine (a program folder on a share) cannot be looked up: it counts
    // as alive, as it does for the lock itself.
    if (!host.isEmpty() && host != QSysInfo::machineHostName())
        return true;
    os::ProcessHandle process;
    return process.open(quint32(pid)) != os::OpenStatus::NoSuchProcess;
}

StartupDecision handleStartup(const QStringList &arguments, const QString &version,
                              const QString &programRoot, bool quiet)
{
    StartupDecision decision;
    /*
        The probed new version comes first: while it runs, the journal still names the update
        unfinished (the updater makes it final only once it has seen the confirmation) and the
        updater holds its lock. Started as a recovery here, the new version would quit and take
        the update with it.
    */
    if (confirmStartIfProbed(arguments, version, programRoot, &decision.failure)) {
        decision.action = decision.failure.ok() ? StartupAction::ContinueConfirmed
                                                : StartupAction::Continue;
        return decision;
    }
    if (!recoveryPending(programRoot))
        return decision;
    decision.action = StartupAction::Quit;
    // An updater at work finishes the update itself and starts the application again.
    if (updaterRunning(programRoot))
        return decision;
    decision.failure = startRecovery(programRoot, quiet);
    return decision;
}

static UpdaterCommand updaterCommand(const QString &programRoot, QStringList arguments,
                                     quint32 parentId, bool quiet)
{
    const QString root = rootOrDefault(programRoot);
    arguments.prepend(root);
    arguments.prepend(QStringLiteral("--root"));
    if (parentId != 0)
        arguments << QStringLiteral("--parent") << QString::number(parentId);
    if (quiet)
        arguments << QStringLiteral("--quiet");
    return {QDir(root).filePath(QString::fromLatin1(kUpdaterProgramPath)), arguments, root};
}

UpdaterCommand applyCommand(const QString &programRoot, const QString &stagingDirectory,
                            quint32 parentId, bool quiet)
{
    return updaterCommand(programRoot,
                          {QStringLiteral("--stage"), QFileInfo(stagingDirectory).absoluteFilePath()},
                          parentId, quiet);
}

UpdaterCommand recoveryCommand(const QString &programRoot, quint32 parentId, bool quiet)
{
    return updaterCommand(programRoot, {QStringLiteral("--recover")}, parentId, quiet);
}

UpdateFailure ensureWorkDirectory(const QString &programRoot)
{
    const QString workDirectory = workDirectoryOf(programRoot);
    try {
        ensureNoLinksOnPath(workDirectory);
    } catch (const QString &text) {
        return {UpdateFailureReason::WorkDirectoryFailed, workDirectory + u' ' + text};
    }
    if (!QDir().mkpath(workDirectory))
        return {UpdateFailureReason::WorkDirectoryFailed,
                QStringLiteral("cannot create %1").arg(workDirectory)};
    return {};
}

UpdateFailure launchUpdater(const UpdaterCommand &command, const QString &programRoot)
{
    if (UpdateFailure failure = ensureWorkDirectory(programRoot); !failure.ok())
        return failure;
    if (!QProcess::startDetached(command.program, command.arguments, command.workingDirectory))
        return {UpdateFailureReason::UpdaterNotStarted,
                QStringLiteral("cannot start %1").arg(command.program)};
    return {};
}

UpdateFailure verifyStagedUpdate(const QString &programRoot, const QString &stagingDirectory,
                                 const QString &channel, qint32 builtInSequence)
{
    const QString manifestPath = stagingDirectory + u'/' + protocol::kManifestFileName;
    if (!QFileInfo(manifestPath).isFile())
        return {UpdateFailureReason::NotStaged,
                QStringLiteral("%1 holds no complete update").arg(stagingDirectory)};
    QByteArray envelope;
    try {
        envelope = readFileLimited(manifestPath, kManifestMaxBytes);
    } catch (const QString &text) {
        return {UpdateFailureReason::ManifestRejected, manifestPath + u' ' + text};
    }
    const ReleaseCheck release = checkRelease(envelope, channel);
    if (!release.failure.ok())
        return release.failure;
    const std::optional<InstalledRelease> installed = installedRelease(programRoot);
    const qint32 installedSequence = installed ? installed->sequence : builtInSequence;
    if (release.manifest.sequence <= installedSequence)
        return {UpdateFailureReason::NotNewer,
                QStringLiteral("the staged release has sequence %1; %2 is installed")
                    .arg(release.manifest.sequence)
                    .arg(installedSequence)};
    return {};
}

UpdateFailure startUpdater(const QString &programRoot, const QString &stagingDirectory, bool quiet,
                           const QString &channel, qint32 builtInSequence)
{
    if (UpdateFailure failure =
            verifyStagedUpdate(programRoot, stagingDirectory, channel, builtInSequence);
        !failure.ok())
        return failure;
    return launchUpdater(applyCommand(programRoot, stagingDirectory,
                                      quint32(QCoreApplication::applicationPid()), quiet),
                         programRoot);
}

UpdateFailure startRecovery(const QString &programRoot, bool quiet)
{
    return launchUpdater(
        recoveryCommand(programRoot, quint32(QCoreApplication::applicationPid()), quiet),
        programRoot);
}

} // namespace vellumix
