#include "httpfeedsource.h"

#include "proxycache.h"

#include <QElapsedTimer>
#include <QHttp2Configuration>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>

#include <algorithm>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(lcFetch)

namespace vellumix {

namespace {

constexpr int kMaxRedirects = 10;
constexpr int kMaxRetryAfterMs = 60000;
// The largest HTTP/2 frame a server may send (16 KiB unless the client says more): Qt hands
// each DATA frame between its threads as one piece, with two queued calls.
constexpr unsigned kHttp2MaxFrameSize = 64 * 1024;
// How often one request that went without an answer after a closing connection is sent again.
constexpr int kMaxResends = 8;

QUrl directoryUrl(QUrl url)
{
    QString path = url.path();
    if (!path.endsWith(u'/'))
        url.setPath(path + u'/');
    return url;
}

} // namespace

/*
    One request, read through the engine's interface: a QNetworkReply while it is at the server
    (a child, which goes with it), none while the source holds it back. It ends with finished()
    only once its answer is judged; a stream the server did not process goes back to the source
    instead, which sends it again (held(), then sent()).
*/
class HttpFeedRequest final : public FeedRequest
{
public:
    HttpFeedRequest(HttpFeedSource *source, const QUrl &target, const FeedRequestOptions &options)
        : FeedRequest(source),
          m_source(source),
          m_options(options),
          m_feedOrigin(target),
          m_target(target),
          m_followsItself(!source->m_feedSecrets.isEmpty())
    {
    }

    ~HttpFeedRequest() override
    {
        // A source that is going deletes its requests last, when its lists are gone.
        if (m_source && !m_aborted)
            m_source->left(this);
    }

    bool isShared() const { return m_options.mayShareConnection; }
    bool isLive() const { return !m_aborted && !m_ended; }
    bool isAwaitingAnswer() const { return m_reply && !m_answered; }
    qint64 msSinceSent() const { return m_sinceSent.elapsed(); }
    int resends() const { return m_resends; }

    QString where() const override
    {
        return (m_reply ? m_reply->url() : m_target).toString(QUrl::RemoveUserInfo);
    }
    int status() const override { return m_reply ? httpStatusOf(m_reply) : 0; }
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
        const QByteArray value = header("Content-Range").trimmed();
        if (!value.startsWith("bytes "))
            return -1;
        const qsizetype dash = value.indexOf('-');
        bool isNumber = false;
        const qint64 start = value.mid(6, dash - 6).toLongLong(&isNumber);
        return isNumber ? start : -1;
    }
    QByteArray header(const QByteArray &name) const override
    {
        return m_reply ? m_reply->rawHeader(name) : QByteArray();
    }
    qint64 bytesAvailable() const override { return m_reply ? m_reply->bytesAvailable() : 0; }
    QByteArray read(qint64 maxSize) override { return m_reply ? m_reply->read(maxSize) : QByteArray(); }
    ReplyVerdict verdict(bool bodyComplete) const override
    {
        if (m_refusal)
            return *m_refusal;
        ReplyVerdict verdict = judgeReply(m_reply, bodyComplete);
        verdict.reset = m_end == StreamEnd::Reset || m_end == StreamEnd::Refused;
        return verdict;
    }
    bool isSent() const override { return m_reply != nullptr; }
    void abort() override
    {
        if (std::exchange(m_aborted, true))
            return;
        if (m_reply) {
            m_reply->disconnect(this);
            m_reply->abort();
        }
        if (m_source)
            m_source->left(this);
    }

    // Sends the request (its current hop) to the server.
    void goOut()
    {
        m_answered = false;
        m_sinceSent.start();
        attach(m_source->send(m_target, m_withFeedSecrets, m_options));
        emit sent();
    }

    // Drops the reply of a request that goes again (sent() follows once it does).
    void takeOff()
    {
        if (QNetworkReply *reply = std::exchange(m_reply, nullptr)) {
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
        emit held();
    }

    void resend()
    {
        ++m_resends;
        takeOff();
    }

    // Ends a request that a connection which answered nothing refused: a failed try.
    void failUnanswered()
    {
        ReplyVerdict refusal;
        refusal.failure = {UpdateFailureReason::FeedUnreachable,
                           where() + QStringLiteral(": the server closed the connection without answering")};
        refusal.transient = true;
        m_refusal = refusal;
        m_ended = true;
        emit finished();
    }

private:
    void attach(QNetworkReply *reply)
    {
        m_reply = reply;
        reply->setParent(this);
        // A redirect that this request follows itself is no answer: its headers and body are
        // passed by, and its end leads to the next request.
        connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
            if (isOwnRedirect() || std::exchange(m_answered, true))
                return;
            if (isShared())
                m_source->answered(this, m_sinceSent.elapsed(),
                                   m_reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool());
            emit answered();
        });
        connect(reply, &QNetworkReply::readyRead, this, [this] {
            if (!isOwnRedirect())
                emit readyRead();
        });
        connect(reply, &QNetworkReply::finished, this, &HttpFeedRequest::onReplyFinished);
    }

    void onReplyFinished()
    {
        if (isOwnRedirect())
            return follow();
        m_end = streamEnd();
        if (isShared()) {
            if ((m_end == StreamEnd::Closing || m_end == StreamEnd::HeldBack
                 || m_end == StreamEnd::Refused)
                && m_source->takeBack(this, m_end)) {
                m_end = StreamEnd::Other;
                return takeOff();
            }
            m_source->left(this, m_end == StreamEnd::Reset && !m_answered);
        }
        m_ended = true;
        emit finished();
    }

    StreamEnd streamEnd() const
    {
        const bool multiplexed = isShared() && m_source->m_multiplexed;
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

    bool isOwnRedirect() const
    {
        if (!m_followsItself)
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
            m_target = target;
            m_withFeedSecrets = isSameOrigin(target, m_feedOrigin);
            attach(m_source->send(m_target, m_withFeedSecrets, m_options));
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
        if (isShared())
            m_source->left(this);
        m_ended = true;
        QMetaObject::invokeMethod(this, [this] { emit finished(); }, Qt::QueuedConnection);
    }

    QPointer<HttpFeedSource> m_source; // cleared first when the source goes
    FeedRequestOptions m_options;
    QNetworkReply *m_reply = nullptr;
    QUrl m_feedOrigin; // where the first request went: the feed
    QUrl m_target;     // the hop of now
    bool m_withFeedSecrets = true;
    bool m_followsItself; // it carries the feed's credentials or headers
    int m_hops = 0;
    int m_resends = 0;
    std::optional<ReplyVerdict> m_refusal; // a redirect this request would not follow
    StreamEnd m_end = StreamEnd::Other;
    QElapsedTimer m_sinceSent;
    bool m_answered = false;
    bool m_aborted = false;
    bool m_ended = false;
};

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
      m_feed(directoryUrl(settings.feed)),
      m_settings(settings),
      m_network(makeClientNetwork(settings, this)),
      m_tls(clientTlsConfiguration(settings)),
      m_streamLimit(qMax(qMax(1, settings.connections), settings.http2Streams))
{
    if (!settings.feedUser.isEmpty() || !settings.feedPassword.isEmpty())
        m_feedSecrets.append({"Authorization",
                              "Basic " + (settings.feedUser + u':' + settings.feedPassword)
                                             .toUtf8().toBase64()});
    for (const auto &[name, value] : settings.feedHeaders)
        m_feedSecrets.append({name, value});
    m_watch = new ClosingConnectionWatch(
        settings.headerTimeoutMs,
        [this] { return QList<FeedRequest *>(m_onConnection.cbegin(), m_onConnection.cend()); },
        this);
    connect(m_watch, &ClosingConnectionWatch::reopened, this, &HttpFeedSource::onReopened);
    connect(m_watch, &ClosingConnectionWatch::settled, this, &HttpFeedSource::onSettled);
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

/*
    How many requests are open at once on the shared connection. Over HTTP/1.1 each holds a
    connection, so as many as there are connections: one starts the moment another ends. Over
    HTTP/2 they share one connection and many stream at once, each round trip shared by all of
    them; whether the server speaks it is known from the first answers, which are asked for with
    the HTTP/1.1 number.
*/
int HttpFeedSource::requestsAtOnce() const
{
    return m_multiplexed ? m_streamLimit : qMin(qMax(1, m_settings.connections), m_streamLimit);
}

FeedRequest *HttpFeedSource::get(const QString &relative, const FeedRequestOptions &options)
{
    auto *request = new HttpFeedRequest(this, url(relative), options);
    if (options.mayShareConnection)
        dispatch(request);
    else
        request->goOut();
    return request;
}

/*
    One hop of a request. The feed's own credentials and headers go with its requests, all of
    them to its origin. Qt would carry them across a redirect to any host; such a request
    therefore follows its redirects itself (HttpFeedRequest::follow). A request that may share a
    connection goes through the first manager; one on a connection of its own through one of the
    others (see ownConnectionManager).
*/
QNetworkReply *HttpFeedSource::send(const QUrl &target, bool withFeedSecrets,
                                    const FeedRequestOptions &options)
{
    QNetworkRequest request = plainRequest(target, options);
    if (!m_feedSecrets.isEmpty()) {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        if (withFeedSecrets) {
            for (const auto &[name, value] : std::as_const(m_feedSecrets))
                request.setRawHeader(name, value);
        }
    }
    // A certificate problem is never ignored: the reply fails with SslHandshakeFailedError.
    QNetworkAccessManager *network = options.mayShareConnection ? m_network : ownConnectionManager();
    QNetworkReply *reply = network->get(request);
    if (options.readBufferSize > 0)
        reply->setReadBufferSize(options.readBufferSize);
    return reply;
}

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
QNetworkAccessManager *HttpFeedSource::ownConnectionManager()
{
    QNetworkAccessManager *&network = m_ownManagers[m_nextOwnManager];
    m_nextOwnManager = (m_nextOwnManager + 1) % m_ownManagers.size();
    if (!network)
        network = makeClientNetwork(m_settings, this);
    return network;
}

/*
    The shared connection. A server ends an HTTP/2 connection after so many requests (nginx:
    keepalive_requests) with GOAWAY, and has room for so many streams at once; what it did not
    process goes again here, without the reader's retry (see ClosingConnectionWatch). While a
    connection closes, no request is made on it; a request goes once there is room.
*/
void HttpFeedSource::dispatch(HttpFeedRequest *request)
{
    if (m_watch->isClosing())
        return m_watch->waitForNextConnection(request);
    if (int(m_onConnection.size()) >= m_streamLimit || !m_waitingForRoom.empty()) {
        m_waitingForRoom.push_back(request);
        return scheduleSendHeld();
    }
    putOnConnection(request);
}

void HttpFeedSource::putOnConnection(HttpFeedRequest *request)
{
    m_onConnection.append(request);
    request->goOut();
    m_watch->requestSent();
}

void HttpFeedSource::scheduleSendHeld()
{
    if (std::exchange(m_sendHeldQueued, true))
        return;
    QMetaObject::invokeMethod(this, [this] {
        m_sendHeldQueued = false;
        sendHeld();
    }, Qt::QueuedConnection);
}

void HttpFeedSource::sendHeld()
{
    while (!m_watch->isClosing() && !m_waitingForRoom.empty()
           && int(m_onConnection.size()) < m_streamLimit) {
        HttpFeedRequest *request = m_waitingForRoom.front();
        m_waitingForRoom.pop_front();
        putOnConnection(request);
    }
}

void HttpFeedSource::answered(HttpFeedRequest *, qint64 waitedMs, bool multiplexed)
{
    m_watch->requestTaken(waitedMs);
    if (!m_multiplexed && multiplexed) {
        m_multiplexed = true;
        qCDebug(lcFetch) << "HTTP/2: up to" << m_streamLimit << "requests at once";
        emit roomGrew();
    }
}

void HttpFeedSource::left(HttpFeedRequest *request, bool resetUnanswered)
{
    const bool wasOn = m_onConnection.removeOne(request);
    std::erase(m_waitingForRoom, request);
    m_watch->requestEnded(request);
    if (resetUnanswered)
        m_watch->requestTaken(-1); // the server took it, as it counts requests
    if (wasOn)
        scheduleSendHeld();
}

/*
    Requests a server did not process go again without a retry: those that a closing connection
    refused, or that Qt held back at its GOAWAY (beyond what the server allows at once: the limit
    drops by one for each), once the next connection is open; a stream the server had no room
    for, once one fewer is open. With the limit down to one, room is not what it lacked: it
    counts as a reset.
*/
bool HttpFeedSource::takeBack(HttpFeedRequest *request, StreamEnd end)
{
    if (end == StreamEnd::Closing || end == StreamEnd::HeldBack) {
        qCDebug(lcFetch) << "refused by a closing connection" << request->where();
        if (end == StreamEnd::HeldBack)
            lowerStreamLimit("held back by Qt at a GOAWAY");
        left(request);
        m_watch->refused(request);
        return true;
    }
    if (end == StreamEnd::Refused && m_streamLimit > 1) {
        lowerStreamLimit("a stream refused");
        left(request);
        m_waitingForRoom.push_back(request);
        scheduleSendHeld();
        return true;
    }
    return false;
}

// A request the server had no room for: from now on one fewer is opened at once. Lowered once
// for each such request, the limit ends at the number the server took, never below it.
void HttpFeedSource::lowerStreamLimit(const char *why)
{
    m_streamLimit = qMax(1, m_streamLimit - 1);
    qCDebug(lcFetch) << why << "- now up to" << m_streamLimit << "HTTP/2 requests at once";
}

void HttpFeedSource::onReopened(const QList<ClosingConnectionWatch::Waiting> &waiting,
                                bool answeredNothing)
{
    for (const ClosingConnectionWatch::Waiting &entry : waiting) {
        auto *request = static_cast<HttpFeedRequest *>(entry.request.data());
        if (!request || !request->isLive())
            continue;
        // A connection that closed without answering a single request: what it refused counts
        // as a failed try, so that a server that never answers still ends the download.
        if (entry.refused && answeredNothing)
            request->failUnanswered();
        else
            dispatch(request);
    }
    sendHeld();
}

// Those sent again at the closing itself may have gone to the closing connection too: every
// request without an answer for as long as the closing has had to settle goes again.
void HttpFeedSource::onSettled(qint64 settleMs)
{
    const QList<HttpFeedRequest *> requests = m_onConnection;
    for (HttpFeedRequest *request : requests) {
        if (m_onConnection.contains(request) && request->isAwaitingAnswer()
            && request->msSinceSent() > settleMs && request->resends() < kMaxResends) {
            qCDebug(lcFetch) << "sent again after a closing connection" << request->where();
            left(request);
            request->resend();
            dispatch(request);
        }
    }
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
