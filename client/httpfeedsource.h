/*
    A feed served over HTTP(S): one QNetworkReply per request, the answers sorted into what may be
    tried again and what may not, and the connections under them. Requests that may share a
    connection share one (HTTP/2 when the server speaks it); this source keeps the server's
    limits on it as Qt's own connection would: it holds requests back while a connection that
    the server closes (GOAWAY) drains, sends again those the server never processed (refused,
    or most likely lost to the closing connection), and opens no more streams than the server
    takes. A reader sees none of it but a request that takes longer to be answered.
*/
#pragma once

#include "closingconnectionwatch.h"
#include "feedsource.h"
#include "proxycache.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

#include <array>
#include <deque>

class QNetworkReply;

namespace vellumix {

class HttpFeedRequest;

/*
    How a request that ended without its answer fared on a multiplexed (HTTP/2) connection, from
    what Qt 6.4 reports (QHttp2ProtocolHandler; its texts are not translated unless noted):

    - Closing: ContentReSendError, "Server stopped accepting new streams before this stream was
      established". The server's GOAWAY named a last stream before this one: never processed.
    - HeldBack: ProtocolUnknownError, "GOAWAY received, cannot start a request" (a translatable
      text, so only the code counts; a redirect to another scheme has the same code, but with the
      redirect's status). Qt had not sent it yet: it keeps requests beyond the server's
      SETTINGS_MAX_CONCURRENT_STREAMS to itself, and fails those it holds at a GOAWAY.
    - Refused: RST_STREAM with REFUSED_STREAM, ProtocolFailure "Server refused a stream": the
      server had no room for one more stream and did not process it.
    - Reset: RST_STREAM with another code (ProtocolFailure for most, InternalServerError for
      INTERNAL_ERROR, UnknownServerError for ENHANCE_YOUR_CALM), before or during the body.
*/
enum class StreamEnd { Other, Closing, HeldBack, Refused, Reset };

class HttpFeedSource : public FeedSource
{
public:
    HttpFeedSource(const UpdateClientSettings &settings, QObject *parent);

    int requestsAtOnce() const override;
    QString where(const QString &relative) const override;
    FeedRequest *get(const QString &relative, const FeedRequestOptions &options) override;

private:
    friend class HttpFeedRequest;

    QUrl url(const QString &relative) const;
    // A request as every one of the client is made: the redirect rules, no compression on the
    // way, the TLS, the range and the validators; without the feed's credentials and headers.
    QNetworkRequest plainRequest(const QUrl &target, const FeedRequestOptions &options) const;
    // Sends one hop of a request: to `target`, with the feed's credentials and headers or not.
    QNetworkReply *send(const QUrl &target, bool withFeedSecrets, const FeedRequestOptions &options);
    QNetworkAccessManager *ownConnectionManager();

    // The shared connection, as its requests tell of themselves.
    void dispatch(HttpFeedRequest *request);
    void putOnConnection(HttpFeedRequest *request); // sends it on the shared connection now
    void sendHeld();
    void scheduleSendHeld();
    void answered(HttpFeedRequest *request, qint64 waitedMs, bool multiplexed);
    // A request that the server did not process: true when it goes again later (held()).
    bool takeBack(HttpFeedRequest *request, StreamEnd end);
    // A request left the shared connection (ended, aborted, or about to go again); `resetUnanswered`:
    // the server reset it before answering, which it counts as a request it took.
    void left(HttpFeedRequest *request, bool resetUnanswered = false);
    void lowerStreamLimit(const char *why);
    void onReopened(const QList<ClosingConnectionWatch::Waiting> &waiting, bool answeredNothing);
    void onSettled(qint64 settleMs);

    QUrl m_feed; // ends in "/"
    UpdateClientSettings m_settings; // how each of its network managers is set up
    QNetworkAccessManager *m_network; // a child, so it moves with the client to another thread
    // Managers of requests on connections of their own, made as they are first needed, in turn.
    std::array<QNetworkAccessManager *, 4> m_ownManagers{};
    std::size_t m_nextOwnManager = 0;
    QSslConfiguration m_tls;
    // The feed's credentials (an Authorization header) and headers, for its origin only.
    QList<std::pair<QByteArray, QByteArray>> m_feedSecrets;

    // The shared connection: the requests on it now, those held back for want of room (they go
    // first), the most at once, and whether the server multiplexes it.
    QList<HttpFeedRequest *> m_onConnection;
    std::deque<HttpFeedRequest *> m_waitingForRoom;
    int m_streamLimit;
    bool m_multiplexed = false;
    bool m_sendHeldQueued = false;
    ClosingConnectionWatch *m_watch;
};

// The client's network, as every request of it travels: the proxy asked once per origin, redirects
// never to a less safe scheme. A child of `parent`.
QNetworkAccessManager *makeClientNetwork(const UpdateClientSettings &settings, QObject *parent);
// The proxy of the settings for one request (see UpdateClientSettings::proxy), with the proxy
// credentials of the settings where the proxy carries none.
ProxyCache::Lookup proxyLookup(const UpdateClientSettings &settings);
// The same scheme, host and port (the scheme's default port when none is named).
bool isSameOrigin(const QUrl &a, const QUrl &b);
// Why the settings' feed headers cannot be sent (not a valid header, or one of the client's own),
// or nothing.
QString feedHeaderProblem(const UpdateClientSettings &settings);
// The TLS of every request of the client: the system's authorities and the settings' extra ones.
QSslConfiguration clientTlsConfiguration(const UpdateClientSettings &settings);

// The HTTP status of a reply, 0 when there is none (no answer, or not HTTP).
int httpStatusOf(QNetworkReply *reply);
// The wait a "Retry-After" header in seconds asks for, at most a minute; -1 when it names none
// (a date is not taken).
int retryAfterMs(const QByteArray &header);
// The verdict on a finished reply (see ReplyVerdict).
ReplyVerdict judgeReply(QNetworkReply *reply, bool bodyComplete);

} // namespace vellumix
