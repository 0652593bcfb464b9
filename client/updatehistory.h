// The application side's memory of the updates of one program root, across runs and versions:
// "update-history.json" in the root's work directory, beside the updater's journal.
//
//   handedOver   the release last handed to the updater (its stage, where it came from), until
//                the client has learned what became of it
//   recovery     the journal token of a recovery the client started, and the state it found
//   outcome      what became of the last update, whether the application has been told, and
//                whether it has been reported (when the application sends outcome reports)
//   failed       the releases that failed here: never taken again unless a person asks for it
//
// The updater never reads it; the client reads the updater's journal and health file to fill it.
// Everything in it is only the client's own bookkeeping: a record that is missing or damaged
// reads as empty, and nothing in it is trusted to name a folder that is then removed without the
// checks a stage folder gets.
#pragma once

#include <vellumix/updatefailure.h>
#include <vellumix/updateoutcome.h>

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace vellumix {

struct HandedOverRelease
{
    QString stage;             // absolute path of the staging directory
    QString feed;
    QString channel;
    qint32 sequence = 0;
    QString version;
    QByteArray manifestSha256;
    QDateTime time;
    QString previousToken;     // the journal's token when it was handed over
    QString reports;           // the release's signed address for outcome reports; empty: none

    bool isValid() const { return sequence > 0; }
};

struct UpdateHistory
{
    HandedOverRelease handedOver;
    QString recoveryToken;      // the journal token of a recovery the client started
    QString recoveryState;      // the journal state it found then
    UpdateOutcome outcome;
    QString outcomeToken;       // the journal token the outcome was read from
    bool outcomeFinal = false;  // false while only the probed start has seen it
    bool outcomeTold = false;   // the application has been told
    // Where the outcome is reported (the release's signed address; empty: nowhere), and whether
    // it has been: each outcome is reported once, if the application turned reports on.
    QString outcomeReports;
    bool outcomeReported = false;
    // Why the last report did not arrive (the address, then what went wrong), and the outcome (its
    // token) that report was for; both empty once a report of it has arrived.
    QString outcomeReportFailure;
    QString outcomeReportFailureToken;
    QList<UpdateOutcome> failed;
    // A release that the updater ended without taking, for a reason the client could not tell
    // (a refusal, or a transient ending it saw no sign of): how many hand-overs in a row ended so.
    // It counts as failed here at kNotTakenLimit.
    UpdateOutcome notTaken;
    int notTakenCount = 0;
    bool existed = false;       // read from a file (false: the client has kept nothing yet)
};

// How many hand-overs of one release in a row may end without it being taken, for a reason the
// client cannot tell, before the release counts as failed here.
inline constexpr int kNotTakenLimit = 3;

// The updater's journal as the client sees it: only what it needs, read leniently.
struct JournalView
{
    QString state;
    QString version;
    qint32 sequence = 0;
    QString token;
};

// The program root as an absolute path (empty: the folder of the running program), and its work
// directory.
QString programRootOrDefault(const QString &programRoot);
QString workDirectoryOf(const QString &programRoot);
// A JSON object from a small file of the client's own, read only when it is a regular file
// (never through a link, never waiting on a pipe); anything else reads as an empty object.
QJsonObject readRecordFile(const QString &path, qint64 maxBytes);
// The journal's members that the client goes by (journal.h reads them).
JournalView readJournalView(const QString &programRoot);

UpdateHistory readUpdateHistory(const QString &programRoot);
// Reads the record, lets `change` amend it and writes it back whole, under a lock shared by every
// process of the program root, so that two starts at once do not lose each other's changes.
UpdateFailure changeUpdateHistory(const QString &programRoot,
                                  const std::function<void(UpdateHistory &)> &change);

// The failed release that `channel`, `sequence` and `version` name, if it failed here. A release is
// named by what it was signed with, not by the feed it came from: a mirror serves the same release.
std::optional<UpdateOutcome> failedRelease(const UpdateHistory &history, const QString &channel,
                                           qint32 sequence, const QString &version);

/*
    Learns what became of the last update from the journal, the health file and, where the client
    waited for the updater, its exit code, and writes it down: the outcome, a failed release, the
    stage of an installed release removed. `updaterAtWork`: a live updater holds the program's
    lock (a release handed over to it is then not judged yet). Nothing happens while the journal
    names an update unfinished: the recovery comes first.
*/
void settleLastUpdate(UpdateHistory &history, const QString &programRoot,
                      std::optional<int> updaterExitCode, bool updaterAtWork);

// The feed as it is recorded: never with user information.
QString feedIdentity(const QUrl &feed);
// Where a stage's release came from: the download notes its feed in the stage, and the hand-over
// reads it from there (empty when the stage was filled another way).
void writeStageOrigin(const QString &stage, const QUrl &feed);
QString stageOrigin(const QString &stage);

} // namespace vellumix
