// A small HTTP/1.1 server for the update client's tests: it serves a feed folder (with ranges)
// on 127.0.0.1 and misbehaves on the paths a test names, in the ways a real server or the
// network between can. Asked as a proxy (a request for a whole URL), it answers for any host. It runs on the test's own event loop and keeps a log of every request.
// With useTls() it speaks HTTPS instead.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class QTcpSocket;

struct Fault
{
    int status = 0;          // answer this status with an empty body instead of the file (or
                             // with `extraBytes` of filler)
    QByteArray retryAfter;   // with `status`: a Retry-After header
    QByteArray location;     // with `status` (a 3xx): a Location header
    qint64 cutAfter = -1;    // send this many body bytes, then close (or hold, with `stall`)
    qint64 cutOffset = -1;   // close where the body reaches this offset of the file; a request
                             // that starts there or later passes this fault by
    bool stall = false;      // after the headers (and `cutAfter` bytes), send nothing more
                             // (until resume())
    bool ignoreRange = false; // answer 200 with the whole file whatever the Range header
    qint64 extraBytes = 0;   // bytes sent after the file, in a body of unannounced length (no
                             // Content-Length: it ends when the connection closes)
    int times = -1;          // for the path's next `times` requests; -1: for all of them
    int dripMs = 0;          // send the body one byte at a time, this often
    bool endlessHeader = false; // after the status line, one header line that never ends
    bool noLength = false;   // no Content-Length: the body ends when the connection closes
    bool garble = false;     // the right headers and length, other bytes (every one inverted)
    QByteArray cookie;       // a Set-Cookie header with this value
    bool interim = false;    // an interim answer (103 Early Hints, with a header) comes first

    // Set up in a chain: Fault().answer(503).forRequests(2).
    Fault &answer(int code) { status = code; return *this; }
    Fault &withRetryAfter(const QByteArray &seconds) { retryAfter = seconds; return *this; }
    Fault &redirectTo(const QByteArray &url) { status = 302; location = url; return *this; }
    Fault &cutAt(qint64 bytes) { cutAfter = bytes; return *this; }
    Fault &cutAtOffset(qint64 offset) { cutOffset = offset; return *this; }
    Fault &stalling() { stall = true; return *this; }
    Fault &ignoringRange() { ignoreRange = true; return *this; }
    Fault &appending(qint64 bytes) { extraBytes = bytes; return *this; }
    Fault &forRequests(int count) { times = count; return *this; }
    Fault &dripping(int intervalMs) { dripMs = intervalMs; return *this; }
    Fault &withEndlessHeader() { endlessHeader = true; return *this; }
    Fault &withoutLength() { noLength = true; return *this; }
    Fault &garbling() { garble = true; return *this; }
    Fault &settingCookie(const QByteArray &value) { cookie = value; return *this; }
    Fault &afterInterimAnswer() { interim = true; return *this; }
};

struct LoggedRequest
{
    QString path;      // without the query
    QByteArray range;  // the Range header, empty when there was none
    QByteArray ifNoneMatch; // the If-None-Match header, empty when there was none
    int status = 0;
    qint64 bodyBytes = 0; // body bytes handed to the connection
    bool proxied = false; // asked as a proxy is: the request named the whole URL
    QHash<QByteArray, QByteArray> headers; // every header, by its name in lower case
};

class FaultServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit FaultServer(QString feedDir);
    ~FaultServer() override;

    QString baseUrl() const; // "http://127.0.0.1:PORT/" ("https://..." with TLS)
    // Speaks HTTPS from now on, with this certificate and key.
    void useTls(const QSslCertificate &certificate, const QSslKey &key);
    // The faults of `path` ("/stable/manifest.json"), used in order: each request takes the first
    // one that applies to it and whose `times` are not used up.
    void setFaults(const QString &path, const QList<Fault> &faults);
    // Lets the answers of `path` that stall go on to their end.
    void resume(const QString &path);

    const QList<LoggedRequest> &log() const { return m_log; }
    QList<LoggedRequest> requestsFor(const QString &path) const;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(Connection *connection);
    void respond(Connection *connection, const QString &path, const QByteArray &range,
                 const QByteArray &ifNoneMatch);
    void sendMore(Connection *connection);
    Fault takeFault(const QString &path, qint64 start);

    QString m_feedDir;
    QHash<QString, QList<Fault>> m_faults;
    QList<LoggedRequest> m_log;
    QList<Connection *> m_connections;
    QSslCertificate m_certificate; // null: plain HTTP
    QSslKey m_key;
};
