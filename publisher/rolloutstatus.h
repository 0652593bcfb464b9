// How a rollout fares, from the outcome reports that a web server's access log kept, and the rule
// that moves a rollout on to its next step or halts it.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

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

// The reports of one channel, counted from access-log lines in nginx's "combined" format (the
// request line is what matters: "GET <reports path>?channel=...&... HTTP/1.1", and the time
// "[09/Dec/2026:10:00:00 +0000]" when a step's start is set).
class ReportTally
{
public:
    // At most `perNetwork` installations of one client network count for a release.
    explicit ReportTally(QString channel, int perNetwork = kDefaultPerNetwork)
        : m_channel(std::move(channel)), m_perNetwork(perNetwork)
    {
    }

    // From now on, only the reports of release `sequence` logged after `since` (a step's start)
    // count for it: the evidence of the steps before it never counts again.
    void countAfter(qint32 sequence, const QDateTime &since);

    void addLogLine(QStringView line);
    // Every line of `path` ("-": standard input); throws a QString when it cannot be read.
    void addLogFile(const QString &path);

    QList<ReleaseReports> releases() const; // by sequence, oldest first
    ReleaseReports release(qint32 sequence) const;
    qint64 linesRead() const { return m_lines; }
    qint64 reportLines() const { return m_reportLines; } // of this channel, repeats included

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
        QHash<QString, Counted> installations;
        QHash<quint64, NetworkCount> networks;
    };
    void count(Release &release, const QString &installation, quint64 network, int outcome);

    QString m_channel;
    int m_perNetwork = kDefaultPerNetwork;
    QMap<qint32, Release> m_releases; // by sequence
    QHash<qint32, qint64> m_after; // sequence -> the step's start, seconds since the epoch
    qint64 m_lines = 0;
    qint64 m_reportLines = 0;
};

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

// The client network of an address as a web server logs it ("192.0.2.7", "2001:db8::1",
// "::ffff:192.0.2.7"): its IPv4 /24 or IPv6 /48 as one number; nothing for anything else.
std::optional<quint64> clientNetworkOf(const char *address, qsizetype size);

} // namespace vellumix::publish
