// A feed served over HTTP(S): one QNetworkReply per request, the answers sorted into what may be
// tried again and what may not.
#pragma once

#include "feedsource.h"
#include "proxycache.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

class QNetworkReply;

namespace vellumix {

class HttpFeedSource : public FeedSource
{
public:
    HttpFeedSource(const UpdateClientSettings &settings, QObject *parent);

    QString where(const QString &relative) const override;
    FeedRequest *get(const QString &relative, const FeedRequestOptions &options) override;

private:
    QUrl url(const QString &relative) const;
    // A request as every one of the client is made: the redirect rules, no compression on the
    // way, the TLS, the range and the validators; without the feed's credentials and headers.
    QNetworkRequest plainRequest(const QUrl &target, const FeedRequestOptions &options) const;
    QNetworkReply *send(const QNetworkRequest &request, const FeedRequestOptions &options);

    int m_transferTimeoutMs;
    QUrl m_feed; // ends in "/"
    UpdateClientSettings m_settings; // how each of its network managers is set up
    QNetworkAccessManager *m_network; // a child, so it moves with the client to another thread
    QSslConfiguration m_tls;
    // The feed's credentials (an Authorization header) and headers, for its origin only.
    QList<std::pair<QByteArray, QByteArray>> m_feedSecrets;
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
