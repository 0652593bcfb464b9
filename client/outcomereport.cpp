#include "outcomereport.h"

#include "httpfeedsource.h"
#include "updateprotocol.h"
#include "rolloutcohort.h"

#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkProxy>
#include <QNetworkProxyQuery>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

Q_DECLARE_LOGGING_CATEGORY(lcFetch)

namespace vellumix {

namespace {

// The library's version, as the top CMakeLists.txt's project() names it.
constexpr char kClientVersion[] = VELLUMIX_VERSION;

// An answer is read in pieces of this size, and only up to the end of its status line (of at most
// kStatusLineMax bytes); the socket holds no more than a few pieces that have not been read. The
// body is never read: the status alone says whether the report arrived.
constexpr qint64 kAnswerPieceBytes = 4096;
constexpr qint64 kSocketBufferBytes = 4 * kAnswerPieceBytes;
constexpr qsizetype kStatusLineMax = 8192;

// The outcome a report names for what `history` keeps, if it is one a report is made of: the final
// outcome of a start (confirmed, rolled back, recovered) of a release that names an https address.
std::optional<protocol::ReportedOutcome> reportedOutcome(const UpdateHistory &history)
{
    if (!history.outcomeFinal || history.outcome.sequence <= 0
        || !protocol::isReportsUrl(history.outcomeReports))
        return std::nullopt;
    switch (history.outcome.result) {
    case UpdateResult::Installed:
        return protocol::ReportedOutcome::Confirmed;
    case UpdateResult::RolledBack:
        return protocol::ReportedOutcome::RolledBack;
    case UpdateResult::Recovered:
        return protocol::ReportedOutcome::Recovered;
    default:
        return std::nullopt;
    }
}

/*
    The route of a report to `url`: the proxy of the settings for it, as the feed's requests take
    it. A report is a TLS connection end to end, so only a route that carries one will do: direct,
    a SOCKS5 proxy, or an HTTP proxy's tunnel (CONNECT). The tunnel's own request names the client
    as the report does (Qt would name a browser). Nothing when no proxy of the list can.
*/
std::optional<QNetworkProxy> reportRoute(const UpdateClientSettings &settings, const QUrl &url)
{
    const QList<QNetworkProxy> proxies = proxyLookup(settings)(QNetworkProxyQuery(url));
    if (proxies.isEmpty())
        return QNetworkProxy(QNetworkProxy::NoProxy);
    for (QNetworkProxy proxy : proxies) {
        if (proxy.type() == QNetworkProxy::HttpProxy)
            proxy.setRawHeader("User-Agent", clientUserAgent());
        if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::HttpProxy
            || proxy.type() == QNetworkProxy::Socks5Proxy)
            return proxy;
    }
    return std::nullopt;
}

// Where the head of an interim answer ends (after its empty line) in `bytes`, which start within
// that head; -1 while the empty line has not come.
qsizetype endOfInterimHead(const QByteArray &bytes)
{
    const qsizetype crlf = bytes.indexOf("\n\r\n");
    const qsizetype lf = bytes.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return crlf + 3;
    return lf >= 0 ? lf + 2 : -1;
}

} // namespace

QByteArray clientUserAgent()
{
    return QByteArrayLiteral("Vellumix-Update/") + kClientVersion;
}

std::optional<protocol::OutcomeReport> owedReport(const UpdateHistory &history,
                                                  const QString &installation)
{
    const std::optional<protocol::ReportedOutcome> outcome = reportedOutcome(history);
    if (!outcome || history.outcomeReported || installation.isEmpty())
        return std::nullopt;
    protocol::OutcomeReport report;
    report.outcome = *outcome;
    report.channel = history.outcome.channel.isEmpty() ? protocol::kDefaultChannel
                                                       : history.outcome.channel;
    report.sequence = history.outcome.sequence;
    if (report.failed())
        report.reason = history.outcome.reasonName();
    report.installation = reportedInstallation(installation);
    return report;
}

OutcomeReportStatus outcomeReportStatusOf(const UpdateHistory &history)
{
    OutcomeReportStatus status;
    if (!reportedOutcome(history))
        return status;
    status.sequence = history.outcome.sequence;
    status.sent = history.outcomeReported;
    // A failure kept for an earlier outcome says nothing of this one.
    if (!status.sent && history.outcomeReportFailureToken == history.outcomeToken)
        status.detail = history.outcomeReportFailure;
    return status;
}

QJsonObject OutcomeReportStatus::toJson() const
{
    return {{QStringLiteral("sent"), sent}, {QStringLiteral("detail"), detail}};
}

OutcomeReportStatus UpdateClient::outcomeReportStatus() const
{
    if (!settings().sendOutcomeReports)
        return {};
    return outcomeReportStatusOf(readUpdateHistory(settings().programRoot));
}

QByteArray outcomeReportRequest(const QUrl &url)
{
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    const QByteArray host = url.adjusted(QUrl::RemoveUserInfo).authority(QUrl::FullyEncoded).toLatin1();
    return "GET " + target + " HTTP/1.1\r\n"
           "Host: " + host + "\r\n"
           "User-Agent: " + clientUserAgent() + "\r\n"
           "Connection: close\r\n"
           "\r\n";
}

int answerStatus(const QByteArray &head)
{
    const qsizetype end = head.indexOf('\n');
    if (end < 0)
        return head.size() > kStatusLineMax ? -1 : 0;
    if (end > kStatusLineMax)
        return -1;
    QByteArray line = head.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    // "HTTP/1.1 204 No Content": the version, a space, three digits, and a reason that may be empty.
    const auto digit = [&line](qsizetype at) { return line.at(at) >= '0' && line.at(at) <= '9'; };
    if (!line.startsWith("HTTP/1.") || line.size() < 12 || !digit(7) || line.at(8) != ' '
        || line.at(9) < '1' || line.at(9) > '5' || !digit(10) || !digit(11)
        || (line.size() > 12 && line.at(12) != ' '))
        return -1;
    return line.mid(9, 3).toInt();
}

OutcomeReporter::OutcomeReporter(const UpdateClientSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_deadline(new QTimer(this))
{
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        end(false, QStringLiteral("no answer within %1 ms").arg(m_timeoutMs));
    });
}

OutcomeReporter::~OutcomeReporter()
{
    dropSocket();
}

bool OutcomeReporter::start(int timeoutMs)
{
    if (!m_settings.sendOutcomeReports || m_socket)
        return false;
    const UpdateHistory history = readUpdateHistory(m_settings.programRoot);
    // The id is drawn only for a report that is owed: most checks have none.
    if (!reportedOutcome(history) || history.outcomeReported)
        return false;
    m_outcomeToken = history.outcomeToken;
    const QUrl reports(history.outcomeReports);
    m_address = reports.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment);
    const std::optional<protocol::OutcomeReport> report =
        owedReport(history, installationId(m_settings.programRoot));
    if (!report) {
        record(false, QStringLiteral("no report without this installation's id, which cannot be "
                                     "kept"));
        return false;
    }
    const QUrl url = protocol::outcomeReportUrl(reports, *report);
    const std::optional<QNetworkProxy> route = reportRoute(m_settings, url);
    if (!route) {
        record(false, QStringLiteral("no proxy of the settings carries a TLS connection"));
        return false;
    }
    m_request = outcomeReportRequest(url);
    m_head.clear();
    m_skippingInterim = false;
    m_tlsErrors.clear();
    m_timeoutMs = timeoutMs;

    QSslSocket *socket = new QSslSocket(this);
    m_socket = socket;
    socket->setReadBufferSize(kSocketBufferBytes);
    socket->setProxy(*route);
    // The TLS of every request of the client (its authorities, never a check less), and HTTP/1.1.
    QSslConfiguration tls = clientTlsConfiguration(m_settings);
    tls.setAllowedNextProtocols({QByteArray(QSslConfiguration::NextProtocolHttp1_1)});
    socket->setSslConfiguration(tls);
    connect(socket, &QSslSocket::encrypted, this, &OutcomeReporter::onEncrypted);
    connect(socket, &QIODevice::readyRead, this, &OutcomeReporter::onReadyRead);
    connect(socket, &QSslSocket::sslErrors, this,
            [this](const QList<QSslError> &errors) { m_tlsErrors = errors; });
    connect(socket, &QAbstractSocket::errorOccurred, this, &OutcomeReporter::onSocketError);
    connect(socket, &QAbstractSocket::disconnected, this, &OutcomeReporter::onSocketError);
    socket->connectToHostEncrypted(url.host(), quint16(url.port(443)));
    if (m_socket)
        m_deadline->start(timeoutMs);
    qCDebug(lcFetch) << "report" << protocol::reportedOutcomeName(report->outcome) << "of"
                     << report->sequence << "to" << m_address;
    return true;
}

void OutcomeReporter::onEncrypted()
{
    if (m_socket)
        m_socket->write(m_request);
}

void OutcomeReporter::onReadyRead()
{
    while (m_socket && m_socket->bytesAvailable() > 0) {
        m_head += m_socket->read(kAnswerPieceBytes);
        // An interim answer (1xx, such as 103 Early Hints) comes before the answer: its head is
        // passed over, keeping only what may start its empty line.
        for (;;) {
            if (m_skippingInterim) {
                const qsizetype end = endOfInterimHead(m_head);
                if (end < 0) {
                    m_head = m_head.right(2);
                    break;
                }
                m_head.remove(0, end);
                m_skippingInterim = false;
            }
            const int status = answerStatus(m_head);
            if (status < 0)
                return end(false, QStringLiteral("the answer is no HTTP/1.1 answer"));
            if (status == 0)
                break;
            if (status >= 200) {
                if (status < 300)
                    return end(true, QString());
                return end(false, status < 400
                                      ? QStringLiteral("HTTP %1 (a report follows no redirect)").arg(status)
                                      : QStringLiteral("HTTP %1").arg(status));
            }
            m_skippingInterim = true;
        }
    }
}

void OutcomeReporter::onSocketError()
{
    if (!m_socket)
        return;
    // What came before the connection ended is read first: a status line may be among it.
    onReadyRead();
    QSslSocket *socket = m_socket.data();
    if (!socket)
        return;
    QString why = socket->errorString();
    if (!m_tlsErrors.isEmpty()) {
        QStringList errors;
        for (const QSslError &error : std::as_const(m_tlsErrors))
            errors << error.errorString();
        why = QStringLiteral("the TLS handshake failed: ") + errors.join(QStringLiteral("; "));
    } else if (socket->error() == QAbstractSocket::ProxyAuthenticationRequiredError) {
        why = QStringLiteral("the proxy asks for credentials (HTTP 407), and none were given or it "
                             "refused them");
    } else if (socket->error() == QAbstractSocket::RemoteHostClosedError
               || socket->error() == QAbstractSocket::UnknownSocketError) {
        why = QStringLiteral("the connection closed before an answer");
    }
    end(false, why);
}

void OutcomeReporter::end(bool arrived, const QString &why)
{
    if (!m_socket)
        return;
    m_deadline->stop();
    dropSocket();
    record(arrived, why);
    // From the event loop, also when the report ends while it is being started.
    QMetaObject::invokeMethod(this, &OutcomeReporter::finished, Qt::QueuedConnection);
}

void OutcomeReporter::abort(const QString &why)
{
    if (!m_socket)
        return;
    m_deadline->stop();
    dropSocket();
    if (!why.isEmpty())
        record(false, why);
}

void OutcomeReporter::dropSocket()
{
    if (QSslSocket *socket = m_socket.data()) {
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void OutcomeReporter::record(bool arrived, const QString &why)
{
    const QString detail = arrived ? QString() : withoutUserInfo(m_address + QStringLiteral(": ") + why);
    if (!arrived)
        qCDebug(lcFetch) << "the report did not arrive:" << detail;
    // Recorded for the outcome it was sent for only: one settled since is owed its own report.
    changeUpdateHistory(m_settings.programRoot, [&](UpdateHistory &history) {
        if (history.outcomeToken != m_outcomeToken)
            return;
        if (arrived) {
            history.outcomeReported = true;
            history.outcomeReportFailure.clear();
            history.outcomeReportFailureToken.clear();
        } else if (!history.outcomeReported) {
            history.outcomeReportFailure = detail;
            history.outcomeReportFailureToken = m_outcomeToken;
        }
    });
}

} // namespace vellumix
