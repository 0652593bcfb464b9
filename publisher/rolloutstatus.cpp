#include "rolloutstatus.h"
#include "publishtexts.h"

#include "rollout.h"

#include "descriptors.h"

#include <QFile>

#include <zlib.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

namespace vellumix::publish {

namespace {

using protocol::ReportedOutcome;

// The z of a two-sided 95 % interval.
constexpr double kZ95 = 1.959963984540054;

// A line longer than this is no report (a report's line is a few hundred bytes); it is read past.
constexpr qsizetype kMaxLineBytes = 64 * 1024;
// How much of a log is read at a time.
constexpr qsizetype kReadBytes = 1024 * 1024;

using Bytes = QByteArrayView;

bool startsWith(const char *text, qsizetype size, const char *prefix, qsizetype prefixSize)
{
    return size >= prefixSize && std::memcmp(text, prefix, size_t(prefixSize)) == 0;
}

bool equals(const char *text, qsizetype size, const char *other, qsizetype otherSize)
{
    return size == otherSize && std::memcmp(text, other, size_t(size)) == 0;
}

template<qsizetype N>
bool equals(const char *text, qsizetype size, const char (&literal)[N])
{
    return equals(text, size, literal, N - 1);
}

// A whole number of exactly `count` digits at `text`, or -1.
int digits(const char *text, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
qint64 daysFromCivil(qint64 year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const qint64 era = (year >= 0 ? year : year - 399) / 400;
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool validDate(int year, int month, int day)
{
    static const int lengths[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > lengths[month - 1])
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month != 2 || day <= 28 || leap;
}

std::optional<qint64> secondsOf(int year, int month, int day, int hour, int minute, int second)
{
    if (!validDate(year, month, day) || hour < 0 || hour > 23 || minute < 0 || minute > 59
        || second < 0 || second > 60)
        return std::nullopt;
    return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

// "combined": "09/Dec/2026:10:00:00 +0000", in seconds since the epoch.
std::optional<qint64> combinedTime(const char *text, qsizetype size)
{
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (size != 26 || text[2] != '/' || text[6] != '/' || text[11] != ':' || text[14] != ':'
        || text[17] != ':' || text[20] != ' ' || (text[21] != '+' && text[21] != '-'))
        return std::nullopt;
    int month = 0;
    for (int m = 0; m < 12 && month == 0; ++m) {
        if (std::memcmp(text + 3, months + 3 * m, 3) == 0)
            month = m + 1;
    }
    const int offset = digits(text + 22, 4);
    const std::optional<qint64> local = secondsOf(digits(text + 7, 4), month, digits(text, 2),
                                                  digits(text + 12, 2), digits(text + 15, 2),
                                                  digits(text + 18, 2));
    if (!local || offset < 0 || offset % 100 > 59)
        return std::nullopt;
    const qint64 east = (offset / 100) * 3600 + (offset % 100) * 60;
    return text[21] == '+' ? *local - east : *local + east;
}

// W3C: "2026-12-09" and "10:00:00" (maybe with a fraction of a second), UTC.
std::optional<qint64> w3cTime(const char *date, qsizetype dateSize, const char *clock,
                              qsizetype clockSize)
{
    if (dateSize != 10 || date[4] != '-' || date[7] != '-' || clockSize < 8 || clock[2] != ':'
        || clock[5] != ':' || (clockSize > 8 && clock[8] != '.'))
        return std::nullopt;
    return secondsOf(digits(date, 4), digits(date + 5, 2), digits(date + 8, 2), digits(clock, 2),
                     digits(clock + 3, 2), digits(clock + 6, 2));
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

int hexValue(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// 32 lower-case hex digits.
std::optional<ReportTally::InstallationKey> installationKeyOf(const char *text, qsizetype size)
{
    if (size != 32)
        return std::nullopt;
    ReportTally::InstallationKey key;
    for (int i = 0; i < 32; ++i) {
        const int value = hexValue(text[i]);
        if (value < 0)
            return std::nullopt;
        quint64 &half = i < 16 ? key.high : key.low;
        half = (half << 4) | quint64(value);
    }
    return key;
}

// A character a client's plain query holds: what needs no decoding and means the same in every
// reading of a query.
bool isPlain(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || (c >= 'A' && c <= 'Z')
        || c == '.' || c == '_' || c == '~';
}

// A report read from a query without building any text: what the tally needs of it.
struct RawReport
{
    const char *channel = nullptr;
    qsizetype channelSize = 0;
    qint32 sequence = 0;
    ReportedOutcome outcome = ReportedOutcome::Confirmed;
    const char *reason = nullptr;
    qsizetype reasonSize = 0;
    ReportTally::InstallationKey installation;
};

enum class QueryRead { Report, NotAReport, Unusual };

/*
    The fast reading of a query, for the queries clients send: every key and value plain
    characters, every item "key=value". Anything else (an escape, a "+", an item without "=", an
    empty item) is Unusual and goes to protocol::parseOutcomeReport, which decodes, so both
    readings agree on every report. A key given twice makes the report ambiguous: not counted.
*/
QueryRead readPlainQuery(const char *query, qsizetype size, RawReport &report)
{
    struct Value
    {
        const char *text = nullptr;
        qsizetype size = -1; // -1: absent
    };
    Value channel, sequence, outcome, reason, installation;
    // The keys this reading does not know (the reports address's own query): only their repeats
    // matter.
    constexpr int kOtherKeys = 8;
    Value others[kOtherKeys];
    int otherCount = 0;

    const char *end = query + size;
    for (const char *item = query; item <= end;) {
        const char *itemEnd = static_cast<const char *>(std::memchr(item, '&', size_t(end - item)));
        if (!itemEnd)
            itemEnd = end;
        const char *equal = item;
        while (equal < itemEnd && isPlain(*equal))
            ++equal;
        if (equal == item || equal == itemEnd || *equal != '=')
            return QueryRead::Unusual;
        const char *value = equal + 1;
        for (const char *c = value; c < itemEnd; ++c) {
            if (!isPlain(*c))
                return QueryRead::Unusual;
        }
        const qsizetype keySize = equal - item;
        Value *slot = nullptr;
        if (equals(item, keySize, "channel"))
            slot = &channel;
        else if (equals(item, keySize, "sequence"))
            slot = &sequence;
        else if (equals(item, keySize, "outcome"))
            slot = &outcome;
        else if (equals(item, keySize, "reason"))
            slot = &reason;
        else if (equals(item, keySize, "installation"))
            slot = &installation;
        if (slot) {
            if (slot->size >= 0)
                return QueryRead::NotAReport;
            *slot = {value, itemEnd - value};
        } else {
            for (int i = 0; i < otherCount; ++i) {
                if (equals(others[i].text, others[i].size, item, keySize))
                    return QueryRead::NotAReport;
            }
            if (otherCount == kOtherKeys)
                return QueryRead::Unusual;
            others[otherCount++] = {item, keySize};
        }
        item = itemEnd + 1;
    }

    // The channel rule: 1 to 32 of a-z, 0-9 and "-", not "blobs".
    if (channel.size < 1 || channel.size > 32 || equals(channel.text, channel.size, "blobs"))
        return QueryRead::NotAReport;
    for (qsizetype i = 0; i < channel.size; ++i) {
        const char c = channel.text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return QueryRead::NotAReport;
    }
    if (sequence.size < 1 || sequence.size > 10 || sequence.text[0] == '0')
        return QueryRead::NotAReport;
    qint64 number = 0;
    for (qsizetype i = 0; i < sequence.size; ++i) {
        if (sequence.text[i] < '0' || sequence.text[i] > '9')
            return QueryRead::NotAReport;
        number = number * 10 + (sequence.text[i] - '0');
    }
    if (number > 0x7fffffff)
        return QueryRead::NotAReport;
    if (equals(outcome.text, outcome.size, "confirmed"))
        report.outcome = ReportedOutcome::Confirmed;
    else if (equals(outcome.text, outcome.size, "rolled-back"))
        report.outcome = ReportedOutcome::RolledBack;
    else if (equals(outcome.text, outcome.size, "recovered"))
        report.outcome = ReportedOutcome::Recovered;
    else
        return QueryRead::NotAReport;
    if (reason.size > 0) {
        // A failure's reason: a-z first, then a-z and "-", 40 at most.
        if (report.outcome == ReportedOutcome::Confirmed || reason.size > 40 || reason.text[0] < 'a'
            || reason.text[0] > 'z')
            return QueryRead::NotAReport;
        for (qsizetype i = 1; i < reason.size; ++i) {
            const char c = reason.text[i];
            if (!((c >= 'a' && c <= 'z') || c == '-'))
                return QueryRead::NotAReport;
        }
        report.reason = reason.text;
        report.reasonSize = reason.size;
    }
    const auto key = installationKeyOf(installation.text, installation.size);
    if (!key)
        return QueryRead::NotAReport;
    report.channel = channel.text;
    report.channelSize = channel.size;
    report.sequence = qint32(number);
    report.installation = *key;
    return QueryRead::Report;
}

// The request target of a "combined" line's request field ("GET <target> HTTP/1.1"): empty
// unless the request is a GET.
Bytes getTargetOf(const char *request, qsizetype size)
{
    if (!startsWith(request, size, "GET ", 4))
        return {};
    const char *target = request + 4;
    const char *space = static_cast<const char *>(std::memchr(target, ' ', size_t(size - 4)));
    return Bytes(target, space ? space - target : size - 4);
}

// Reads a log through zlib, which passes a file that is not gzip through as it is.
class LogReader
{
public:
    LogReader(const QString &path) : m_path(path)
    {
        int descriptor = -1;
        if (path == u"-") {
            descriptor = os::duplicateDescriptor(0);
        } else {
            m_file.setFileName(path);
            if (!m_file.open(QIODevice::ReadOnly))
                throw Texts::tr("cannot read the access log %1: %2").arg(path, m_file.errorString());
            descriptor = os::duplicateDescriptor(m_file.handle());
        }
        if (descriptor < 0 || !(m_gz = gzdopen(descriptor, "rb"))) {
            if (descriptor >= 0)
                os::closeDescriptor(descriptor);
            throw Texts::tr("cannot read the access log %1").arg(path);
        }
        gzbuffer(m_gz, 256 * 1024);
    }
    ~LogReader()
    {
        if (m_gz)
            gzclose_r(m_gz);
    }
    LogReader(const LogReader &) = delete;
    LogReader &operator=(const LogReader &) = delete;

    // Up to `size` bytes into `into`; 0 at the end. Throws when the log cannot be read (a gzip
    // file cut short among them).
    qsizetype read(char *into, qsizetype size)
    {
        const int count = gzread(m_gz, into, unsigned(size));
        if (count < 0) {
            int code = Z_OK;
            const char *message = gzerror(m_gz, &code);
            throw Texts::tr("cannot read the access log %1: %2")
                .arg(m_path, QString::fromLocal8Bit(message));
        }
        if (count == 0) {
            // zlib reports a gzip stream that ends early only through its error state.
            int code = Z_OK;
            const char *message = gzerror(m_gz, &code);
            if (code != Z_OK)
                throw Texts::tr("cannot read the access log %1: %2")
                    .arg(m_path, QString::fromLocal8Bit(message));
        }
        return count;
    }

private:
    QString m_path;
    QFile m_file;
    gzFile m_gz = nullptr;
};

} // namespace

size_t qHash(const ReportTally::InstallationKey &key, size_t seed) noexcept
{
    return qHashMulti(seed, key.high, key.low);
}

std::optional<protocol::OutcomeReport> parseReportQuery(const char *query, qsizetype size)
{
    RawReport raw;
    switch (readPlainQuery(query, size, raw)) {
    case QueryRead::NotAReport:
        return std::nullopt;
    case QueryRead::Unusual:
        return protocol::parseOutcomeReport(QString(u'?' + QString::fromUtf8(query, size)));
    case QueryRead::Report:
        break;
    }
    protocol::OutcomeReport report;
    report.channel = QString::fromLatin1(raw.channel, raw.channelSize);
    report.sequence = raw.sequence;
    report.outcome = raw.outcome;
    report.reason = QString::fromLatin1(raw.reason, raw.reasonSize);
    report.installation = QStringLiteral("%1%2")
                              .arg(raw.installation.high, 16, 16, QLatin1Char('0'))
                              .arg(raw.installation.low, 16, 16, QLatin1Char('0'));
    return report;
}

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

ReportTally::ReportTally(QString channel, int perNetwork)
    : m_channel(std::move(channel)), m_channelBytes(m_channel.toUtf8()), m_perNetwork(perNetwork)
{
}

void ReportTally::countAfter(qint32 sequence, const QDateTime &since)
{
    releaseFor(sequence).after = since.toSecsSinceEpoch();
}

ReportTally::Release &ReportTally::releaseFor(qint32 sequence)
{
    return m_releases[sequence];
}

void ReportTally::count(Release &release, const InstallationKey &installation, quint64 network,
                        int outcome)
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

void ReportTally::addQuery(const char *query, qsizetype size, const char *address,
                           qsizetype addressSize, const LineTime &time)
{
    RawReport raw;
    QueryRead read = readPlainQuery(query, size, raw);
    std::optional<protocol::OutcomeReport> decoded;
    QByteArray decodedChannel;
    if (read == QueryRead::Unusual) {
        decoded = parseReportQuery(query, size);
        if (!decoded)
            return;
        decodedChannel = decoded->channel.toUtf8();
        const QByteArray reported = decoded->installation.toLatin1();
        raw.channel = decodedChannel.constData();
        raw.channelSize = decodedChannel.size();
        raw.sequence = decoded->sequence;
        raw.outcome = decoded->outcome;
        raw.installation = *installationKeyOf(reported.constData(), reported.size());
        read = QueryRead::Report;
    }
    if (read != QueryRead::Report
        || !equals(raw.channel, raw.channelSize, m_channelBytes.constData(), m_channelBytes.size()))
        return;
    ++m_reportLines;
    const auto known = m_releases.constFind(raw.sequence);
    if (known != m_releases.cend() && known->after) {
        // Logged in the second the step began or earlier: evidence of the step before.
        const std::optional<qint64> when = time.clock
            ? w3cTime(time.text, time.size, time.clock, time.clockSize)
            : combinedTime(time.text, time.size);
        if (!when || *when <= *known->after)
            return;
    }
    // A report whose sender's network is not known cannot be weighed against the others.
    const std::optional<quint64> network = clientNetworkOf(address, addressSize);
    if (!network)
        return;
    // Only a report that counts takes memory.
    count(releaseFor(raw.sequence), raw.installation, *network, int(raw.outcome));
}

void ReportTally::addLogLine(QStringView line)
{
    const QByteArray bytes = line.toUtf8();
    addLogLine(bytes.constData(), bytes.size());
}

void ReportTally::addLogLine(const char *line, qsizetype size)
{
    ++m_lines;
    if (size > 0 && line[size - 1] == '\r')
        --size;
    if (size > 0 && line[0] == '#') {
        if (startsWith(line, size, "#Fields:", 8))
            addW3cHeader(line + 8, size - 8);
        return;
    }
    if (m_w3c) {
        addW3cLine(line, size);
        return;
    }
    // combined: <address> <ident> <user> [<time>] "<request>" ...
    const char *end = line + size;
    const char *space = static_cast<const char *>(std::memchr(line, ' ', size_t(size)));
    if (!space)
        return;
    const char *quote = static_cast<const char *>(std::memchr(space, '"', size_t(end - space)));
    if (!quote)
        return;
    const char *request = quote + 1;
    const char *close = static_cast<const char *>(std::memchr(request, '"', size_t(end - request)));
    if (!close)
        return;
    const Bytes target = getTargetOf(request, close - request);
    if (target.isEmpty())
        return;
    const char *mark = static_cast<const char *>(std::memchr(target.data(), '?', size_t(target.size())));
    if (!mark)
        return;
    LineTime time;
    const char *open = static_cast<const char *>(std::memchr(space, '[', size_t(quote - space)));
    if (open) {
        const char *shut = static_cast<const char *>(std::memchr(open, ']', size_t(quote - open)));
        if (shut) {
            time.text = open + 1;
            time.size = shut - open - 1;
        }
    }
    addQuery(mark + 1, target.data() + target.size() - mark - 1, line, space - line, time);
}

void ReportTally::addW3cHeader(const char *fields, qsizetype size)
{
    W3cFields layout;
    int index = 0;
    const char *end = fields + size;
    for (const char *at = fields; at < end;) {
        while (at < end && (*at == ' ' || *at == '\t'))
            ++at;
        const char *name = at;
        while (at < end && *at != ' ' && *at != '\t')
            ++at;
        if (at == name)
            break;
        const qsizetype length = at - name;
        if (equals(name, length, "c-ip"))
            layout.address = index;
        else if (equals(name, length, "date"))
            layout.date = index;
        else if (equals(name, length, "time"))
            layout.time = index;
        else if (equals(name, length, "cs-uri-query"))
            layout.query = index;
        else if (equals(name, length, "cs-method"))
            layout.method = index;
        ++index;
    }
    m_w3c = layout;
}

void ReportTally::addW3cLine(const char *line, qsizetype size)
{
    const W3cFields &layout = *m_w3c;
    if (layout.query < 0)
        return;
    // Tab-separated as CDNs write it, or space-separated as the format first was.
    const char separator = std::memchr(line, '\t', size_t(size)) ? '\t' : ' ';
    Bytes address, date, clock, query, method;
    const char *end = line + size;
    int index = 0;
    for (const char *at = line; at <= end; ++index) {
        const char *next = static_cast<const char *>(std::memchr(at, separator, size_t(end - at)));
        if (!next)
            next = end;
        const Bytes field(at, next - at);
        if (index == layout.address)
            address = field;
        else if (index == layout.date)
            date = field;
        else if (index == layout.time)
            clock = field;
        else if (index == layout.query)
            query = field;
        else if (index == layout.method)
            method = field;
        at = next + 1;
    }
    if (query.isEmpty() || equals(query.data(), query.size(), "-")
        || (layout.method >= 0 && !equals(method.data(), method.size(), "GET")))
        return;
    LineTime time;
    if (layout.date >= 0 && layout.time >= 0) {
        time.text = date.data();
        time.size = date.size();
        time.clock = clock.data() ? clock.data() : "";
        time.clockSize = clock.size();
    }
    addQuery(query.data(), query.size(), address.data(), address.size(), time);
}

void ReportTally::addLogFile(const QString &path)
{
    LogReader reader(path);
    m_w3c.reset();
    QByteArray buffer(kReadBytes + kMaxLineBytes, Qt::Uninitialized);
    qsizetype held = 0;        // bytes of an unfinished line at the buffer's start
    bool overlong = false;     // reading past a line longer than kMaxLineBytes
    for (;;) {
        const qsizetype count = reader.read(buffer.data() + held, kReadBytes);
        if (count == 0)
            break;
        const char *at = buffer.constData();
        const char *end = at + held + count;
        for (;;) {
            const char *newline = static_cast<const char *>(std::memchr(at, '\n', size_t(end - at)));
            if (!newline)
                break;
            if (overlong) {
                ++m_lines; // one line, and no report
                overlong = false;
            } else {
                addLogLine(at, newline - at);
            }
            at = newline + 1;
        }
        held = end - at;
        if (held > kMaxLineBytes) {
            overlong = true;
            held = 0;
        } else if (held > 0) {
            std::memmove(buffer.data(), at, size_t(held));
        }
    }
    // The last line may have no line end.
    if (overlong)
        ++m_lines;
    else if (held > 0)
        addLogLine(buffer.constData(), held);
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
    const std::optional<int> following = nextRolloutStep(percent, schedule);
    if (!following)
        return {RolloutMove::Hold, percent,
                Texts::tr("the schedule has no step above %1%").arg(percent)};
    const int next = *following;
    if (reports.reports() < minReports)
        return {RolloutMove::Hold, percent,
                Texts::tr("waiting for %1 reports: ").arg(minReports) + figures};
    if (interval.upper < maxFailureRate)
        return {RolloutMove::Advance, next,
                Texts::tr("advanced from %1% to %2%: ").arg(percent).arg(next) + figures};
    return {RolloutMove::Hold, percent, Texts::tr("holding at %1%: ").arg(percent) + figures};
}

std::optional<int> nextRolloutStep(int percent, const QList<int> &schedule)
{
    if (percent <= 0 || percent >= 100)
        return std::nullopt;
    std::optional<int> next;
    for (int step : schedule) {
        if (step > percent && (!next || step < *next))
            next = step;
    }
    return next;
}

int installationsToAdvance(const ReleaseReports &reports, double maxFailureRate, int minReports)
{
    const int counted = reports.reports();
    const int failures = reports.failures();
    auto enough = [&](qint64 more) {
        const qint64 total = counted + more;
        return total >= minReports
            && wilsonInterval(failures, int(std::min<qint64>(total, INT_MAX))).upper < maxFailureRate;
    };
    // The upper end falls as confirmations come in, failures staying: the least is searched.
    qint64 low = 0, high = 1;
    while (!enough(high) && high < INT_MAX / 2)
        high *= 2;
    if (enough(0))
        return 0;
    while (high - low > 1) {
        const qint64 middle = (low + high) / 2;
        (enough(middle) ? high : low) = middle;
    }
    return int(high);
}

} // namespace vellumix::publish
