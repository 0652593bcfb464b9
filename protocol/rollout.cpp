#include "rollout.h"
#include "updateprotocol.h"

#include <QJsonValue>
#include <QRegularExpression>
#include <QSet>
#include <QUrlQuery>

namespace vellumix::protocol {

namespace {

const QString kChannelKey = QStringLiteral("channel");
const QString kSequenceKey = QStringLiteral("sequence");
const QString kOutcomeKey = QStringLiteral("outcome");
const QString kReasonKey = QStringLiteral("reason");
const QString kInstallationKey = QStringLiteral("installation");

std::optional<ReportedOutcome> outcomeNamed(const QString &name)
{
    for (ReportedOutcome outcome :
         {ReportedOutcome::Confirmed, ReportedOutcome::RolledBack, ReportedOutcome::Recovered}) {
        if (reportedOutcomeName(outcome) == name)
            return outcome;
    }
    return std::nullopt;
}

bool isDigest(const QString &text)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-f]{64}")));
    return pattern.match(text).hasMatch();
}

// A whole JSON number from `low` to `high`, or nothing.
std::optional<qint64> wholeNumber(const QJsonValue &value, qint64 low, qint64 high)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number != double(qint64(number)) || number < low || number > high)
        return std::nullopt;
    return qint64(number);
}

} // namespace

bool isReportsUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && url.scheme() == u"https" && !url.host().isEmpty()
        && url.userInfo().isEmpty() && !url.hasFragment();
}

RolloutMembers readRolloutMembers(const QJsonObject &payload, qint32 sequence)
{
    RolloutMembers members;
    const QJsonValue rollout = payload.value(kPayloadRolloutMember);
    if (!rollout.isUndefined()) {
        const auto percent = wholeNumber(rollout.toObject().value(kRolloutPercentMember), 0, 100);
        if (!rollout.isObject() || !percent)
            throw QStringLiteral("its \"%1\" is not {\"%2\": 0 to 100}")
                .arg(kPayloadRolloutMember, kRolloutPercentMember);
        members.rolloutPercent = int(*percent);
    }
    const QJsonValue critical = payload.value(kPayloadCriticalMember);
    if (!critical.isUndefined() && !critical.isBool())
        throw QStringLiteral("its \"%1\" is not true or false").arg(kPayloadCriticalMember);
    members.critical = critical.toBool(false);
    const QJsonValue fallback = payload.value(kPayloadFallbackMember);
    if (!fallback.isUndefined()) {
        const QJsonObject object = fallback.toObject();
        const auto earlier =
            wholeNumber(object.value(kFallbackSequenceMember), 1, qint64(sequence) - 1);
        const QString digest = object.value(kFallbackSha256Member).toString();
        if (!fallback.isObject() || !earlier || !isDigest(digest))
            throw QStringLiteral("its \"%1\" does not name an earlier sequence and the SHA-256 "
                                 "of its history file")
                .arg(kPayloadFallbackMember);
        members.fallback = FallbackRelease{qint32(*earlier), digest.toLatin1()};
    }
    const QJsonValue reports = payload.value(kPayloadReportsMember);
    if (!reports.isUndefined()) {
        members.reports = reports.toString();
        if (!reports.isString() || !isReportsUrl(members.reports))
            throw QStringLiteral("its \"%1\" is not an https URL").arg(kPayloadReportsMember);
    }
    return members;
}

QString reportedOutcomeName(ReportedOutcome outcome)
{
    switch (outcome) {
    case ReportedOutcome::Confirmed:
        return QStringLiteral("confirmed");
    case ReportedOutcome::RolledBack:
        return QStringLiteral("rolled-back");
    case ReportedOutcome::Recovered:
        return QStringLiteral("recovered");
    }
    return {};
}

QUrl outcomeReportUrl(const QUrl &reports, const OutcomeReport &report)
{
    QUrlQuery query(reports);
    query.addQueryItem(kChannelKey, report.channel);
    query.addQueryItem(kSequenceKey, QString::number(report.sequence));
    query.addQueryItem(kOutcomeKey, reportedOutcomeName(report.outcome));
    if (report.failed() && !report.reason.isEmpty())
        query.addQueryItem(kReasonKey, report.reason);
    query.addQueryItem(kInstallationKey, report.installation);
    QUrl url = reports;
    url.setQuery(query);
    return url;
}

std::optional<OutcomeReport> parseOutcomeReport(QStringView requestTarget)
{
    const qsizetype mark = requestTarget.indexOf(u'?');
    if (mark < 0)
        return std::nullopt;
    const QUrlQuery query(requestTarget.mid(mark + 1).toString());
    // A key given twice makes the report ambiguous: it is not counted.
    QSet<QString> seen;
    for (const auto &item : query.queryItems()) {
        if (seen.contains(item.first))
            return std::nullopt;
        seen.insert(item.first);
    }
    const auto value = [&query](const QString &key) {
        return query.queryItemValue(key, QUrl::FullyDecoded);
    };

    OutcomeReport report;
    report.channel = value(kChannelKey);
    if (!isValidChannelName(report.channel))
        return std::nullopt;
    static const QRegularExpression sequencePattern(QStringLiteral("\\A[1-9][0-9]{0,9}\\z"));
    const QString sequence = value(kSequenceKey);
    bool isNumber = false;
    const qint64 number = sequence.toLongLong(&isNumber);
    if (!sequencePattern.match(sequence).hasMatch() || !isNumber || number > 0x7fffffff)
        return std::nullopt;
    report.sequence = qint32(number);
    const auto outcome = outcomeNamed(value(kOutcomeKey));
    if (!outcome)
        return std::nullopt;
    report.outcome = *outcome;
    static const QRegularExpression reasonPattern(QStringLiteral("\\A[a-z][a-z-]{0,39}\\z"));
    report.reason = value(kReasonKey);
    if (!report.reason.isEmpty() && (!report.failed() || !reasonPattern.match(report.reason).hasMatch()))
        return std::nullopt;
    static const QRegularExpression installationPattern(QStringLiteral("\\A[0-9a-f]{32}\\z"));
    report.installation = value(kInstallationKey);
    if (!installationPattern.match(report.installation).hasMatch())
        return std::nullopt;
    return report;
}

} // namespace vellumix::protocol
