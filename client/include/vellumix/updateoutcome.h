// What became of an update that was handed to the updater, as the application tells its user: the
// start-up call answers it once, on the first start after the update ended, and a check reports a
// release that failed on this computer before (it is not taken again unless asked to).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

namespace vellumix {

enum class UpdateResult {
    None,         // no update has ended since the client keeps its record
    Installed,    // the new version confirmed its start: it is in place
    RolledBack,   // the update was undone and the previous version restored at once
    Recovered,    // the update was left unfinished (a crash, a power cut, a start that was not
                  // confirmed in time) and the recovery restored the previous version
    NotInstalled, // the updater was started for it and ended without changing the program
};

// Why an update did not stay. Only what the client saw is claimed: an application that quit right
// after starting the updater does not see its exit code, and then NotConfirmed is all it knows.
enum class UpdateFailedBecause {
    Nothing,          // it did not fail
    NewVersionEnded,  // the new version ended without confirming its start
    VersionMismatch,  // the new version confirmed with another version text than its release's
    NotConfirmed,     // it was undone before the new version confirmed its start
    InstallFailed,    // the updater could not put the files in place
    Interrupted,      // left unfinished (a crash, a power cut) and rolled back by the recovery
    Unconfirmed,      // the new version ran without confirming in time; rolled back at the next
                      // start
    NotInstalled,     // the updater ended without installing it (it refused the stage, or found
                      // no room for it)
};

struct UpdateOutcome
{
    UpdateResult result = UpdateResult::None;
    UpdateFailedBecause because = UpdateFailedBecause::Nothing;
    qint32 sequence = 0;
    QString version;
    QString channel;           // empty when the release did not come through the client
    QString feed;              // where it came from, without any user information
    QByteArray manifestSha256; // of the signed manifest that was installed
    QDateTime time;            // when the client learned of it (UTC)
    QString detail;            // for logs: what the client saw

    bool isValid() const { return result != UpdateResult::None; }
    // Rolled back, recovered or not installed: a release that is not taken again by itself.
    bool failed() const { return isValid() && result != UpdateResult::Installed; }
    // The user's words for it, naming the version: English, or translated as
    // UpdateFailure::userText() is.
    QString userText() const;
    // Stable English names, for logs and scripts: "installed", "rolled-back", "recovered",
    // "not-installed"; "new-version-ended", "version-mismatch", ... ("" when it did not fail).
    QString resultName() const;
    QString reasonName() const;
    // As JSON, for scripts: "result", "reason" (when it failed), "sequence", "version", "time"
    // (ISO 8601, UTC) and, where known, "channel", "feed", "manifestSha256" and "detail".
    QJsonObject toJson() const;
};

// Whether the outcome of the last update has reached the address its release names for outcome
// reports, when the application sends them (UpdateClientSettings::sendOutcomeReports): what
// UpdateClient::outcomeReportStatus() answers after a check. A report that did not arrive is sent
// again at the next check; why the last one did not is kept until one arrives.
struct OutcomeReportStatus
{
    qint32 sequence = 0; // the release whose outcome is reported; 0: no report is owed or sent
    bool sent = false;   // the report arrived: its address answered with a 2xx status
    // Why the last try did not arrive, for logs: the address, then what went wrong (the HTTP
    // status, a certificate that is not trusted, a host that cannot be reached, no answer in
    // time). Empty once it has arrived, and before its first try.
    QString detail;

    bool isValid() const { return sequence > 0; }
    // As JSON, for scripts: "sent" and "detail".
    QJsonObject toJson() const;
};

// Whether a release that failed on this computer before may be taken: only when a person asks for
// it again (the application's "try again").
enum class FailedReleasePolicy { Skip, Retry };

} // namespace vellumix

Q_DECLARE_METATYPE(vellumix::UpdateOutcome)
Q_DECLARE_METATYPE(vellumix::OutcomeReportStatus)
