#include "feedconnection.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace vellumix {

namespace {

constexpr int kMaxRedirects = 10;
constexpr int kMaxRetryDelayMs = 60000;

// The proxy of the system (on Windows its Internet settings, elsewhere the proxy variables),
// for this client's requests only: the application's own global proxy setting is left alone.
class SystemProxy : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return systemProxyForQuery(query);
    }
};

QUrl directoryUrl(QUrl url)
{
    QString path = url.path();
    if (!path.endsWith(u'/'))
        url.setPath(path + u'/');
    return url;
}

} // namespace

int retryAfterMs(const QByteArray &header)
{
    // Any number of seconds the server names ends at the longest wait, without overflowing.
    bool isNumber = false;
    const qint64 seconds = header.trimmed().toLongLong(&isNumber);
    if (!isNumber || seconds < 0)
        return -1;
    return int(qMin<qint64>(seconds, kMaxRetryDelayMs / 1000) * 1000);
}

int httpStatusOf(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool cameOverHttp2(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
}

FeedConnection::FeedConnection(const UpdateClientSettings &settings, QObject *parent)
    : QObject(parent),
      m_settings(settings),
      m_feed(directoryUrl(settings.feed)),
      m_network(new QNetworkAccessManager(this))
{
    m_network->setProxyFactory(new SystemProxy);
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_tls = QSslConfiguration::defaultConfiguration();
    if (!settings.extraCaCertificates.isEmpty())
        m_tls.addCaCertificates(settings.extraCaCertificates);
}

QString FeedConnection::localPath(const QString &relative) const
{
    return m_feed.toLocalFile() + relative;
}

QUrl FeedConnection::url(const QString &relative) const
{
    return m_feed.resolved(QUrl(relative));
}

QNetworkReply *FeedConnection::get(const QString &relative, qint64 rangeStart,
                                   const QList<std::pair<QByteArray, QByteArray>> &headers,
                                   bool allowHttp2)
{
    QNetworkRequest request(url(relative));
    /*
        Redirects are followed only to the same scheme or from http to https (never to another
        scheme, never down to plain http), and a loop ends after a few hops. Compression on the
        way is refused: what is counted, bounded and hashed must be the bytes the feed holds,
        and a range must count in those bytes.
    */
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(m_settings.transferTimeoutMs);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, allowHttp2);
    request.setSslConfiguration(m_tls);
    if (rangeStart > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(rangeStart) + '-');
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply *reply = m_network->get(request);
    // A certificate problem is never ignored: the reply fails with SslHandshakeFailedError.
    return reply;
}

ReplyVerdict FeedConnection::judge(QNetworkReply *reply, bool bodyComplete)
{
    ReplyVerdict verdict;
    const int status = httpStatusOf(reply);
    const QString where = reply->url().toString(QUrl::RemoveUserInfo);
    auto fail = [&](UpdateFailureReason reason, const QString &what, bool transient) {
        verdict.failure = {reason, QStringLiteral("%1: %2").arg(where, what)};
        verdict.transient = transient;
        return verdict;
    };
    if (status == 429 || status >= 500) {
        verdict.retryAfterMs = retryAfterMs(reply->rawHeader("Retry-After"));
        return fail(UpdateFailureReason::ServerUnavailable, QStringLiteral("HTTP %1").arg(status),
                    true);
    }
    if (status >= 400)
        return fail(UpdateFailureReason::ServerRefused, QStringLiteral("HTTP %1").arg(status), false);

    switch (reply->error()) {
    case QNetworkReply::NoError:
        break;
    case QNetworkReply::SslHandshakeFailedError:
        return fail(UpdateFailureReason::SecureConnectionFailed, reply->errorString(), false);
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::ProtocolInvalidOperationError:
        return fail(UpdateFailureReason::ServerRefused, reply->errorString(), false);
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        return fail(UpdateFailureReason::FeedUnreachable, QStringLiteral("no data in time"), true);
    default:
        // Refused or reset connections, host lookups, cut bodies and proxy failures: the network
        // or the server may be back in a moment.
        return fail(UpdateFailureReason::FeedUnreachable, reply->errorString(), true);
    }
    if (status != 200 && status != 206)
        return fail(UpdateFailureReason::ServerRefused,
                    QStringLiteral("unexpected HTTP status %1").arg(status), false);
    if (!bodyComplete)
        return fail(UpdateFailureReason::FeedUnreachable, QStringLiteral("the body ended early"),
                    true);
    return verdict;
}

int FeedConnection::retryDelayMs(int retry, const ReplyVerdict &verdict) const
{
    if (verdict.retryAfterMs >= 0)
        return qMin(verdict.retryAfterMs, kMaxRetryDelayMs);
    qint64 delay = m_settings.retryDelayMs;
    for (int i = 1; i < retry && delay < kMaxRetryDelayMs; ++i)
        delay *= 2;
    return int(qMin<qint64>(delay, kMaxRetryDelayMs));
}

} // namespace vellumix
