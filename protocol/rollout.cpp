#include "rollout.h"
#include "updateprotocol.h"

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

} // namespace

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
