#include "rolloutstatus.h"
#include "publishtexts.h"

#include "rollout.h"

#include <QFile>

#include <cmath>
#include <cstdio>

namespace vellumix::publish {

namespace {

using protocol::ReportedOutcome;

// The z of a two-sided 95 % interval.
constexpr double kZ95 = 1.959963984540054;

// The request target of a "combined" log line: the second word of the first quoted field, when the
// request is a GET. nginx writes a quote inside a field as \x22, so the first quote after the
// opening one ends the field.
QStringView requestTargetOf(QStringView line)
{
    const qsizetype open = line.indexOf(u'"');
    if (open < 0)
        return {};
    const qsizetype close = line.indexOf(u'"', open + 1);
    if (close < 0)
        return {};
    const QStringView request = line.mid(open + 1, close - open - 1);
    if (!request.startsWith(u"GET "))
        return {};
    const QStringView rest = request.mid(4);
    const qsizetype space = rest.indexOf(u' ');
    return space < 0 ? rest : rest.left(space);
}

// Which outcome an installation's reports for one release count as: a failure wins over a
// confirmation (a release that failed there failed), and the first failure named stays.
int mergedOutcome(int counted, ReportedOutcome reported)
{
    if (counted < 0 || ReportedOutcome(counted) == ReportedOutcome::Confirmed)
        return int(reported);
    return counted;
}

QString percentText(double rate)
{
    return QString::number(rate * 100.0, 'f', 1) + u'%';
}

} // namespace

RateInterval wilsonInterval(int failures, int reports)
{
    if (reports <= 0)
        return {};
    const double n = reports;
    const double p = double(failures) / n;
    const double z2 = kZ95 * kZ95;
    const double denominator = 1.0 + z2 / n;
    const double centre = (p + z2 / (2.0 * n)) / denominator;
    const double half = kZ95 * std::sqrt(p * (1.0 - p) / n + z2 / (4.0 * n * n)) / denominator;
    return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

void ReportTally::addLogLine(QStringView line)
{
    ++m_lines;
    const QStringView target = requestTargetOf(line);
    if (target.isEmpty())
        return;
    const auto report = protocol::parseOutcomeReport(target);
    if (!report || report->channel != m_channel)
        return;
    ++m_reportLines;
    auto &installations = m_outcomes[report->sequence];
    installations[report->installation] =
        mergedOutcome(installations.value(report->installation, -1), report->outcome);
}

void ReportTally::addLogFile(const QString &path)
{
    QFile file;
    const bool opened = path == u"-" ? file.open(stdin, QIODevice::ReadOnly)
                                     : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened)
        throw Texts::tr("cannot read the access log %1: %2").arg(path, file.errorString());
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(64 * 1024);
        if (line.isEmpty() && file.error() != QFileDevice::NoError)
            throw Texts::tr("cannot read the access log %1: %2").arg(path, file.errorString());
        addLogLine(QString::fromUtf8(line));
    }
}

ReleaseReports ReportTally::release(qint32 sequence) const
{
    ReleaseReports counts;
    counts.sequence = sequence;
    for (int outcome : m_outcomes.value(sequence)) {
        switch (ReportedOutcome(outcome)) {
        case ReportedOutcome::Confirmed:
            ++counts.confirmed;
            break;
        case ReportedOutcome::RolledBack:
            ++counts.rolledBack;
            break;
        case ReportedOutcome::Recovered:
            ++counts.recovered;
            break;
        }
    }
    return counts;
}

QList<ReleaseReports> ReportTally::releases() const
{
    QList<ReleaseReports> all;
    for (auto it = m_outcomes.cbegin(); it != m_outcomes.cend(); ++it)
        all.append(release(it.key()));
    return all;
}

RolloutDecision decideRolloutStep(int percent, const QList<int> &schedule,
                                  const ReleaseReports &reports, double maxFailureRate,
                                  int minReports)
{
    const RateInterval interval = wilsonInterval(reports.failures(), reports.reports());
    const QString figures =
        Texts::tr("%1 of %2 reports failed (%3, 95% interval %4 to %5; limit %6)")
            .arg(reports.failures())
            .arg(reports.reports())
            .arg(percentText(reports.failureRate()), percentText(interval.lower),
                 percentText(interval.upper), percentText(maxFailureRate));
    if (percent == 0)
        return {RolloutMove::Hold, 0, Texts::tr("the rollout is halted; only \"rollout --percent\" resumes it")};
    if (reports.reports() > 0 && interval.lower > maxFailureRate)
        return {RolloutMove::Halt, 0, Texts::tr("halted: ") + figures};
    if (percent >= 100)
        return {RolloutMove::Hold, percent, Texts::tr("fully rolled out: ") + figures};
    int next = -1;
    for (int step : schedule) {
        if (step > percent && (next < 0 || step < next))
            next = step;
    }
    if (next < 0)
        return {RolloutMove::Hold, percent,
                Texts::tr("the schedule has no step above %1%").arg(percent)};
    if (reports.reports() < minReports)
        return {RolloutMove::Hold, percent,
                Texts::tr("waiting for %1 reports: ").arg(minReports) + figures};
    if (interval.upper < maxFailureRate)
        return {RolloutMove::Advance, next,
                Texts::tr("advanced from %1% to %2%: ").arg(percent).arg(next) + figures};
    return {RolloutMove::Hold, percent, Texts::tr("holding at %1%: ").arg(percent) + figures};
}

} // namespace vellumix::publish
