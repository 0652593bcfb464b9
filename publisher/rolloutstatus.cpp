#include "rolloutstatus.h"
#include "publishtexts.h"

#include "rollout.h"

#include <QFile>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

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

// The time of a "combined" log line, "[09/Dec/2026:10:00:00 +0000]", in seconds since the epoch;
// nothing when the line has none.
std::optional<qint64> logTimeOf(QStringView line)
{
    const qsizetype open = line.indexOf(u'[');
    if (open < 0 || line.size() < open + 28 || line.at(open + 27) != u']')
        return std::nullopt;
    static const QStringList months{
        QStringLiteral("Jan"), QStringLiteral("Feb"), QStringLiteral("Mar"), QStringLiteral("Apr"),
        QStringLiteral("May"), QStringLiteral("Jun"), QStringLiteral("Jul"), QStringLiteral("Aug"),
        QStringLiteral("Sep"), QStringLiteral("Oct"), QStringLiteral("Nov"), QStringLiteral("Dec")};
    const QStringView text = line.mid(open + 1, 26); // 09/Dec/2026:10:00:00 +0000
    auto digits = [&](qsizetype at, qsizetype count) -> int {
        int value = 0;
        for (qsizetype i = at; i < at + count; ++i) {
            const char16_t c = text.at(i).unicode();
            if (c < u'0' || c > u'9')
                return -1;
            value = value * 10 + (c - u'0');
        }
        return value;
    };
    const int day = digits(0, 2), year = digits(7, 4), hour = digits(12, 2),
              minute = digits(15, 2), second = digits(18, 2), offset = digits(22, 4);
    const int month = int(months.indexOf(text.mid(3, 3).toString())) + 1;
    if (day < 1 || month < 1 || year < 0 || hour < 0 || minute < 0 || second < 0 || offset < 0
        || text.at(2) != u'/' || text.at(6) != u'/' || text.at(11) != u':'
        || (text.at(21) != u'+' && text.at(21) != u'-'))
        return std::nullopt;
    const QDate date(year, month, day);
    if (!date.isValid() || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    constexpr qint64 kJulianDayOfTheEpoch = 2440588; // 1970-01-01
    const qint64 local = (date.toJulianDay() - kJulianDayOfTheEpoch) * 86400 + hour * 3600
        + minute * 60 + second;
    const qint64 east = (offset / 100) * 3600 + (offset % 100) * 60;
    return text.at(21) == u'+' ? local - east : local + east;
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

std::optional<quint64> clientNetworkOf(const char *address, qsizetype size)
{
    constexpr quint64 kIPv4 = quint64(1) << 56;
    constexpr quint64 kIPv6 = quint64(2) << 56;
    // A dotted quad: its first three numbers.
    auto ipv4 = [](const char *text, qsizetype length) -> std::optional<quint32> {
        quint32 value = 0;
        int parts = 0;
        qsizetype i = 0;
        while (parts < 4) {
            int number = 0, digits = 0;
            while (i < length && text[i] >= '0' && text[i] <= '9' && digits < 4) {
                number = number * 10 + (text[i] - '0');
                ++i;
                ++digits;
            }
            if (digits == 0 || digits > 3 || number > 255)
                return std::nullopt;
            value = (value << 8) | quint32(number);
            if (++parts < 4) {
                if (i >= length || text[i] != '.')
                    return std::nullopt;
                ++i;
            }
        }
        if (i != length)
            return std::nullopt;
        return value;
    };
    if (const auto v4 = ipv4(address, size))
        return kIPv4 | (*v4 >> 8);

    // IPv6: up to eight groups of 1 to 4 hex digits, one "::" for a run of zero groups, the last
    // two groups possibly written as a dotted quad.
    quint16 groups[8] = {};
    int count = 0;
    int gap = -1; // where "::" stands, in groups
    qsizetype i = 0;
    if (size >= 2 && address[0] == ':' && address[1] == ':') {
        gap = 0;
        i = 2;
    } else if (size >= 1 && address[0] == ':') {
        return std::nullopt;
    }
    while (i < size) {
        if (count == 8)
            return std::nullopt;
        qsizetype end = i;
        while (end < size && address[end] != ':')
            ++end;
        const qsizetype length = end - i;
        if (end == size && count <= 6 && std::memchr(address + i, '.', size_t(length))) {
            const auto v4 = ipv4(address + i, length);
            if (!v4)
                return std::nullopt;
            groups[count++] = quint16(*v4 >> 16);
            groups[count++] = quint16(*v4);
            i = end;
            break;
        }
        if (length < 1 || length > 4)
            return std::nullopt;
        quint16 group = 0;
        for (qsizetype j = i; j < end; ++j) {
            const char c = address[j];
            const int digit = c >= '0' && c <= '9' ? c - '0'
                : c >= 'a' && c <= 'f'             ? c - 'a' + 10
                : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                                   : -1;
            if (digit < 0)
                return std::nullopt;
            group = quint16((group << 4) | digit);
        }
        groups[count++] = group;
        i = end;
        if (i == size)
            break;
        ++i; // the colon
        if (i < size && address[i] == ':') {
            if (gap >= 0)
                return std::nullopt;
            gap = count;
            ++i;
        } else if (i == size) {
            return std::nullopt; // a single colon at the end
        }
    }
    if (gap < 0 ? count != 8 : count > 7)
        return std::nullopt;
    if (gap >= 0) {
        const int moved = count - gap;
        for (int k = 0; k < moved; ++k)
            groups[7 - k] = groups[count - 1 - k];
        for (int k = gap; k < 8 - moved; ++k)
            groups[k] = 0;
    }
    // An IPv4 address mapped into IPv6 is the IPv4 network it names.
    if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0
        && groups[5] == 0xffff)
        return kIPv4 | (quint64(groups[6]) << 8) | (groups[7] >> 8);
    return kIPv6 | (quint64(groups[0]) << 32) | (quint64(groups[1]) << 16) | groups[2];
}

void ReportTally::count(Release &release, const QString &installation, quint64 network, int outcome)
{
    const auto known = release.installations.find(installation);
    if (known != release.installations.end()) {
        known->outcome = mergedOutcome(known->outcome, ReportedOutcome(outcome));
        if (ReportedOutcome(known->outcome) != ReportedOutcome::Confirmed)
            release.networks[known->network].failed = true;
        return;
    }
    // One network counts so many installations, whoever made up the others.
    NetworkCount &counted = release.networks[network];
    if (counted.installations >= m_perNetwork)
        return;
    ++counted.installations;
    counted.failed = counted.failed || ReportedOutcome(outcome) != ReportedOutcome::Confirmed;
    release.installations.insert(installation, Counted{network, outcome});
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
    if (const auto after = m_after.constFind(report->sequence); after != m_after.cend()) {
        // Logged in the second the step began or earlier: evidence of the step before.
        const std::optional<qint64> time = logTimeOf(line);
        if (!time || *time <= *after)
            return;
    }
    // A report whose sender's network is not known cannot be weighed against the others.
    const qsizetype space = line.indexOf(u' ');
    const QByteArray address = line.left(space < 0 ? 0 : space).toLatin1();
    const std::optional<quint64> network = clientNetworkOf(address.constData(), address.size());
    if (!network)
        return;
    count(m_releases[report->sequence], report->installation, *network, int(report->outcome));
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

void ReportTally::countAfter(qint32 sequence, const QDateTime &since)
{
    m_after.insert(sequence, since.toSecsSinceEpoch());
}

ReleaseReports ReportTally::release(qint32 sequence) const
{
    ReleaseReports counts;
    counts.sequence = sequence;
    const auto found = m_releases.constFind(sequence);
    if (found == m_releases.cend())
        return counts;
    counts.networks = int(found->networks.size());
    for (const NetworkCount &network : found->networks)
        counts.failedNetworks += network.failed ? 1 : 0;
    for (const Counted &installation : found->installations) {
        switch (ReportedOutcome(installation.outcome)) {
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
    for (auto it = m_releases.cbegin(); it != m_releases.cend(); ++it)
        all.append(release(it.key()));
    return all;
}

RolloutDecision decideRolloutStep(int percent, const QList<int> &schedule,
                                  const ReleaseReports &reports, double maxFailureRate,
                                  int minReports, int minFailures)
{
    const RateInterval interval = wilsonInterval(reports.failures(), reports.reports());
    const QString figures =
        Texts::tr("%1 of %2 reports failed, from %3 of %4 networks (%5, 95% interval %6 to %7; "
                  "limit %8)")
            .arg(reports.failures())
            .arg(reports.reports())
            .arg(reports.failedNetworks)
            .arg(reports.networks)
            .arg(percentText(reports.failureRate()), percentText(interval.lower),
                 percentText(interval.upper), percentText(maxFailureRate));
    if (percent == 0)
        return {RolloutMove::Hold, 0, Texts::tr("the rollout is halted; only \"rollout --percent\" resumes it")};
    /*
        A halt takes more than the interval: a few failed installations, from more than one
        network. One forged report would otherwise stop any young rollout, whose interval is wide.
    */
    if (reports.reports() > 0 && interval.lower > maxFailureRate) {
        if (reports.failures() >= minFailures && reports.failedNetworks >= 2)
            return {RolloutMove::Halt, 0, Texts::tr("halted: ") + figures};
        return {RolloutMove::Hold, percent,
                Texts::tr("holding at %1%: a halt needs %2 failed installations from at least 2 "
                          "networks: ")
                        .arg(percent)
                        .arg(minFailures)
                    + figures};
    }
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
