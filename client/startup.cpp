#include <vellumix/startup.h>

#include "fileio.h"
#include "healthrecord.h"
#include "installedrecord.h"
#include "linkguard.h"
#include "manifest.h"
#include "releasecheck.h"
#include "rollout.h"
#include "stagearea.h"
#include "updatehistory.h"
#include "updateprotocol.h"
#include "workdirectory.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace vellumix {

namespace {

// The option's token, when `arguments` carry the probe option.
std::optional<QString> probeToken(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument.startsWith(protocol::kProbeOption))
            return argument.mid(protocol::kProbeOption.size());
    }
    return std::nullopt;
}

} // namespace

/*
    The installed record is written by the updater once it has seen the new version's
    confirmation, a moment after the new version wrote it, and the new version goes on with its own
    work meanwhile: a check it makes at once would find its own release newer than the record and
    hand it to the updater a second time. So the release the journal names counts as in place as
    soon as its start is confirmed: the journal says "healthy", or still "starting" while the
    health file holds that journal's token and the release's version. Whichever of that and the
    record is newer is the release in place.
*/
std::optional<InstalledRelease> installedRelease(const QString &programRoot)
{
    const QString workDirectory = workDirectoryOf(programRoot);
    const std::optional<InstalledRecord> record = readInstalledRecord(workDirectory);
    const JournalView journal = readJournalView(programRoot);
    const bool confirmed = journal.sequence > 0 && !journal.token.isEmpty()
        && (journal.state == protocol::JournalState::healthy
            || (journal.state == protocol::JournalState::starting
                && readHealthRecord(workDirectory).confirms(journal.token, journal.version)));
    if (confirmed && (!record || record->sequence < journal.sequence))
        return InstalledRelease{journal.sequence, journal.version};
    if (!record)
        return std::nullopt;
    return InstalledRelease{record->sequence, record->version};
}

bool confirmStartIfProbed(const QStringList &arguments, const QString &version,
                          const QString &programRoot, UpdateFailure *failure)
{
    /*
        Only the updater that is probing this program has the token: it is the journal's, and the
        journal says "starting" for exactly as long as the probe waits. Anybody may start the
        program with the option, though; a confirmation written for another token, or while no
        update is starting, would let a half-installed program run without its recovery.
    */
    const std::optional<QString> token = probeToken(arguments);
    if (!token)
        return false;
    const JournalView journal = readJournalView(programRoot);
    if (journal.state != protocol::JournalState::starting || journal.token.isEmpty()
        || journal.token != *token)
        return false;
    // Whole or not at all, so that the updater never reads half of it.
    const WorkDirectory work = WorkDirectory::ofProgramRoot(programRootOrDefault(programRoot));
    const WorkDirectoryError error =
        work.writeRecord(work.healthFile(), HealthRecord(*token, version).toJson());
    if (!error.ok() && failure)
        *failure = {UpdateFailureReason::WorkDirectoryFailed, error.describe()};
    return true;
}

bool recoveryPending(const QString &programRoot)
{
    return protocol::isUnfinishedJournalState(readJournalView(programRoot).state);
}

/*
    The lock is only looked at, never taken: an updater tries its lock once and gives up when it is
    held, so taking it here even for a moment could turn away the updater it is meant to detect.
    The answer is the updater's own: held exactly when an updater started now would not take it
    (a live process on this host that runs the updater, an owner on another host, a lock file
    still being written, anything but a regular file at its name).
*/
bool updaterRunning(const QString &programRoot)
{
    return WorkDirectory::ofProgramRoot(programRootOrDefault(programRoot))
        .isLockHeld(WorkDirectory::Lock::Installer);
}

namespace {

/*
    The probed new version is told at once that it is the update now in place, and the stage its
    files came from is removed: the updater has put every file in place and never reads the stage
    again. A version text other than the release's is no confirmation (the updater waits on and
    rolls back), so nothing is recorded for it; the next start tells the rollback.
*/
void noteProbedStart(const QString &programRoot, const QString &version, StartupDecision &decision)
{
    const JournalView journal = readJournalView(programRoot);
    if (journal.version != version)
        return;
    UpdateOutcome installed;
    const auto change = changeUpdateHistory(programRoot, [&](UpdateHistory &history) {
        const HandedOverRelease &release = history.handedOver;
        const bool ours = release.isValid() && release.sequence == journal.sequence
            && release.version == journal.version;
        installed.result = UpdateResult::Installed;
        installed.sequence = journal.sequence;
        installed.version = journal.version;
        installed.channel = ours ? release.channel : QString();
        installed.feed = ours ? release.feed : QString();
        installed.manifestSha256 = ours ? release.manifestSha256 : QByteArray();
        installed.time = QDateTime::currentDateTimeUtc();
        history.outcome = installed;
        history.outcomeToken = journal.token;
        history.outcomeFinal = false;
        history.outcomeTold = true;
        if (ours)
            StageArea::removeStage(release.stage);
    });
    if (change.ok())
        decision.outcome = installed;
}

} // namespace

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
        if (decision.failure.ok())
            noteProbedStart(programRoot, version, decision);
        return decision;
    }
    const bool atWork = updaterRunning(programRoot);
    if (recoveryPending(programRoot)) {
        decision.action = StartupAction::Quit;
        // An updater at work finishes the update itself and starts the application again.
        if (atWork)
            return decision;
        // The recovery is remembered with the journal it finds, so that the next start tells an
        // interrupted update from one the updater rolled back itself.
        const JournalView journal = readJournalView(programRoot);
        changeUpdateHistory(programRoot, [&](UpdateHistory &history) {
            history.recoveryToken = journal.token;
            history.recoveryState = journal.state;
        });
        decision.failure = startRecovery(programRoot, quiet);
        return decision;
    }
    // What became of the last update, told once. A record that cannot be written is told again
    // at the next start rather than never.
    changeUpdateHistory(programRoot, [&](UpdateHistory &history) {
        settleLastUpdate(history, programRoot, std::nullopt, atWork);
        if (history.outcomeFinal && history.outcome.isValid() && !history.outcomeTold) {
            decision.outcome = history.outcome;
            history.outcomeTold = true;
        }
    });
    return decision;
}

UpdateOutcome lastUpdateOutcome(const QString &programRoot)
{
    const UpdateHistory history = readUpdateHistory(programRoot);
    return history.outcomeFinal || history.outcomeTold ? history.outcome : UpdateOutcome();
}

QList<UpdateOutcome> failedReleases(const QString &programRoot)
{
    return readUpdateHistory(programRoot).failed;
}

static UpdaterCommand updaterCommand(const QString &programRoot, QStringList arguments,
                                     quint32 parentId, bool quiet)
{
    const QString root = programRootOrDefault(programRoot);
    arguments.prepend(root);
    arguments.prepend(QStringLiteral("--root"));
    if (parentId != 0)
        arguments << QStringLiteral("--parent") << QString::number(parentId);
    if (quiet)
        arguments << QStringLiteral("--quiet");
    return {QDir(root).filePath(QString::fromLatin1(kUpdaterProgramPath)), arguments, root, {}};
}

UpdaterCommand applyCommand(const QString &programRoot, const QString &stagingDirectory,
                            quint32 parentId, bool quiet)
{
    const QString stage = QFileInfo(stagingDirectory).absoluteFilePath();
    UpdaterCommand command =
        updaterCommand(programRoot, {QStringLiteral("--stage"), stage}, parentId, quiet);
    command.stagingDirectory = stage;
    return command;
}

UpdaterCommand recoveryCommand(const QString &programRoot, quint32 parentId, bool quiet)
{
    return updaterCommand(programRoot, {QStringLiteral("--recover")}, parentId, quiet);
}

UpdateFailure ensureWorkDirectory(const QString &programRoot)
{
    const WorkDirectoryError error =
        WorkDirectory::ofProgramRoot(programRootOrDefault(programRoot)).make();
    if (!error.ok())
        return {UpdateFailureReason::WorkDirectoryFailed, error.describe()};
    return {};
}

namespace {

// The release a stage holds, as the hand-over records it. The stage was verified just before.
HandedOverRelease releaseOfStage(const QString &stage, const QString &programRoot)
{
    HandedOverRelease release;
    const CoreResult<QByteArray> envelope =
        readFileLimited(stage + u'/' + protocol::kManifestFileName, kManifestMaxBytes);
    if (!envelope.ok())
        return release;
    const QJsonObject payload = QJsonDocument::fromJson(QByteArray::fromBase64(
        QJsonDocument::fromJson(*envelope).object().value(QStringLiteral("payload")).toString().toLatin1()))
                                    .object();
    release.stage = stage;
    release.sequence = payload.value(QStringLiteral("sequence")).toInt();
    release.version = payload.value(QStringLiteral("version")).toString();
    release.channel =
        payload.value(protocol::kPayloadChannelMember).toString(protocol::kDefaultChannel);
    release.feed = stageOrigin(stage);
    release.manifestSha256 = QCryptographicHash::hash(*envelope, QCryptographicHash::Sha256).toHex();
    release.time = QDateTime::currentDateTimeUtc();
    release.previousToken = readJournalView(programRoot).token;
    // Where its outcome is reported, if the application sends reports (the stage verified, so
    // the address is the one the release was signed with).
    const QString reports = payload.value(protocol::kPayloadReportsMember).toString();
    if (protocol::isReportsUrl(reports))
        release.reports = reports;
    return release;
}

UpdateFailure recordHandOver(const UpdaterCommand &command, const QString &programRoot)
{
    if (command.stagingDirectory.isEmpty())
        return {};
    const HandedOverRelease release = releaseOfStage(command.stagingDirectory, programRoot);
    return changeUpdateHistory(programRoot, [&](UpdateHistory &history) {
        // A person's "try again": the release is no longer one that failed here.
        history.failed.removeIf([&](const UpdateOutcome &entry) {
            return entry.sequence == release.sequence && entry.version == release.version;
        });
        history.handedOver = release;
    });
}

void forgetHandOver(const QString &programRoot)
{
    changeUpdateHistory(programRoot,
                        [](UpdateHistory &history) { history.handedOver = HandedOverRelease(); });
}

} // namespace

UpdateFailure launchUpdater(const UpdaterCommand &command, const QString &programRoot)
{
    if (UpdateFailure failure = ensureWorkDirectory(programRoot); !failure.ok())
        return failure;
    // Without the record the next start could not tell a failed release, and would take it
    // again: no record, no start.
    if (UpdateFailure failure = recordHandOver(command, programRoot); !failure.ok())
        return failure;
    if (!QProcess::startDetached(command.program, command.arguments, command.workingDirectory)) {
        if (!command.stagingDirectory.isEmpty())
            forgetHandOver(programRoot);
        return {UpdateFailureReason::UpdaterNotStarted,
                QStringLiteral("cannot start %1").arg(command.program)};
    }
    return {};
}

int runUpdater(const UpdaterCommand &command, const QString &programRoot, UpdateFailure *failure)
{
    *failure = ensureWorkDirectory(programRoot);
    if (failure->ok())
        *failure = recordHandOver(command, programRoot);
    if (!failure->ok())
        return -1;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setWorkingDirectory(command.workingDirectory);
    process.start(command.program, command.arguments);
    if (!process.waitForStarted()) {
        if (!command.stagingDirectory.isEmpty())
            forgetHandOver(programRoot);
        *failure = {UpdateFailureReason::UpdaterNotStarted, command.program};
        return -1;
    }
    process.waitForFinished(-1);
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    // The updater's own word on the release: judged now, with the exit code that only a waiting
    // client sees.
    changeUpdateHistory(programRoot, [&](UpdateHistory &history) {
        settleLastUpdate(history, programRoot, code, false);
    });
    return code;
}

UpdateFailure verifyStagedUpdate(const QString &programRoot, const QString &stagingDirectory,
                                 const QString &channel, qint32 builtInSequence,
                                 FailedReleasePolicy policy)
{
    const QString manifestPath = stagingDirectory + u'/' + protocol::kManifestFileName;
    if (!QFileInfo(manifestPath).isFile())
        return {UpdateFailureReason::NotStaged,
                QStringLiteral("%1 holds no complete update").arg(stagingDirectory)};
    const CoreResult<QByteArray> read = readFileLimited(manifestPath, kManifestMaxBytes);
    if (!read.ok())
        return {UpdateFailureReason::ManifestRejected, manifestPath + u' ' + read.error().describe()};
    const QByteArray &envelope = *read;
    ReleaseCheck release = checkRelease(envelope, channel);
    // A fallback release past its own expiry passes while the channel's current release, kept
    // beside it and not expired, still names exactly these bytes.
    if (release.failure.reason == UpdateFailureReason::ManifestExpired) {
        const QString voucherFile = StageArea::voucherPath(stagingDirectory);
        if (QFileInfo(voucherFile).isFile()) {
            // An unreadable voucher vouches for nothing: the expiry stands.
            if (const CoreResult<QByteArray> voucher = readFileLimited(voucherFile, kManifestMaxBytes);
                voucher.ok()) {
                const ReleaseCheck current = checkRelease(*voucher, channel);
                if (current.failure.ok())
                    release = checkFallbackRelease(envelope, current, channel);
            }
        }
    }
    if (!release.failure.ok())
        return release.failure;
    const std::optional<InstalledRelease> installed = installedRelease(programRoot);
    const qint32 installedSequence = installed ? installed->sequence : builtInSequence;
    if (release.manifest.sequence <= installedSequence)
        return {UpdateFailureReason::NotNewer,
                QStringLiteral("the staged release has sequence %1; %2 is installed")
                    .arg(release.manifest.sequence)
                    .arg(installedSequence)};
    if (policy == FailedReleasePolicy::Skip) {
        if (const std::optional<UpdateOutcome> failed =
                failedRelease(readUpdateHistory(programRoot), channel, release.manifest.sequence,
                              release.manifest.version))
            return {UpdateFailureReason::FailedHere,
                    QStringLiteral("%1 (sequence %2) %3 here on %4: %5")
                        .arg(failed->version)
                        .arg(failed->sequence)
                        .arg(failed->resultName(), failed->time.toString(Qt::ISODate),
                             failed->reasonName())};
    }
    return {};
}

UpdateFailure startUpdater(const QString &programRoot, const QString &stagingDirectory, bool quiet,
                           const QString &channel, qint32 builtInSequence,
                           FailedReleasePolicy policy)
{
    if (UpdateFailure failure =
            verifyStagedUpdate(programRoot, stagingDirectory, channel, builtInSequence, policy);
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
