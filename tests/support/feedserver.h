// A feed served over HTTP(S) by Debian's nginx for the tests: started with scripts/feed-server.sh
// (the configuration the demo and the benchmark use, and docs/hosting.md shows) on a free port of
// 127.0.0.1, as the current user, with its configuration, pid file and logs in a temporary folder.
#pragma once

#include <QList>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// A server certificate and its key, and the CA that signed it (PEM files).
struct TlsFiles
{
    QString caFile;
    QString certFile;
    QString keyFile;
};

// Makes, with the openssl command line, a test CA (ca.pem) and a server certificate (server.pem,
// key server.key) signed by it for `hostName`, in `dir` (created when missing). For "127.0.0.1"
// or "localhost" the certificate names both (IP:127.0.0.1 and DNS:localhost); any other name is
// the certificate's only one, which makes a certificate for another host. Empty paths when
// openssl fails.
TlsFiles makeTestCertificates(const QString &dir, const QString &hostName);

// One line of the server's access log.
struct AccessLogEntry
{
    QString method;  // "GET", "HEAD"
    QString uri;     // the path, without the query
    int status = 0;
    QString range;   // the Range header as sent, "-" when there was none
    qint64 bytes = 0; // body bytes sent
};

// One line of the detail log (ServerOptions::detailLog): what nginx saw of a request.
struct DetailLogEntry
{
    double endTime = 0;     // when the answer's last byte went to the socket, seconds
    double requestTime = 0; // seconds from the request's first byte read to then
    qint64 connection = 0;  // nginx's connection serial number
    QString protocol;       // "HTTP/1.1", "HTTP/2.0"
    QString method;
    QString uri;
    int status = 0;
    qint64 requestBytes = 0; // the request with its headers
    qint64 sentBytes = 0;    // the answer with its headers
    QString tlsProtocol;     // "TLSv1.3", "-" over plain http

    double startTime() const { return endTime - requestTime; }
};

// The most requests of `entries` that were open at the same moment.
int mostOpenAtOnce(const QList<DetailLogEntry> &entries);

struct ServerOptions
{
    bool http2 = false;     // offer HTTP/2 (needs TLS)
    bool detailLog = false; // write the detail log
    QString limitRate;      // nginx's limit_rate for every answer ("4k"); empty for none
    int keepaliveRequests = 0; // close a connection after so many requests (0: nginx's 1,000)
    int maxStreams = 0;        // HTTP/2 streams open at once on a connection (0: nginx's 128)
    int resetBlobsPercent = 0; // about this share of blob requests ended without an answer
    QString basicAuth;      // "USER:PASSWORD": a private feed that asks for these (401 without)
    QString requiredHeader; // "NAME: VALUE": a private feed that wants this header (403 without)
};

class FeedServer
{
public:
    FeedServer() = default;
    ~FeedServer();
    FeedServer(const FeedServer &) = delete;
    FeedServer &operator=(const FeedServer &) = delete;

    // True when nginx is installed; tests that need a server skip otherwise.
    static bool available();

    // Serves `feedDir` (http, or https with `tls`); answers once the server answers requests.
    // On failure, errorText() says why.
    bool start(const QString &feedDir, const TlsFiles *tls = nullptr,
               const ServerOptions &options = {});
    // Stops the server and waits until it is gone; nothing when it is not running.
    void stop();

    bool isRunning() const { return m_port != 0; }
    QString baseUrl() const { return m_baseUrl; } // "http://127.0.0.1:PORT", no final "/"
    quint16 port() const { return m_port; }
    QString errorText() const { return m_error; }
    QString runDir() const { return m_runDir.path(); }

    // The requests served since start (or since clearAccessLog), oldest first. nginx writes a
    // line just after the response went out, so a test that has just received its responses
    // gives the number it expects as `atLeast`: the call waits up to five seconds for them.
    QList<AccessLogEntry> accessLog(qsizetype atLeast = 0) const;
    void clearAccessLog();
    // The detail log, waited for as accessLog() is; empty unless started with detailLog.
    QList<DetailLogEntry> detailLog(qsizetype atLeast = 0) const;
    void clearDetailLog();

private:
    QTemporaryDir m_runDir;
    QString m_baseUrl;
    quint16 m_port = 0;
    QString m_error;
};

// A proxy that asks for Basic credentials (407 without them), as a company's proxy does: Debian's
// squid, started with scripts/proxy-server.sh on a free port of 127.0.0.1.
class ProxyServer
{
public:
    ProxyServer() = default;
    ~ProxyServer();
    ProxyServer(const ProxyServer &) = delete;
    ProxyServer &operator=(const ProxyServer &) = delete;

    // True when squid is installed; tests that need a proxy skip otherwise.
    static bool available();

    // Starts the proxy for the one user `user` with `password`; errorText() says why it did not.
    bool start(const QString &user, const QString &password);
    void stop();

    QString url() const { return m_url; } // "http://127.0.0.1:PORT"
    QString errorText() const { return m_error; }
    // squid's access log since start, a line per request: "METHOD ADDRESS STATUS USER" ("-"
    // for no user). Waits up to five seconds for `atLeast` lines.
    QStringList accessLog(qsizetype atLeast = 0) const;

private:
    QTemporaryDir m_runDir;
    QString m_url;
    QString m_error;
};

} // namespace testsupport
