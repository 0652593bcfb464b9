// A release's rollout, as the release tool signs it and the client reads it, and the outcome report
// an installation sends when its application has turned reports on. The report's address is what a
// web server's access log keeps, so the release tool reads the reports back from that log: the two
// sides agree on it here.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringView>
#include <QUrl>

#include <optional>

namespace vellumix::protocol {

// --- Payload members of a rollout (the updater ignores them) -----------------------------------
//   "rollout"   {"percent": N}, 0 to 100: the share of installations that take the release; 0 halts
//               it (no installation takes it, not even on an explicit check). Absent: 100. The
//               release tool adds "since": "2027-01-07T12:00:00Z" when it signs a new percentage,
//               the time that step began (its evidence is the reports logged after it); clients
//               ignore it.
//   "critical"  true: every installation takes it while the percentage is above 0
//   "fallback"  {"sequence": N, "sha256": "<hex>"}: the channel's previous release, whose history
//               file "<channel>/releases/<N>.json" has that SHA-256; offered to installations outside
//               the rollout that are older than it
//   "reports"   an https URL that receives one GET per update outcome (only from applications that
//               turned reports on)
inline const QString kPayloadRolloutMember = QStringLiteral("rollout");
inline const QString kRolloutPercentMember = QStringLiteral("percent");
inline const QString kRolloutSinceMember = QStringLiteral("since");
inline const QString kPayloadCriticalMember = QStringLiteral("critical");
inline const QString kPayloadFallbackMember = QStringLiteral("fallback");
inline const QString kFallbackSequenceMember = QStringLiteral("sequence");
inline const QString kFallbackSha256Member = QStringLiteral("sha256");
inline const QString kPayloadReportsMember = QStringLiteral("reports");

// The channel's earlier release that installations outside a rollout are offered meanwhile: its
// sequence and the SHA-256 of its history file, FEED/<channel>/releases/<sequence>.json.
struct FallbackRelease
{
    qint32 sequence = 0;
    QByteArray historySha256; // 64 lower-case hex digits

    friend bool operator==(const FallbackRelease &, const FallbackRelease &) = default;
};

struct RolloutMembers
{
    std::optional<int> rolloutPercent; // none: offered to every installation
    bool critical = false;             // offered to every installation at any percentage above 0
    std::optional<FallbackRelease> fallback;
    QString reports;                   // an https URL for outcome reports; empty: none

    int percent() const { return rolloutPercent.value_or(100); }
};

// True for an https URL with a host, without user information or a fragment: an address fit to
// receive outcome reports.
bool isReportsUrl(const QString &text);

// The members above from a verified payload of release `sequence`. Throws a text that names the
// member at fault ("its \"rollout\" is not ..."); members it does not know are left alone.
RolloutMembers readRolloutMembers(const QJsonObject &payload, qint32 sequence);

// --- An outcome report ---------------------------------------------------------------------------
// GET <reports>?channel=<name>&sequence=<N>&outcome=<name>[&reason=<name>]&installation=<hex>
// Nothing else travels: no version text, no path, no user or machine name. "installation" is a
// one-way hash of the installation's random id, so reports of one installation can be counted once
// without telling who sent them.
enum class ReportedOutcome { Confirmed, RolledBack, Recovered };

struct OutcomeReport
{
    QString channel;
    qint32 sequence = 0;
    ReportedOutcome outcome = ReportedOutcome::Confirmed;
    QString reason;       // why it failed, in the client's reason names; empty when confirmed
    QString installation; // 32 lower-case hex digits

    bool failed() const { return outcome != ReportedOutcome::Confirmed; }
};

// "confirmed", "rolled-back", "recovered".
QString reportedOutcomeName(ReportedOutcome outcome);
// The address to GET for `report` under the signed `reports` URL (its own query is kept).
QUrl outcomeReportUrl(const QUrl &reports, const OutcomeReport &report);
// The report in a request target as a web server logs it ("/path?channel=...&..."); nothing when
// the target is not a well-formed report.
std::optional<OutcomeReport> parseOutcomeReport(QStringView requestTarget);

} // namespace vellumix::protocol
