// A feed served over HTTP(S): one QNetworkReply per request, the answers sorted into what may be
// tried again and what may not.
#pragma once

#include "feedsource.h"

#include <QNetworkAccessManager>
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

    int m_transferTimeoutMs;
    QUrl m_feed; // ends in "/"
    UpdateClientSettings m_settings; // how each of its network managers is set up
    QNetworkAccessManager *m_network; // a child, so it moves with the client to another thread
    QSslConfiguration m_tls;
};

// The client's network, as every request of it travels: the proxy asked once per origin, redirects
// never to a less safe scheme. A child of `parent`.
QNetworkAccessManager *makeClientNetwork(const UpdateClientSettings &settings, QObject *parent);
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
