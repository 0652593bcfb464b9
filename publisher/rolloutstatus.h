// How a rollout fares, from the outcome reports that a web server's access log kept, and the rule
// that moves a rollout on to its next step or halts it.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include "rollout.h"

#include <functional>
#include <optional>

namespace vellumix::publish {

/*
    Reports are anonymous requests whose installation id the sender picks, so one sender could
    make up any number of installations. Installations are therefore counted per client network
    (the log line's address: IPv4 /24, IPv6 /48), at most so many of one network, and a halt needs
    failed installations from more than one network.
*/
inline constexpr int kDefaultPerNetwork = 5;
inline constexpr int kDefaultMinFailures = 3;
inline constexpr int kDefaultMinReports = 20;

// The reports of one release: one per installation counted (an installation that sent several for
// the same release counts once, with its failure if it reported one).
struct ReleaseReports
{
    qint32 sequence = 0;
    int confirmed = 0;
    int rolledBack = 0;
    int recovered = 0;
    int networks = 0;       // the client networks the installations counted came from
    int failedNetworks = 0; // of them, those with a failed installation

    int reports() const { return confirmed + rolledBack + recovered; }
    // Rolled back and recovered both mean the release failed on that installation.
    int failures() const { return rolledBack + recovered; }
    double failureRate() const { return reports() ? double(failures()) / reports() : 0.0; }
};

// A 95 % Wilson score interval of a failure rate: unlike the plain rate it stays honest with few
// reports (one failure in one report is [0.21, 1], not 1).
struct RateInterval
{
    double lower = 0.0;
    double upper = 1.0;
};
RateInterval wilsonInterval(int failures, int reports);

/*
    The reports of one channel, counted from a web server's access log, line by line:

    - nginx's "combined" format (and Apache's): the client's address first, the time in brackets
      "[09/Dec/2026:10:00:00 +0000]", the request line in quotes, "GET <reports path>?channel=...
      &... HTTP/1.1";
    - the W3C extended format that CDNs write, found by its "#Fields:" header line, which names
      the fields of the lines below it (separated by tabs, or by spaces): "c-ip", "date" and "time"
      (UTC), "cs-uri-query" (the query alone), and "cs-method" when present.

    A file may be compressed with gzip (found by its content, not its name). Memory grows with the
    installations counted, never with the lines read: an installation beyond its network's share is
    not stored.
*/
class ReportTally
{
public:
    // At most `perNetwork` installations of one client network count for a release.
    explicit ReportTally(QString channel, int perNetwork = kDefaultPerNetwork);

    // From now on, only the reports of release `sequence` logged after `since` (a step's start)
    // count for it: the evidence of the steps before it never counts again.
    void countAfter(qint32 sequence, const QDateTime &since);

    // One line, without its line end (a "#Fields:" line changes the format of the lines after it).
    void addLogLine(QStringView line);
    void addLogLine(const char *line, qsizetype size);
    // Every line of `path` ("-": standard input), plain or gzip; throws a QString when it cannot
    // be read. Each file starts in the "combined" format.
    void addLogFile(const QString &path);

    QList<ReleaseReports> releases() const; // by sequence, oldest first
    ReleaseReports release(qint32 sequence) const;
    qint64 linesRead() const { return m_lines; }
    qint64 reportLines() const { return m_reportLines; } // of this channel, repeats included

    // 32 hex digits as two numbers.
    struct InstallationKey
    {
        quint64 high = 0;
        quint64 low = 0;
        friend bool operator==(const InstallationKey &, const InstallationKey &) = default;
    };

private:
    struct Counted
    {
        quint64 network = 0; // the network it is counted under
        int outcome = 0;     // a ReportedOutcome
    };
    struct NetworkCount
    {
        int installations = 0;
        bool failed = false; // one of them failed
    };
    struct Release
    {
        QHash<InstallationKey, Counted> installations;
        QHash<quint64, NetworkCount> networks;
        std::optional<qint64> after; // the step's start, seconds since the epoch
    };
    // Where a W3C log's fields stand (-1: absent).
    struct W3cFields
    {
        int address = -1, date = -1, time = -1, query = -1, method = -1;
    };
    // The time of a line as it stands there, read only when a report needs it: "combined"'s
    // "09/Dec/2026:10:00:00 +0000", or W3C's date "2026-12-09" and time "10:00:00".
    struct LineTime
    {
        const char *text = nullptr;
        qsizetype size = 0;
        const char *clock = nullptr; // W3C's time; null for "combined"
        qsizetype clockSize = 0;
    };
    void addW3cHeader(const char *line, qsizetype size);
    void addW3cLine(const char *line, qsizetype size);
    // A request target's query of a line: counted when it is a report of the channel.
    void addQuery(const char *query, qsizetype size, const char *address, qsizetype addressSize,
                  const LineTime &time);
    Release &releaseFor(qint32 sequence);
    void count(Release &release, const InstallationKey &installation, quint64 network, int outcome);

    QString m_channel;
    QByteArray m_channelBytes;
    int m_perNetwork = kDefaultPerNetwork;
    QMap<qint32, Release> m_releases; // by sequence
    std::optional<W3cFields> m_w3c; // the format of the lines to come, when it is W3C's
    qint64 m_lines = 0;
    qint64 m_reportLines = 0;
};

size_t qHash(const ReportTally::InstallationKey &key, size_t seed = 0) noexcept;

// The report in a request target's query ("channel=...&sequence=...&..."), read as
// protocol::parseOutcomeReport reads a whole target; nothing when it is not a well-formed report.
// Plain queries, as clients send them, are read without decoding; any other goes to that function.
std::optional<protocol::OutcomeReport> parseReportQuery(const char *query, qsizetype size);

enum class RolloutMove { Hold, Advance, Halt };

struct RolloutDecision
{
    RolloutMove move = RolloutMove::Hold;
    int percent = 0; // the percentage after the decision
    QString why;     // one line for the release engineer's log
};

// The step a rollout at `percent` takes on `reports`: it halts (0) once the lower end of the failure
// rate's interval is above `maxFailureRate` and at least `minFailures` installations from at least
// two networks failed; it advances to the next step of `schedule` once at least `minReports`
// reports put the upper end below `maxFailureRate`; otherwise it holds. A halted rollout (0) stays
// halted: only a person resumes it.
RolloutDecision decideRolloutStep(int percent, const QList<int> &schedule,
                                  const ReleaseReports &reports, double maxFailureRate,
                                  int minReports, int minFailures = kDefaultMinFailures);

// The step of `schedule` after `percent`; nothing when there is none (halted, or the last step).
std::optional<int> nextRolloutStep(int percent, const QList<int> &schedule);

// How many more installations counted, none of them failing, `reports` need before the advance
// rule moves the release on: at least `minReports` in all, and the interval's upper end below
// `maxFailureRate`. 0: it would move on now.
int installationsToAdvance(const ReleaseReports &reports, double maxFailureRate, int minReports);

// The client network of an address as a web server logs it ("192.0.2.7", "2001:db8::1",
// "::ffff:192.0.2.7"): its IPv4 /24 or IPv6 /48 as one number; nothing for anything else.
std::optional<quint64> clientNetworkOf(const char *address, qsizetype size);

} // namespace vellumix::publish
