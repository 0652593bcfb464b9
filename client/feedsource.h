// Where the client's files come from: a feed served over HTTP(S), or a feed that is a folder (a
// local path or a file: URL, a mounted share). The transfer engine asks its source for one
// resource at a time and reads the request it gets back as it would read a network reply,
// whatever the source: nothing above this interface knows which kind of feed it talks to.
#pragma once

#include <vellumix/updateclient.h>

#include <QList>
#include <QObject>
#include <QString>

#include <utility>

namespace vellumix {

// What an ended request means for the fetch that made it.
struct ReplyVerdict
{
    UpdateFailure failure;  // None: the body arrived whole (or, with notModified, none was due)
    bool transient = false; // worth another try after a wait
    int retryAfterMs = -1;  // the server's own "Retry-After", when it gave one
    bool notModified = false; // 304 to a conditional request: what the client keeps is current
    // The server reset the stream while the connection went on: a try that costs less (see
    // FetchReply::mayRetry).
    bool reset = false;
};

struct FeedRequestOptions
{
    qint64 rangeStart = 0; // > 0: the rest of the resource from that byte
    QList<std::pair<QByteArray, QByteArray>> headers; // validators of a conditional request
    bool mayShareConnection = true; // false: on a connection of its own (HTTP/1.1)
    qint64 readBufferSize = 0;      // the most held before it is read; 0: no bound
};

/*
    One request for one resource, read like a network reply: answered() once its status is known,
    readyRead() while bytes wait, finished() once it has ended. Nothing is emitted after abort().

    A source may hold a request back before it goes to the server, or take it back unanswered and
    send it again (a connection that the server closes, a stream it had no room for): the request
    says so with held() and sent(), and only the time it spends at the server counts towards
    its reader's deadlines.
*/
class FeedRequest : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The resource as a failure's detail names it (a URL without user information, or a path).
    virtual QString where() const = 0;
    // HTTP's status (a folder answers 200, 206 for a range, 404 for a file that is not there);
    // 0 while there is none.
    virtual int status() const = 0;
    // The size of the whole resource as the answer gives it, -1 when it does not say.
    virtual qint64 announcedSize() const = 0;
    // Where the body of a 206 begins in the resource, -1 when that is not known.
    virtual qint64 rangeStart() const = 0;
    // A header of the answer (the validators "ETag" and "Last-Modified"), empty when none.
    virtual QByteArray header(const QByteArray &name) const = 0;
    virtual qint64 bytesAvailable() const = 0;
    virtual QByteArray read(qint64 maxSize) = 0;
    // Once finished: what it means (`bodyComplete`: every byte the fetch expects has come).
    virtual ReplyVerdict verdict(bool bodyComplete) const = 0;
    // False while the source holds it back (sent() follows when it goes).
    virtual bool isSent() const { return true; }
    virtual void abort() = 0;

Q_SIGNALS:
    void sent(); // it went to the server again, or for the first time after being held back
    void held(); // taken back unanswered: it waits to go again
    void answered();
    void readyRead();
    void finished();
};

class FeedSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // How many requests that may share a connection are worth having open at once now.
    virtual int requestsAtOnce() const = 0;

    // The resource "stable/manifest.json" or "blobs/<packedSha256>" as a failure names it.
    virtual QString where(const QString &relative) const = 0;
    // Starts a request; it is a child of the source until its reader deletes it.
    virtual FeedRequest *get(const QString &relative, const FeedRequestOptions &options) = 0;

Q_SIGNALS:
    // requestsAtOnce() has grown (the server turned out to multiplex its connection).
    void roomGrew();
};

// The source for `settings.feed`: HttpFeedSource for an http(s) URL, FolderFeedSource otherwise.
FeedSource *createFeedSource(const UpdateClientSettings &settings, QObject *parent);

} // namespace vellumix
