#include "updatehistory.h"

#include "clienttexts.h"
#include "fileio.h"
#include "healthrecord.h"
#include "journal.h"
#include "linkguard.h"
#include "stagearea.h"
#include "updateprotocol.h"
#include "workdirectory.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace vellumix {

namespace {

constexpr qint64 kRecordMaxBytes = 1024 * 1024;
// A record keeps the newest failures; older releases are long superseded.
constexpr int kFailedKept = 32;
const QString kStageOriginName = QStringLiteral("/.vellumix-origin.json");

} // namespace

// The work directory's files are read by whoever starts the application, and what stands at their
// names is not always what the updater left there: only a regular file is read, opened as itself
// and without waiting on it.
QJsonObject readRecordFile(const QString &path, qint64 maxBytes)
{
    const std::optional<QByteArray> bytes = WorkDirectory::readRecord(path, maxBytes);
    return bytes ? QJsonDocument::fromJson(*bytes).object() : QJsonObject();
}

namespace {

// --- The record's JSON ---------------------------------------------------------------------------

const QString kHandedOver = QStringLiteral("handedOver");
const QString kRecovery = QStringLiteral("recovery");
const QString kOutcome = QStringLiteral("outcome");
const QString kFailed = QStringLiteral("failed");
const QString kNotTaken = QStringLiteral("notTaken");

struct NamedValue
{
    int value;
    const char *name;
};

constexpr NamedValue kResultNames[] = {
    {int(UpdateResult::Installed), "installed"},
    {int(UpdateResult::RolledBack), "rolled-back"},
    {int(UpdateResult::Recovered), "recovered"},
    {int(UpdateResult::NotInstalled), "not-installed"},
};
constexpr NamedValue kReasonNames[] = {
    {int(UpdateFailedBecause::NewVersionEnded), "new-version-ended"},
    {int(UpdateFailedBecause::VersionMismatch), "version-mismatch"},
    {int(UpdateFailedBecause::NotConfirmed), "not-confirmed"},
    {int(UpdateFailedBecause::InstallFailed), "install-failed"},
    {int(UpdateFailedBecause::Interrupted), "interrupted"},
    {int(UpdateFailedBecause::Unconfirmed), "unconfirmed"},
    {int(UpdateFailedBecause::NotInstalled), "not-installed"},
};

template<std::size_t N>
QString nameOf(const NamedValue (&names)[N], int value)
{
    for (const NamedValue &entry : names) {
        if (entry.value == value)
            return QString::fromLatin1(entry.name);
    }
    return QString();
}

template<std::size_t N>
int valueOf(const NamedValue (&names)[N], const QString &name, int fallback)
{
    for (const NamedValue &entry : names) {
        if (name == QLatin1String(entry.name))
            return entry.value;
    }
    return fallback;
}

QString timeText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

UpdateOutcome outcomeFromJson(const QJsonObject &object)
{
    UpdateOutcome outcome;
    outcome.result = UpdateResult(
        valueOf(kResultNames, object.value(QStringLiteral("result")).toString(), 0));
    if (outcome.failed())
        outcome.because = UpdateFailedBecause(valueOf(
            kReasonNames, object.value(QStringLiteral("reason")).toString(),
            int(UpdateFailedBecause::NotConfirmed)));
    outcome.sequence = object.value(QStringLiteral("sequence")).toInt();
    outcome.version = object.value(QStringLiteral("version")).toString();
    outcome.channel = object.value(QStringLiteral("channel")).toString();
    outcome.feed = object.value(QStringLiteral("feed")).toString();
    outcome.manifestSha256 = object.value(QStringLiteral("manifestSha256")).toString().toLatin1();
    outcome.time = QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODate);
    outcome.detail = object.value(QStringLiteral("detail")).toString();
    return outcome;
}

QJsonObject toJson(const HandedOverRelease &release)
{
    return {{QStringLiteral("stage"), release.stage},
            {QStringLiteral("feed"), release.feed},
            {QStringLiteral("channel"), release.channel},
            {QStringLiteral("sequence"), release.sequence},
            {QStringLiteral("version"), release.version},
            {QStringLiteral("manifestSha256"), QString::fromLatin1(release.manifestSha256)},
            {QStringLiteral("time"), timeText(release.time)},
            {QStringLiteral("previousToken"), release.previousToken},
            {QStringLiteral("reports"), release.reports}};
}

HandedOverRelease handedOverFromJson(const QJsonObject &object)
{
    HandedOverRelease release;
    release.stage = object.value(QStringLiteral("stage")).toString();
    release.feed = object.value(QStringLiteral("feed")).toString();
    release.channel = object.value(QStringLiteral("channel")).toString();
    release.sequence = object.value(QStringLiteral("sequence")).toInt();
    release.version = object.value(QStringLiteral("version")).toString();
    release.manifestSha256 = object.value(QStringLiteral("manifestSha256")).toString().toLatin1();
    release.time = QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODate);
    release.previousToken = object.value(QStringLiteral("previousToken")).toString();
    release.reports = object.value(QStringLiteral("reports")).toString();
    return release;
}

QByteArray toJson(const UpdateHistory &history)
{
    QJsonObject record;
    if (history.handedOver.isValid())
        record.insert(kHandedOver, toJson(history.handedOver));
    if (!history.recoveryToken.isEmpty())
        record.insert(kRecovery, QJsonObject{{QStringLiteral("token"), history.recoveryToken},
                                             {QStringLiteral("state"), history.recoveryState}});
    if (history.outcome.isValid() || !history.outcomeToken.isEmpty()) {
        QJsonObject outcome = history.outcome.isValid() ? history.outcome.toJson() : QJsonObject();
        outcome.insert(QStringLiteral("token"), history.outcomeToken);
        outcome.insert(QStringLiteral("final"), history.outcomeFinal);
        outcome.insert(QStringLiteral("told"), history.outcomeTold);
        if (!history.outcomeReports.isEmpty()) {
            outcome.insert(QStringLiteral("reports"), history.outcomeReports);
            outcome.insert(QStringLiteral("reported"), history.outcomeReported);
            if (!history.outcomeReportFailure.isEmpty()) {
                outcome.insert(QStringLiteral("reportFailure"), history.outcomeReportFailure);
                outcome.insert(QStringLiteral("reportFailureToken"),
                               history.outcomeReportFailureToken);
            }
        }
        record.insert(kOutcome, outcome);
    }
    QJsonArray failed;
    for (const UpdateOutcome &release : history.failed)
        failed.append(release.toJson());
    record.insert(kFailed, failed);
    if (history.notTakenCount > 0) {
        QJsonObject notTaken = history.notTaken.toJson();
        notTaken.insert(QStringLiteral("count"), history.notTakenCount);
        record.insert(kNotTaken, notTaken);
    }
    return QJsonDocument(record).toJson(QJsonDocument::Indented);
}

UpdateHistory historyFromJson(const QJsonObject &record)
{
    UpdateHistory history;
    history.handedOver = handedOverFromJson(record.value(kHandedOver).toObject());
    const QJsonObject recovery = record.value(kRecovery).toObject();
    history.recoveryToken = recovery.value(QStringLiteral("token")).toString();
    history.recoveryState = recovery.value(QStringLiteral("state")).toString();
    const QJsonObject outcome = record.value(kOutcome).toObject();
    history.outcome = outcomeFromJson(outcome);
    history.outcomeToken = outcome.value(QStringLiteral("token")).toString();
    history.outcomeFinal = outcome.value(QStringLiteral("final")).toBool();
    history.outcomeTold = outcome.value(QStringLiteral("told")).toBool();
    history.outcomeReports = outcome.value(QStringLiteral("reports")).toString();
    history.outcomeReported = outcome.value(QStringLiteral("reported")).toBool();
    history.outcomeReportFailure = outcome.value(QStringLiteral("reportFailure")).toString();
    history.outcomeReportFailureToken = outcome.value(QStringLiteral("reportFailureToken")).toString();
    const QJsonArray failed = record.value(kFailed).toArray();
    for (const QJsonValue &entry : failed) {
        const UpdateOutcome release = outcomeFromJson(entry.toObject());
        if (release.failed() && release.sequence > 0)
            history.failed.append(release);
    }
    const QJsonObject notTaken = record.value(kNotTaken).toObject();
    history.notTaken = outcomeFromJson(notTaken);
    history.notTakenCount = history.notTaken.sequence > 0
        ? qBound(0, notTaken.value(QStringLiteral("count")).toInt(), kNotTakenLimit)
        : 0;
    return history;
}

WorkDirectory workOf(const QString &programRoot)
{
    return WorkDirectory::ofProgramRoot(programRootOrDefault(programRoot));
}

// --- Learning what became of an update -----------------------------------------------------------

// The journal is that of the release handed over: it names the release and came after the hand-over.
bool isJournalOf(const HandedOverRelease &release, const JournalView &journal)
{
    return release.isValid() && release.sequence == journal.sequence
        && release.version == journal.version && journal.token != release.previousToken;
}

UpdateOutcome outcomeOf(const HandedOverRelease &release)
{
    UpdateOutcome outcome;
    outcome.sequence = release.sequence;
    outcome.version = release.version;
    outcome.channel = release.channel;
    outcome.feed = release.feed;
    outcome.manifestSha256 = release.manifestSha256;
    outcome.time = QDateTime::currentDateTimeUtc();
    return outcome;
}

void rememberFailure(UpdateHistory &history, const UpdateOutcome &outcome)
{
    history.failed.removeIf([&](const UpdateOutcome &entry) {
        return entry.channel == outcome.channel && entry.sequence == outcome.sequence
            && entry.version == outcome.version;
    });
    history.failed.append(outcome);
    while (history.failed.size() > kFailedKept)
        history.failed.removeFirst();
}

// The updater's wait for the application ran out on this hand-over (its note names the stage and
// came after the hand-over): nothing was changed, and the release is offered again.
bool applicationWaitRanOut(const HandedOverRelease &release, const QString &programRoot)
{
    const std::optional<WorkDirectory::ApplicationWait> wait = workOf(programRoot).applicationWait();
    return wait && wait->stage == release.stage && release.time.isValid()
        && wait->time >= release.time.addSecs(-1);
}

// Why a rolled-back journal was rolled back, as far as the client can tell.
void judgeRollback(UpdateOutcome &outcome, const UpdateHistory &history, const JournalView &journal,
                   const QString &programRoot, std::optional<int> exitCode)
{
    outcome.result = UpdateResult::RolledBack;
    if (!history.recoveryToken.isEmpty() && history.recoveryToken == journal.token) {
        outcome.result = UpdateResult::Recovered;
        outcome.because = history.recoveryState == protocol::JournalState::rollbackNeeded
            ? UpdateFailedBecause::Unconfirmed
            : UpdateFailedBecause::Interrupted;
        outcome.detail = QStringLiteral("the recovery found the update %1")
                             .arg(history.recoveryState);
        return;
    }
    // The new version confirms with its own version text; the updater accepts only the release's.
    const HealthRecord health = readHealthRecord(workOf(programRoot).path());
    if (health.token() == journal.token && !health.hasVersion(journal.version)) {
        outcome.because = UpdateFailedBecause::VersionMismatch;
        outcome.detail = QStringLiteral("the new version confirmed its start as \"%1\"; its release "
                                        "is \"%2\"")
                             .arg(health.versionText(), journal.version);
        return;
    }
    if (exitCode == 4) {
        outcome.because = UpdateFailedBecause::NewVersionEnded;
        outcome.detail = QStringLiteral("the updater ended with 4");
        return;
    }
    if (exitCode == 1 || exitCode == 6) {
        outcome.because = UpdateFailedBecause::InstallFailed;
        outcome.detail = QStringLiteral("the updater ended with %1").arg(*exitCode);
        return;
    }
    outcome.because = UpdateFailedBecause::NotConfirmed;
    outcome.detail = exitCode ? QStringLiteral("the updater ended with %1").arg(*exitCode)
                              : QStringLiteral("the journal says rolled back");
}

} // namespace

QString programRootOrDefault(const QString &programRoot)
{
    return QFileInfo(programRoot.isEmpty() ? QCoreApplication::applicationDirPath() : programRoot)
        .absoluteFilePath();
}

QString workDirectoryOf(const QString &programRoot)
{
    return workOf(programRoot).path();
}

JournalView readJournalView(const QString &programRoot)
{
    const TransactionJournal journal = peekTransactionJournal(workDirectoryOf(programRoot));
    return {journalState(journal), journalVersion(journal), journalSequence(journal),
            journalToken(journal)};
}

UpdateHistory readUpdateHistory(const QString &programRoot)
{
    const std::optional<QByteArray> bytes =
        WorkDirectory::readRecord(workOf(programRoot).historyFile(), kRecordMaxBytes);
    UpdateHistory history = historyFromJson(bytes ? QJsonDocument::fromJson(*bytes).object()
                                                   : QJsonObject());
    history.existed = bytes.has_value();
    return history;
}

UpdateFailure changeUpdateHistory(const QString &programRoot,
                                  const std::function<void(UpdateHistory &)> &change)
{
    /*
        Most starts change nothing, and a program folder need not be writable for them: the record
        is amended on a copy first, and only a change takes the lock and writes. Under the lock the
        change is made again on what is on disk then, so two starts at once lose nothing.
    */
    UpdateHistory unchanged = readUpdateHistory(programRoot);
    const QByteArray before = toJson(unchanged);
    change(unchanged);
    if (toJson(unchanged) == before)
        return {};
    /*
        The lock is the one lock policy's: a live process of the program root that is changing the
        record is waited for (a few writes), and a lock file left by a process that died, also
        one that names no owner because it died while making it, is taken over once it has
        settled, so that no crash can lock every later update out.
    */
    const WorkDirectory work = workOf(programRoot);
    WorkDirectoryError error = work.make();
    PolicyLock lock(work.lockFile(WorkDirectory::Lock::History));
    if (error.ok())
        error = work.takeLock(lock, WorkDirectory::Lock::History);
    if (error.ok()) {
        UpdateHistory history = readUpdateHistory(programRoot);
        change(history);
        error = work.writeRecord(work.historyFile(), toJson(history));
    }
    if (!error.ok())
        return {UpdateFailureReason::WorkDirectoryFailed, error.describe()};
    return {};
}

std::optional<UpdateOutcome> failedRelease(const UpdateHistory &history, const QString &channel,
                                           qint32 sequence, const QString &version)
{
    for (const UpdateOutcome &entry : history.failed) {
        // A release handed over by another way than the client names no channel.
        if ((entry.channel.isEmpty() || entry.channel == channel) && entry.sequence == sequence
            && entry.version == version)
            return entry;
    }
    return std::nullopt;
}

void settleLastUpdate(UpdateHistory &history, const QString &programRoot,
                      std::optional<int> exitCode, bool updaterAtWork)
{
    const JournalView journal = readJournalView(programRoot);
    if (protocol::isUnfinishedJournalState(journal.state))
        return;
    const bool ended = !journal.token.isEmpty()
        && (journal.state == protocol::JournalState::healthy
            || journal.state == protocol::JournalState::rolledBack);
    const bool seenBefore = history.outcomeFinal && history.outcomeToken == journal.token;
    if (ended && !seenBefore) {
        const bool ours = isJournalOf(history.handedOver, journal);
        // A client that has kept nothing yet did not hand this update over and has nothing to
        // tell about it; nor does it write anything: most starts of a program never see an update
        // of the client's, and its folder need not be written for them.
        if (!history.existed && !ours)
            return;
        HandedOverRelease release = history.handedOver;
        if (!ours)
            release = {QString(), QString(), QString(), journal.sequence, journal.version, {}, {}, {}, {}};
        UpdateOutcome outcome = outcomeOf(release);
        if (journal.state == protocol::JournalState::healthy)
            outcome.result = UpdateResult::Installed;
        else
            judgeRollback(outcome, history, journal, programRoot, exitCode);
        // The probed start told the application already that it is the new version.
        history.outcomeTold = history.outcomeToken == journal.token && history.outcomeTold
            && history.outcome.result == outcome.result;
        history.outcome = outcome;
        history.outcomeToken = journal.token;
        history.outcomeFinal = true;
        history.outcomeReports = release.reports;
        history.outcomeReported = false;
        if (outcome.failed())
            rememberFailure(history, outcome);
        if (ours) {
            history.notTakenCount = 0;
            history.notTaken = UpdateOutcome();
        }
        if (history.recoveryToken == journal.token)
            history.recoveryToken.clear();
        if (ours) {
            if (outcome.result == UpdateResult::Installed)
                StageArea::removeStage(history.handedOver.stage);
            history.handedOver = HandedOverRelease();
        }
        return;
    }
    if (ended && exitCode && history.outcome.because == UpdateFailedBecause::NotConfirmed) {
        // The application that the updater started again read the journal first; the exit code
        // that the waiting client saw says more.
        judgeRollback(history.outcome, history, journal, programRoot, exitCode);
        if (history.outcome.failed())
            rememberFailure(history, history.outcome);
        return;
    }
    if (!history.handedOver.isValid() || updaterAtWork
        || journal.token != history.handedOver.previousToken)
        return;
    /*
        A release handed over, and the journal is still the one from before: the updater ended
        before it changed anything. That is either transient (codes 2 and 3: no root, or another
        run held the lock; or the wait for the application ran out, which the updater notes in
        the work folder), and passes, or a refusal of the release (its stage, or no room for it),
        which would end the same way again and is remembered at once. A client that did not wait
        for the updater sees no exit code; without the updater's note it cannot tell the two
        apart, and counts: the same release ending so kNotTakenLimit times in a row has failed.
    */
    const HandedOverRelease release = history.handedOver;
    history.handedOver = HandedOverRelease();
    if (exitCode == 2 || exitCode == 3 || applicationWaitRanOut(release, programRoot))
        return;
    const bool known = exitCode && *exitCode >= 0;
    if (!known) {
        const bool same = history.notTakenCount > 0 && history.notTaken.sequence == release.sequence
            && history.notTaken.version == release.version
            && history.notTaken.channel == release.channel;
        history.notTaken = outcomeOf(release);
        history.notTakenCount = same ? history.notTakenCount + 1 : 1;
        if (history.notTakenCount < kNotTakenLimit)
            return;
    }
    UpdateOutcome outcome = outcomeOf(release);
    outcome.result = UpdateResult::NotInstalled;
    outcome.because = UpdateFailedBecause::NotInstalled;
    outcome.detail = known ? QStringLiteral("the updater ended with %1").arg(*exitCode)
                           : QStringLiteral("the updater ended without installing it %1 times in "
                                            "a row")
                                 .arg(history.notTakenCount);
    history.outcome = outcome;
    history.outcomeFinal = true;
    history.outcomeTold = false;
    // The updater refused the stage before it changed anything: no start to report.
    history.outcomeReports.clear();
    history.outcomeReported = false;
    history.notTakenCount = 0;
    history.notTaken = UpdateOutcome();
    rememberFailure(history, outcome);
}

QString feedIdentity(const QUrl &feed)
{
    return feed.adjusted(QUrl::RemoveUserInfo | QUrl::StripTrailingSlash).toString();
}

void writeStageOrigin(const QString &stage, const QUrl &feed)
{
    // Only a note for the record of the hand-over: the stage is complete without it.
    WorkDirectory::writeRecordAt(
        stage + kStageOriginName,
        QJsonDocument(QJsonObject{{QStringLiteral("feed"), feedIdentity(feed)}})
            .toJson(QJsonDocument::Compact));
}

QString stageOrigin(const QString &stage)
{
    return readRecordFile(stage + kStageOriginName, 64 * 1024).value(QStringLiteral("feed")).toString();
}

// --- UpdateOutcome ------------------------------------------------------------------------------

QString UpdateOutcome::resultName() const
{
    return nameOf(kResultNames, int(result));
}

QString UpdateOutcome::reasonName() const
{
    return failed() ? nameOf(kReasonNames, int(because)) : QString();
}

QJsonObject UpdateOutcome::toJson() const
{
    QJsonObject object{{QStringLiteral("result"), resultName()},
                       {QStringLiteral("sequence"), sequence},
                       {QStringLiteral("version"), version},
                       {QStringLiteral("time"), timeText(time)}};
    if (failed())
        object.insert(QStringLiteral("reason"), reasonName());
    for (const auto &[name, value] :
         {std::pair{QStringLiteral("channel"), channel}, std::pair{QStringLiteral("feed"), feed},
          std::pair{QStringLiteral("manifestSha256"), QString::fromLatin1(manifestSha256)},
          std::pair{QStringLiteral("detail"), detail}}) {
        if (!value.isEmpty())
            object.insert(name, value);
    }
    return object;
}

QString UpdateOutcome::userText() const
{
    if (result == UpdateResult::None)
        return QString();
    const char *source = ClientMsg::outcomeNotConfirmed;
    if (result == UpdateResult::Installed) {
        source = ClientMsg::outcomeInstalled;
    } else {
        switch (because) {
        case UpdateFailedBecause::NewVersionEnded: source = ClientMsg::outcomeNewVersionEnded; break;
        case UpdateFailedBecause::VersionMismatch: source = ClientMsg::outcomeVersionMismatch; break;
        case UpdateFailedBecause::InstallFailed: source = ClientMsg::outcomeInstallFailed; break;
        case UpdateFailedBecause::Interrupted: source = ClientMsg::outcomeInterrupted; break;
        case UpdateFailedBecause::Unconfirmed: source = ClientMsg::outcomeUnconfirmed; break;
        case UpdateFailedBecause::NotInstalled: source = ClientMsg::outcomeNotInstalled; break;
        case UpdateFailedBecause::NotConfirmed:
        case UpdateFailedBecause::Nothing: break;
        }
    }
    return ClientMsg::text(source).arg(version);
}

} // namespace vellumix
