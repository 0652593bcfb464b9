#include "outcomereport.h"

#include "httpfeedsource.h"
#include "updateprotocol.h"
#include "rolloutcohort.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

Q_DECLARE_LOGGING_CATEGORY(lcFetch)

namespace vellumix {

std::optional<protocol::OutcomeReport> owedReport(const UpdateHistory &history,
                                                  const QString &installation)
{
    if (!history.outcomeFinal || history.outcomeReported || history.outcome.sequence <= 0
        || !protocol::isReportsUrl(history.outcomeReports) || installation.isEmpty())
        return std::nullopt;
    protocol::OutcomeReport report;
    switch (history.outcome.result) {
    case UpdateResult::Installed:
        report.outcome = protocol::ReportedOutcome::Confirmed;
        break;
    case UpdateResult::RolledBack:
        report.outcome = protocol::ReportedOutcome::RolledBack;
        break;
    case UpdateResult::Recovered:
        report.outcome = protocol::ReportedOutcome::Recovered;
        break;
    default:
        return std::nullopt;
    }
    report.channel = history.outcome.channel.isEmpty() ? protocol::kDefaultChannel
                                                       : history.outcome.channel;
    report.sequence = history.outcome.sequence;
    if (report.failed())
        report.reason = history.outcome.reasonName();
    report.installation = reportedInstallation(installation);
    return report;
}

OutcomeReporter::OutcomeReporter(const UpdateClientSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (m_reply)
            m_reply->abort(); // finished() follows from the reply
    });
}

bool OutcomeReporter::start(int timeoutMs)
{
    if (!m_settings.sendOutcomeReports || m_reply)
        return false;
    const UpdateHistory history = readUpdateHistory(m_settings.programRoot);
    // The id is drawn only for a report that is owed: most checks have none.
    if (!history.outcomeFinal || history.outcomeReported || history.outcomeReports.isEmpty())
        return false;
    const std::optional<protocol::OutcomeReport> report =
        owedReport(history, installationId(m_settings.programRoot));
    if (!report)
        return false;
    if (!m_network)
        m_network = makeClientNetwork(m_settings, this);
    QNetworkRequest request(protocol::outcomeReportUrl(QUrl(history.outcomeReports), *report));
    request.setSslConfiguration(clientTlsConfiguration(m_settings));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    // The signed address only: a redirect elsewhere is not followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    m_outcomeToken = history.outcomeToken;
    m_reply = m_network->get(request);
    connect(m_reply, &QNetworkReply::finished, this, &OutcomeReporter::onFinished);
    m_deadline.start(timeoutMs);
    qCDebug(lcFetch) << "report" << protocol::reportedOutcomeName(report->outcome) << "of"
                     << report->sequence << "to"
                     << QUrl(history.outcomeReports).toString(QUrl::RemoveQuery);
    return true;
}

void OutcomeReporter::abort()
{
    m_deadline.stop();
    if (QNetworkReply *reply = m_reply.data()) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void OutcomeReporter::onFinished()
{
    m_deadline.stop();
    QNetworkReply *reply = m_reply.data();
    m_reply = nullptr;
    if (!reply)
        return;
    reply->deleteLater();
    const int status = httpStatusOf(reply);
    if (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300) {
        // Recorded for the outcome it was sent for only: one settled since is still owed.
        changeUpdateHistory(m_settings.programRoot, [this](UpdateHistory &history) {
            if (history.outcomeToken == m_outcomeToken)
                history.outcomeReported = true;
        });
    } else {
        qCDebug(lcFetch) << "the report did not arrive:" << status << reply->errorString();
    }
    emit finished();
}

} // namespace vellumix
