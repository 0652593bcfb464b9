#include "faultserver.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {

// Bytes queued on a connection at most: a body is produced as the client takes it, so a server
// that "sends" hundreds of megabytes only ever sends what the client reads.
constexpr qint64 kQueued = 64 * 1024;

// What a connection holds that has not gone out yet, encrypted or not.
qint64 queuedOn(QTcpSocket *socket)
{
    const auto *tls = qobject_cast<QSslSocket *>(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

} // namespace

struct FaultServer::Connection
{
    QTcpSocket *socket = nullptr;
    QString path;
    QByteArray request;
    bool answered = false;
    QByteArray body;      // the file's bytes from the first one sent
    qint64 bodyLength = 0; // the file's bytes and the extra ones
    qint64 limit = 0;      // what is actually sent before closing or stalling
    qint64 sent = 0;
    bool stall = false;
    int dripMs = 0;
    bool endlessHeader = false;
    qint64 headerBytes = 0;
    qsizetype logIndex = -1;
};

FaultServer::FaultServer(QString feedDir) : m_feedDir(std::move(feedDir))
{
    connect(this, &QTcpServer::newConnection, this, &FaultServer::onNewConnection);
    if (!listen(QHostAddress::LocalHost, 0))
        qFatal("test set-up: cannot listen on 127.0.0.1: %s", qPrintable(errorString()));
}

FaultServer::~FaultServer()
{
    close();
    for (Connection *connection : std::as_const(m_connections)) {
        connection->socket->disconnect(this);
        connection->socket->abort();
        delete connection;
    }
}

QString FaultServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2/")
        .arg(m_certificate.isNull() ? QStringLiteral("http") : QStringLiteral("https"))
        .arg(serverPort());
}

void FaultServer::useTls(const QSslCertificate &certificate, const QSslKey &key)
{
    m_certificate = certificate;
    m_key = key;
}

void FaultServer::incomingConnection(qintptr descriptor)
{
    if (m_certificate.isNull())
        return QTcpServer::incomingConnection(descriptor);
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setLocalCertificate(m_certificate);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    addPendingConnection(socket);
    socket->startServerEncryption();
}

void FaultServer::setFaults(const QString &path, const QList<Fault> &faults)
{
    m_faults.insert(path, faults);
}

void FaultServer::resume(const QString &path)
{
    // A connection that has sent everything closes at once, and leaves the list.
    const QList<Connection *> connections = m_connections;
    for (Connection *connection : connections) {
        if (m_connections.contains(connection) && connection->path == path && connection->stall) {
            connection->stall = false;
            connection->limit = connection->bodyLength;
            sendMore(connection);
        }
    }
}

QList<LoggedRequest> FaultServer::requestsFor(const QString &path) const
{
    QList<LoggedRequest> requests;
    for (const LoggedRequest &request : m_log) {
        if (request.path == path)
            requests.append(request);
    }
    return requests;
}

Fault FaultServer::takeFault(const QString &path, qint64 start)
{
    QList<Fault> &faults = m_faults[path];
    for (Fault &fault : faults) {
        if (fault.times == 0 || (fault.cutOffset >= 0 && start >= fault.cutOffset))
            continue;
        if (fault.times > 0)
            --fault.times;
        return fault;
    }
    return Fault();
}

void FaultServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        auto *connection = new Connection;
        connection->socket = socket;
        m_connections.append(connection);
        connect(socket, &QTcpSocket::readyRead, this, [=, this] { onReadyRead(connection); });
        connect(socket, &QTcpSocket::bytesWritten, this, [=, this] { sendMore(connection); });
        // Over TLS, bytesWritten() comes as bytes are encrypted, before they go out: the queue
        // is measured with the encrypted bytes (queuedOn()), and drains as these go.
        if (auto *tls = qobject_cast<QSslSocket *>(socket))
            connect(tls, &QSslSocket::encryptedBytesWritten, this, [=, this] { sendMore(connection); });
        connect(socket, &QTcpSocket::disconnected, this, [this, connection] {
            m_connections.removeOne(connection);
            connection->socket->deleteLater();
            delete connection;
        });
    }
}

void FaultServer::onReadyRead(Connection *connection)
{
    connection->request += connection->socket->readAll();
    const qsizetype end = connection->request.indexOf("\r\n\r\n");
    if (connection->answered || end < 0)
        return;
    connection->answered = true;
    const QList<QByteArray> lines = connection->request.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    QHash<QByteArray, QByteArray> headers;
    for (const QByteArray &line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    const QByteArray range = headers.value("range");
    const QByteArray ifNoneMatch = headers.value("if-none-match");
    QByteArray target = requestLine.value(1);
    const bool proxied = target.startsWith("http://");
    if (proxied) // "http://host:port/path": the path is what the feed folder holds
        target = target.mid(target.indexOf('/', 7));
    QString path = QUrl::fromPercentEncoding(target);
    path = path.left(path.indexOf(u'?'));
    respond(connection, path, range, ifNoneMatch);
    m_log[connection->logIndex].proxied = proxied;
    m_log[connection->logIndex].headers = headers;
}

void FaultServer::respond(Connection *connection, const QString &path, const QByteArray &range,
                          const QByteArray &ifNoneMatch)
{
    const qint64 asked = range.startsWith("bytes=") && range.endsWith('-')
        ? range.mid(6).chopped(1).toLongLong()
        : 0;
    const Fault fault = takeFault(path, asked);
    LoggedRequest logged{path, range, ifNoneMatch, 404, 0};
    QByteArray headers;
    auto header = [&headers](const char *name, const QByteArray &value) {
        if (!value.isEmpty())
            headers += name + (": " + value) + "\r\n";
    };
    QFile file(m_feedDir + path);
    header("Set-Cookie", fault.cookie);
    if (fault.status != 0) {
        logged.status = fault.status;
        header("Retry-After", fault.retryAfter);
        header("Location", fault.location);
        connection->bodyLength = fault.extraBytes;
    } else if (!path.contains(QStringLiteral("..")) && QFileInfo(file).isFile()
               && file.open(QIODevice::ReadOnly)) {
        const QByteArray content = file.readAll();
        const QByteArray size = QByteArray::number(content.size());
        const qint64 start = fault.ignoreRange ? 0 : asked;
        // Validators as a static web server gives them: a tag of the content.
        const QByteArray etag = '"' + QCryptographicHash::hash(content, QCryptographicHash::Sha256)
                                          .toHex().left(16) + '"';
        header("ETag", etag);
        if (!ifNoneMatch.isEmpty() && ifNoneMatch == etag && start == 0) {
            logged.status = 304;
        } else if (start > 0 && start >= content.size()) {
            logged.status = 416;
            header("Content-Range", "bytes */" + size);
        } else {
            logged.status = start > 0 ? 206 : 200;
            if (start > 0)
                header("Content-Range", "bytes " + QByteArray::number(start) + '-'
                                            + QByteArray::number(content.size() - 1) + '/' + size);
            connection->body = content.mid(start);
            if (fault.garble) {
                for (char &byte : connection->body)
                    byte = char(~byte);
            }
            connection->bodyLength = connection->body.size() + fault.extraBytes;
        }
    }
    if (fault.extraBytes == 0 && !fault.noLength)
        header("Content-Length", QByteArray::number(connection->bodyLength));
    connection->limit = connection->bodyLength;
    if (fault.cutAfter >= 0)
        connection->limit = qMin(connection->limit, fault.cutAfter);
    if (fault.cutOffset >= 0)
        connection->limit = qMin(connection->limit, fault.cutOffset - asked);
    connection->path = path;
    connection->stall = fault.stall;
    connection->dripMs = fault.dripMs;
    connection->logIndex = m_log.size();
    m_log.append(logged);
    if (fault.endlessHeader) {
        connection->endlessHeader = true;
        connection->socket->write("HTTP/1.1 200 Test\r\nX-Padding: ");
        return sendMore(connection);
    }
    if (fault.interim)
        connection->socket->write("HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n");
    connection->socket->write("HTTP/1.1 " + QByteArray::number(logged.status) + " Test\r\n"
                              + headers + "Connection: close\r\n\r\n");
    sendMore(connection);
}

void FaultServer::sendMore(Connection *connection)
{
    if (!connection->answered || connection->logIndex < 0)
        return;
    QTcpSocket *socket = connection->socket;
    // A header line that never ends, as fast as the client takes it (bounded, should it not stop).
    if (connection->endlessHeader) {
        if (queuedOn(socket) < kQueued && connection->headerBytes < (1LL << 30)) {
            socket->write(QByteArray(kQueued, 'a'));
            connection->headerBytes += kQueued;
        }
        return;
    }
    if (connection->dripMs > 0) {
        if (connection->sent < connection->limit && queuedOn(socket) == 0) {
            // The socket goes later than its connection: a drip due in between finds it gone.
            QTimer::singleShot(connection->dripMs, socket, [this, connection] {
                if (m_connections.contains(connection) && connection->sent < connection->limit) {
                    connection->socket->write(connection->body.mid(connection->sent, 1));
                    m_log[connection->logIndex].bodyBytes = ++connection->sent;
                }
            });
        }
        return;
    }
    while (connection->sent < connection->limit && queuedOn(socket) < kQueued) {
        const qint64 piece = qMin<qint64>(kQueued, connection->limit - connection->sent);
        QByteArray bytes = connection->body.mid(connection->sent, piece);
        if (bytes.size() < piece)
            bytes.append(QByteArray(piece - bytes.size(), 'x')); // the extra bytes
        socket->write(bytes);
        connection->sent += piece;
        m_log[connection->logIndex].bodyBytes = connection->sent;
    }
    if (connection->sent == connection->limit && !connection->stall
        && socket->state() == QAbstractSocket::ConnectedState)
        socket->disconnectFromHost(); // after what is queued has gone out
}
