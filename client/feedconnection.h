// How the client talks to a feed over HTTP(S): one request per resource, the answers sorted into
// what may be tried again and what may not, and the waits between tries.
#pragma once

#include <vellumix/updateclient.h>

#include <QNetworkAccessManager>
#include <QSslConfiguration>

class QNetworkReply;

namespace vellumix {

// What a finished (or failed) reply means for the transfer that made it.
struct ReplyVerdict
{
    UpdateFailure failure; // None: the body arrived whole with 200 or 206
    bool transient = false; // worth another try after a wait
    int retryAfterMs = -1;  // the server's own "Retry-After", when it gave one
};

class FeedConnection : public QObject
{
public:
    FeedConnection(const UpdateClientSettings &settings, QObject *parent);

    bool isLocal() const { return m_feed.isLocalFile(); }
    // The local path or the URL of a resource of the feed ("stable/manifest.json", "blobs/...").
    QString localPath(const QString &relative) const;
    QUrl url(const QString &relative) const;

    // Starts a GET; `rangeStart` > 0 asks for the rest of the resource from that byte.
    // `headers` are sent besides (validators of a conditional request).
    QNetworkReply *get(const QString &relative, qint64 rangeStart = 0,
                       const QList<std::pair<QByteArray, QByteArray>> &headers = {},
                       bool allowHttp2 = true);

    static ReplyVerdict judge(QNetworkReply *reply, bool bodyComplete);
    // The wait before try number `retry` (1 for the first retry).
    int retryDelayMs(int retry, const ReplyVerdict &verdict) const;
    int retries() const { return m_settings.retries; }

private:
    UpdateClientSettings m_settings;
    QUrl m_feed; // ends in "/"
    QNetworkAccessManager *m_network; // a child, so it moves with the client to another thread
    QSslConfiguration m_tls;
};

// The HTTP status of a reply, 0 when there is none (no answer, or not HTTP).
int httpStatusOf(QNetworkReply *reply);
// The wait a "Retry-After" header in seconds asks for, at most a minute; -1 when it names none
// (a date is not taken).
int retryAfterMs(const QByteArray &header);
// True when the reply came over HTTP/2.
bool cameOverHttp2(QNetworkReply *reply);

} // namespace vellumix
