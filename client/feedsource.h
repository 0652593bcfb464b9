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
};

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

struct FeedRequestOptions
{
    qint64 rangeStart = 0; // > 0: the rest of the resource from that byte
    QList<std::pair<QByteArray, QByteArray>> headers; // validators of a conditional request
    bool mayShareConnection = true; // false: on a connection of its own (HTTP/1.1)
    qint64 readBufferSize = 0;      // the most held before it is read; 0: no bound
};

// One request for one resource, read like a network reply: answered() once its status is known,
// readyRead() while bytes wait, finished() once it has ended. Nothing is emitted after abort().
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
    // Once finished: what it means (`bodyComplete`: every byte the fetch expects has come), and
    // how it ended on a multiplexed connection (`multiplexed`: the connection is one).
    virtual ReplyVerdict verdict(bool bodyComplete) const = 0;
    virtual StreamEnd streamEnd(bool multiplexed) const = 0;
    // True when the answer came over a multiplexed connection.
    virtual bool cameMultiplexed() const = 0;
    virtual void abort() = 0;

Q_SIGNALS:
    void answered();
    void readyRead();
    void finished();
};

class FeedSource : public QObject
{
public:
    using QObject::QObject;

    // The resource "stable/manifest.json" or "blobs/<packedSha256>" as a failure names it.
    virtual QString where(const QString &relative) const = 0;
    // Starts a request; it is a child of the source until its reader deletes it.
    virtual FeedRequest *get(const QString &relative, const FeedRequestOptions &options) = 0;
};

// The source for `settings.feed`: HttpFeedSource for an http(s) URL, FolderFeedSource otherwise.
FeedSource *createFeedSource(const UpdateClientSettings &settings, QObject *parent);

} // namespace vellumix
