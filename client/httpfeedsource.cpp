#include "httpfeedsource.h"

#include "proxycache.h"

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QHttp2Configuration>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimerEvent>

#include <functional>
#include <optional>

namespace vellumix {

namespace {

constexpr int kMaxRedirects = 10;
constexpr int kMaxRetryAfterMs = 60000;
// The largest HTTP/2 frame a server may send (16 KiB unless the client says more): Qt hands
// each DATA frame between its threads as one piece, with two queued calls.
constexpr unsigned kHttp2MaxFrameSize = 64 * 1024;
// Managers (each with a network thread of its own) for requests on connections of their own.
constexpr int kOwnConnectionManagers = 4;

QUrl directoryUrl(QUrl url)
{
    QString path = url.path();
    if (!path.endsWith(u'/'))
        url.setPath(path + u'/');
    return url;
}

/*
    One QNetworkReply, read through the engine's interface. The reply is a child: it goes with
    this object, which aborts it if it still runs.

    A request that receives nothing for `idleTimeoutMs` is aborted, as QNetworkRequest's transfer
    timeout would abort it (OperationCanceledError, judged "no data in time"). Qt's own timeout
    is not used: Qt 6.4 restarts it with a queued call for every block of the body (4 KiB of a
    TLS connection), one more wake-up of this thread per block. Here each block only notes the
    time, and one timer looks at it when the time would be up.
*/
class HttpFeedRequest final : public FeedRequest
{
public:
    // Makes the request for a redirect's target, with the feed's credentials and headers or
    // without them; only a request that carries them has one, and follows its redirects itself.
    using Resend = std::function<QNetworkReply *(const QUrl &target, bool withFeedSecrets)>;

    HttpFeedRequest(QNetworkReply *reply, int idleTimeoutMs, Resend resend, QObject *parent)
        : FeedRequest(parent),
          m_idleTimeoutMs(idleTimeoutMs),
          m_resend(std::move(resend)),
          m_feedOrigin(reply->url())
    {
        attach(reply);
        if (m_idleTimeoutMs > 0) {
            m_sinceData.start();
            m_idle.start(m_idleTimeoutMs, this);
        }
    }

    QString where() const override { return m_reply->url().toString(QUrl::RemoveUserInfo); }
    int status() const override { return httpStatusOf(m_reply); }
    qint64 announcedSize() const override
    {
        bool isNumber = false;
        qint64 size = -1;
        const int code = status();
        if (code == 200) {
            size = m_reply->rawHeader("Content-Length").trimmed().toLongLong(&isNumber);
        } else if (code == 206) {
            const QByteArray value = m_reply->rawHeader("Content-Range").trimmed();
            size = value.mid(value.lastIndexOf('/') + 1).toLongLong(&isNumber);
        }
        return isNumber && size >= 0 ? size : -1;
    }
    qint64 rangeStart() const override
    {
        // "bytes 100-999/1000"
        const QByteArray value = m_reply->rawHeader("Content-Range").trimmed();
        if (!value.startsWith("bytes "))
            return -1;
        const qsizetype dash = value.indexOf('-');
        bool isNumber = false;
        const qint64 start = value.mid(6, dash - 6).toLongLong(&isNumber);
        return isNumber ? start : -1;
    }
    QByteArray header(const QByteArray &name) const override { return m_reply->rawHeader(name); }
    qint64 bytesAvailable() const override { return m_reply->bytesAvailable(); }
    QByteArray read(qint64 maxSize) override { return m_reply->read(maxSize); }
    ReplyVerdict verdict(bool bodyComplete) const override
    {
        return m_refusal ? *m_refusal : judgeReply(m_reply, bodyComplete);
    }
    StreamEnd streamEnd(bool multiplexed) const override
    {
        const int code = status();
        const bool unanswered = code == 0;
        const bool answering = unanswered || code == 200 || code == 206;
        switch (m_reply->error()) {
        case QNetworkReply::ContentReSendError:
            return unanswered ? StreamEnd::Closing : StreamEnd::Other;
        case QNetworkReply::ProtocolUnknownError:
            return unanswered ? StreamEnd::HeldBack : StreamEnd::Other;
        case QNetworkReply::ProtocolFailure:
            if (unanswered && m_reply->errorString() == QLatin1String("Server refused a stream"))
                return StreamEnd::Refused;
            return multiplexed && answering ? StreamEnd::Reset : StreamEnd::Other;
        case QNetworkReply::InternalServerError:
        case QNetworkReply::UnknownServerError:
            return multiplexed && answering ? StreamEnd::Reset : StreamEnd::Other;
        default:
            return StreamEnd::Other;
        }
    }
    bool cameMultiplexed() const override
    {
        return m_reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
    }
    void abort() override
    {
        m_idle.stop();
        m_reply->disconnect(this);
        m_reply->abort();
    }

protected:
    void timerEvent(QTimerEvent *event) override
    {
        if (event->timerId() != m_idle.timerId())
            return FeedRequest::timerEvent(event);
        const qint64 idle = m_sinceData.elapsed();
        if (idle < m_idleTimeoutMs) {
            m_idle.start(int(m_idleTimeoutMs - idle), this);
            return;
        }
        m_idle.stop();
        m_reply->abort(); // finished() follows from inside, with OperationCanceledError
    }

private:
    void attach(QNetworkReply *reply)
    {
        m_reply = reply;
        reply->setParent(this);
        // A redirect that this request follows itself is no answer: its headers and body are
        // passed by, and its end leads to the next request.
        connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
            if (!isOwnRedirect() && !std::exchange(m_answered, true))
                emit answered();
        });
        connect(reply, &QNetworkReply::readyRead, this, [this] {
            m_sinceData.start();
            if (!isOwnRedirect())
                emit readyRead();
        });
        connect(reply, &QNetworkReply::finished, this, [this] {
            if (isOwnRedirect())
                return follow();
            m_idle.stop();
            emit finished();
        });
    }

    bool isOwnRedirect() const
    {
        if (!m_resend)
            return false;
        const int code = status();
        return (code == 301 || code == 302 || code == 303 || code == 307 || code == 308)
            && m_reply->hasRawHeader("Location");
    }

    /*
        A request with the feed's credentials or headers follows its redirects itself (Qt would
        carry them to any host): within the feed's origin with them, to another origin (a mirror,
        a CDN) without them, under the rules every redirect of the client keeps: http or https
        only, never from https down to http, at most kMaxRedirects hops.
    */
    void follow()
    {
        QNetworkReply *previous = m_reply;
        const QUrl from = previous->url();
        const QUrl target = from.resolved(QUrl::fromEncoded(previous->rawHeader("Location").trimmed()));
        previous->disconnect(this);
        const bool safe = target.isValid() && !target.host().isEmpty()
            && (target.scheme() == u"https" || target.scheme() == u"http")
            && !(from.scheme() == u"https" && target.scheme() == u"http");
        if (safe && ++m_hops <= kMaxRedirects) {
            previous->deleteLater();
            attach(m_resend(target, isSameOrigin(target, m_feedOrigin)));
            return;
        }
        // The ended redirect stays the request's reply, so that its status and address answer.
        ReplyVerdict refusal;
        refusal.failure = {UpdateFailureReason::ServerRefused,
                           QStringLiteral("%1: %2").arg(from.toString(QUrl::RemoveUserInfo), safe
                               ? QStringLiteral("too many redirects")
                               : QStringLiteral("a redirect to %1 is not followed")
                                     .arg(target.toString(QUrl::RemoveUserInfo)))};
        m_refusal = refusal;
        m_idle.stop();
        QMetaObject::invokeMethod(this, [this] { emit finished(); }, Qt::QueuedConnection);
    }

    QNetworkReply *m_reply = nullptr;
    int m_idleTimeoutMs;
    Resend m_resend;
    QUrl m_feedOrigin; // where the first request went: the feed
    int m_hops = 0;
    std::optional<ReplyVerdict> m_refusal; // a redirect this request would not follow
    QElapsedTimer m_sinceData; // since the request began, or its last bytes came
    QBasicTimer m_idle;
    bool m_answered = false;
};

/*
    A QNetworkAccessManager does all the work of its connections on one thread of its own: TLS,
    the socket reads and Qt's handling of each block. Over a fast network that thread, not the
    lanes, bounds a download of large blobs (three 46 MB blobs on loopback: the one thread at
    about 440 MB/s while the lanes kept up). A request on a connection of its own (a large blob,
    HTTP/1.1) therefore goes through one of a few more managers, in turn, each with its own
    thread, so that large blobs are received on as many cores. They are made as they are first
    needed, as children of the source (so they move with it), set up like its first one, which
    keeps every request that may share a connection.
*/
QNetworkAccessManager *ownConnectionManager(QObject *source, const UpdateClientSettings &settings)
{
    static const char kName[] = "vellumix-own-connections";
    static const char kTurn[] = "vellumixOwnConnectionTurn";
    const QList<QNetworkAccessManager *> managers = source->findChildren<QNetworkAccessManager *>(
        QLatin1StringView(kName), Qt::FindDirectChildrenOnly);
    const int turn = source->property(kTurn).toInt();
    source->setProperty(kTurn, (turn + 1) % kOwnConnectionManagers);
    if (turn < managers.size())
        return managers.at(turn);
    QNetworkAccessManager *network = makeClientNetwork(settings, source);
    network->setObjectName(QLatin1StringView(kName));
    return network;
}

} // namespace

int retryAfterMs(const QByteArray &header)
{
    // Any number of seconds the server names ends at the longest wait, without overflowing.
    bool isNumber = false;
    const qint64 seconds = header.trimmed().toLongLong(&isNumber);
    if (!isNumber || seconds < 0)
        return -1;
    return int(qMin<qint64>(seconds, kMaxRetryAfterMs / 1000) * 1000);
}

int httpStatusOf(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

HttpFeedSource::HttpFeedSource(const UpdateClientSettings &settings, QObject *parent)
    : FeedSource(parent),
      m_transferTimeoutMs(settings.transferTimeoutMs),
      m_feed(directoryUrl(settings.feed)),
      m_settings(settings),
      m_network(makeClientNetwork(settings, this)),
      m_tls(clientTlsConfiguration(settings))
{
    if (!settings.feedUser.isEmpty() || !settings.feedPassword.isEmpty())
        m_feedSecrets.append({"Authorization",
                              "Basic " + (settings.feedUser + u':' + settings.feedPassword)
                                             .toUtf8().toBase64()});
    for (const auto &[name, value] : settings.feedHeaders)
        m_feedSecrets.append({name, value});
}

QNetworkAccessManager *makeClientNetwork(const UpdateClientSettings &settings, QObject *parent)
{
    auto *network = new QNetworkAccessManager(parent);
    network->setProxyFactory(new ProxyCache(proxyLookup(settings)));
    network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    return network;
}

ProxyCache::Lookup proxyLookup(const UpdateClientSettings &settings)
{
    return [chosen = settings.proxy, user = settings.proxyUser,
            password = settings.proxyPassword](const QNetworkProxyQuery &query) {
        QList<QNetworkProxy> proxies = chosen.type() == QNetworkProxy::DefaultProxy
            ? QNetworkProxyFactory::systemProxyForQuery(query)
            : QList<QNetworkProxy>{chosen};
        for (QNetworkProxy &proxy : proxies) {
            if (proxy.type() != QNetworkProxy::NoProxy && proxy.user().isEmpty()
                && !user.isEmpty()) {
                proxy.setUser(user);
                proxy.setPassword(password);
            }
        }
        return proxies;
    };
}

bool isSameOrigin(const QUrl &a, const QUrl &b)
{
    const auto defaultPort = [](const QUrl &url) { return url.scheme() == u"https" ? 443 : 80; };
    return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
        && a.port(defaultPort(a)) == b.port(defaultPort(b));
}

QString feedHeaderProblem(const UpdateClientSettings &settings)
{
    // A token of RFC 9110 for the name; no line breaks or NUL in the value, which would end the
    // header early and begin another.
    static const QRegularExpression token(
        QRegularExpression::anchoredPattern(QStringLiteral("[!#$%&'*+.^_`|~0-9A-Za-z-]+")));
    static const QStringList ownHeaders{
        QStringLiteral("range"),           QStringLiteral("if-none-match"),
        QStringLiteral("accept-encoding"), QStringLiteral("host"),
        QStringLiteral("connection"),      QStringLiteral("content-length"),
        QStringLiteral("transfer-encoding"), QStringLiteral("upgrade"),
        QStringLiteral("te"),              QStringLiteral("proxy-authorization")};
    for (const auto &[name, value] : settings.feedHeaders) {
        const QString text = QString::fromLatin1(name);
        if (!token.match(text).hasMatch())
            return QStringLiteral("the request header \"%1\" is no valid header name").arg(text);
        if (ownHeaders.contains(text.toLower()))
            return QStringLiteral("the request header \"%1\" is the client's own").arg(text);
        if (value.contains('\r') || value.contains('\n') || value.contains('\0'))
            return QStringLiteral("the value of the request header \"%1\" holds a line break")
                .arg(text);
    }
    return {};
}

QSslConfiguration clientTlsConfiguration(const UpdateClientSettings &settings)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!settings.extraCaCertificates.isEmpty())
        tls.addCaCertificates(settings.extraCaCertificates);
    return tls;
}

QUrl HttpFeedSource::url(const QString &relative) const
{
    return m_feed.resolved(QUrl(relative));
}

QString HttpFeedSource::where(const QString &relative) const
{
    return url(relative).toString(QUrl::RemoveUserInfo);
}

QNetworkRequest HttpFeedSource::plainRequest(const QUrl &target, const FeedRequestOptions &options) const
{
    QNetworkRequest request(target);
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
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, options.mayShareConnection);
    QHttp2Configuration http2 = request.http2Configuration();
    http2.setMaxFrameSize(kHttp2MaxFrameSize);
    request.setHttp2Configuration(http2);
    request.setSslConfiguration(m_tls);
    if (options.rangeStart > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(options.rangeStart) + '-');
    for (const auto &[name, value] : options.headers)
        request.setRawHeader(name, value);
    return request;
}

// A request that may share a connection goes through the first manager; one on a connection of
// its own through one of the others (see ownConnectionManager).
QNetworkReply *HttpFeedSource::send(const QNetworkRequest &request, const FeedRequestOptions &options)
{
    // A certificate problem is never ignored: the reply fails with SslHandshakeFailedError.
    QNetworkAccessManager *network =
        options.mayShareConnection ? m_network : ownConnectionManager(this, m_settings);
    QNetworkReply *reply = network->get(request);
    if (options.readBufferSize > 0)
        reply->setReadBufferSize(options.readBufferSize);
    return reply;
}

FeedRequest *HttpFeedSource::get(const QString &relative, const FeedRequestOptions &options)
{
    /*
        The feed's own credentials and headers go with its requests, all of them to its origin.
        Qt would carry them across a redirect to any host; such a request therefore follows its
        redirects itself (HttpFeedRequest::follow).
    */
    HttpFeedRequest::Resend resend;
    if (!m_feedSecrets.isEmpty()) {
        resend = [this, options](const QUrl &target, bool withFeedSecrets) {
            QNetworkRequest request = plainRequest(target, options);
            request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                 QNetworkRequest::ManualRedirectPolicy);
            if (withFeedSecrets) {
                for (const auto &[name, value] : std::as_const(m_feedSecrets))
                    request.setRawHeader(name, value);
            }
            return send(request, options);
        };
        return new HttpFeedRequest(resend(url(relative), true), m_transferTimeoutMs, resend, this);
    }
    return new HttpFeedRequest(send(plainRequest(url(relative), options), options),
                               m_transferTimeoutMs, {}, this);
}

ReplyVerdict judgeReply(QNetworkReply *reply, bool bodyComplete)
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
    if (status == 401)
        return fail(UpdateFailureReason::ServerRefused,
                    QStringLiteral("HTTP 401: the feed asks for credentials, and none were given "
                                   "or it refused them"),
                    false);
    if (status == 407 || reply->error() == QNetworkReply::ProxyAuthenticationRequiredError)
        return fail(UpdateFailureReason::FeedUnreachable,
                    QStringLiteral("the proxy asks for credentials (HTTP 407), and none were "
                                   "given or it refused them"),
                    false);
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
    if (status == 304) {
        verdict.notModified = true;
        return verdict;
    }
    if (status != 200 && status != 206)
        return fail(UpdateFailureReason::ServerRefused,
                    QStringLiteral("unexpected HTTP status %1").arg(status), false);
    if (!bodyComplete)
        return fail(UpdateFailureReason::FeedUnreachable, QStringLiteral("the body ended early"),
                    true);
    return verdict;
}

} // namespace vellumix
