#include "feedserver.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <algorithm>

namespace testsupport {

namespace {

const QString kScript = QStringLiteral(VELLUMIX_FEED_SERVER_SCRIPT);
constexpr int kScriptTimeoutMs = 60000;
constexpr int kLogWaitMs = 5000;

// Runs the server script; the exit code, or -1 when it did not finish.
int runScript(const QStringList &arguments, QByteArray *output, QByteArray *errors,
              const QString &script = kScript)
{
    QProcess process;
    process.start(QStringLiteral("bash"), QStringList{script} + arguments);
    if (!process.waitForFinished(kScriptTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput();
    if (errors)
        *errors = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool runOpenssl(const QStringList &arguments)
{
    QByteArray output;
    const int code = runProgram(QStringLiteral("openssl"), arguments, &output);
    if (code != 0)
        qWarning("openssl %s failed: %s", qPrintable(arguments.join(u' ')), output.constData());
    return code == 0;
}

} // namespace

TlsFiles makeTestCertificates(const QString &dir, const QString &hostName)
{
    if (!QDir().mkpath(dir))
        return {};
    const QDir base(dir);
    const TlsFiles files{base.filePath(QStringLiteral("ca.pem")),
                         base.filePath(QStringLiteral("server.pem")),
                         base.filePath(QStringLiteral("server.key"))};
    const QString caKey = base.filePath(QStringLiteral("ca.key"));
    const QString request = base.filePath(QStringLiteral("server.csr"));
    const QString extensions = base.filePath(QStringLiteral("server.ext"));

    QString names;
    if (hostName == QStringLiteral("127.0.0.1") || hostName == QStringLiteral("localhost"))
        names = QStringLiteral("IP:127.0.0.1, DNS:localhost");
    else if (QRegularExpression(QStringLiteral("^[0-9.]+$|:")).match(hostName).hasMatch())
        names = QStringLiteral("IP:") + hostName;
    else
        names = QStringLiteral("DNS:") + hostName;
    writeFile(dir, QStringLiteral("server.ext"),
              QStringLiteral("basicConstraints = critical, CA:FALSE\n"
                             "keyUsage = critical, digitalSignature, keyEncipherment\n"
                             "extendedKeyUsage = serverAuth\n"
                             "subjectAltName = %1\n")
                  .arg(names)
                  .toUtf8());

    // P-256 keys: made in an instant, unlike RSA ones.
    const QStringList newKey{QStringLiteral("-newkey"), QStringLiteral("ec"),
                             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                             QStringLiteral("-nodes")};
    const bool made =
        runOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + newKey
                   + QStringList{QStringLiteral("-keyout"), caKey, QStringLiteral("-out"),
                                 files.caFile, QStringLiteral("-days"), QStringLiteral("2"),
                                 QStringLiteral("-subj"), QStringLiteral("/CN=Vellumix test CA"),
                                 QStringLiteral("-addext"),
                                 QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                 QStringLiteral("-addext"),
                                 QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")})
        && runOpenssl(QStringList{QStringLiteral("req")} + newKey
                      + QStringList{QStringLiteral("-keyout"), files.keyFile, QStringLiteral("-out"),
                                    request, QStringLiteral("-subj"),
                                    QStringLiteral("/CN=") + hostName})
        && runOpenssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request,
                       QStringLiteral("-CA"), files.caFile, QStringLiteral("-CAkey"), caKey,
                       QStringLiteral("-set_serial"),
                       QString::number(QRandomGenerator::global()->bounded(1, 1 << 30)),
                       QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
                       extensions, QStringLiteral("-out"), files.certFile});
    return made ? files : TlsFiles{};
}

FeedServer::~FeedServer()
{
    stop();
}

bool FeedServer::available()
{
    return QFileInfo(kScript).isFile()
        && (!QStandardPaths::findExecutable(QStringLiteral("nginx")).isEmpty()
            || QFileInfo(QStringLiteral("/usr/sbin/nginx")).isExecutable());
}

bool FeedServer::start(const QString &feedDir, const TlsFiles *tls, const ServerOptions &options)
{
    stop();
    m_error.clear();
    if (!m_runDir.isValid()) {
        m_error = QStringLiteral("cannot create a folder for the server: ") + m_runDir.errorString();
        return false;
    }
    QStringList arguments{QStringLiteral("start"), feedDir, m_runDir.path()};
    if (tls)
        arguments << QStringLiteral("--tls") << tls->certFile << tls->keyFile;
    if (options.http2)
        arguments << QStringLiteral("--http2");
    if (options.detailLog)
        arguments << QStringLiteral("--detail-log");
    if (!options.limitRate.isEmpty())
        arguments << QStringLiteral("--limit-rate") << options.limitRate;
    if (options.keepaliveRequests > 0)
        arguments << QStringLiteral("--keepalive-requests")
                  << QString::number(options.keepaliveRequests);
    if (options.maxStreams > 0)
        arguments << QStringLiteral("--max-streams") << QString::number(options.maxStreams);
    if (options.resetBlobsPercent > 0)
        arguments << QStringLiteral("--reset-blobs") << QString::number(options.resetBlobsPercent);
    if (!options.basicAuth.isEmpty())
        arguments << QStringLiteral("--basic-auth") << options.basicAuth.section(u':', 0, 0)
                  << options.basicAuth.section(u':', 1);
    if (!options.requiredHeader.isEmpty())
        arguments << QStringLiteral("--require-header") << options.requiredHeader.section(u':', 0, 0)
                  << options.requiredHeader.section(u':', 1).trimmed();
    QByteArray output;
    QByteArray errors;
    const int code = runScript(arguments, &output, &errors);
    const QUrl url(QString::fromUtf8(output.trimmed()));
    if (code != 0 || !url.isValid() || url.port() <= 0) {
        m_error = QStringLiteral("feed-server.sh start ended with %1: %2")
                      .arg(code)
                      .arg(QString::fromUtf8(errors + output));
        runScript({QStringLiteral("stop"), m_runDir.path()}, nullptr, nullptr);
        return false;
    }
    m_baseUrl = url.toString();
    m_port = quint16(url.port());
    return true;
}

void FeedServer::stop()
{
    if (m_port == 0)
        return;
    QByteArray errors;
    if (runScript({QStringLiteral("stop"), m_runDir.path()}, nullptr, &errors) != 0)
        qWarning("feed-server.sh stop failed: %s", errors.constData());
    m_baseUrl.clear();
    m_port = 0;
}

namespace {

// The lines of one of the server's logs split at tabs, those with `fieldCount` fields; waits up
// to kLogWaitMs for `atLeast` of them (nginx writes a line just after the answer went out).
QList<QStringList> logLines(const QString &path, qsizetype fieldCount, qsizetype atLeast)
{
    QElapsedTimer waited;
    waited.start();
    QList<QStringList> lines;
    for (;;) {
        lines.clear();
        for (const QString &line : readLines(path)) {
            QStringList fields = line.split(u'\t');
            if (fields.size() != fieldCount) {
                qWarning("unexpected line in %s: %s", qPrintable(path), qPrintable(line));
                continue;
            }
            lines.append(std::move(fields));
        }
        if (lines.size() >= atLeast || waited.elapsed() > kLogWaitMs)
            return lines;
        QThread::msleep(20);
    }
}

} // namespace

QList<AccessLogEntry> FeedServer::accessLog(qsizetype atLeast) const
{
    QList<AccessLogEntry> entries;
    for (const QStringList &fields :
         logLines(m_runDir.filePath(QStringLiteral("access.log")), 5, atLeast))
        entries.append({fields.at(0), fields.at(1), fields.at(2).toInt(), fields.at(3),
                        fields.at(4).toLongLong()});
    return entries;
}

QList<DetailLogEntry> FeedServer::detailLog(qsizetype atLeast) const
{
    QList<DetailLogEntry> entries;
    for (const QStringList &fields :
         logLines(m_runDir.filePath(QStringLiteral("detail.log")), 12, atLeast)) {
        DetailLogEntry entry;
        entry.endTime = fields.at(0).toDouble();
        entry.requestTime = fields.at(1).toDouble();
        entry.connection = fields.at(2).toLongLong();
        entry.protocol = fields.at(4);
        entry.method = fields.at(5);
        entry.uri = fields.at(6);
        entry.status = fields.at(7).toInt();
        entry.requestBytes = fields.at(8).toLongLong();
        entry.sentBytes = fields.at(9).toLongLong();
        entry.tlsProtocol = fields.at(11);
        entries.append(entry);
    }
    return entries;
}

int mostOpenAtOnce(const QList<DetailLogEntry> &entries)
{
    // +1 at each start, -1 at each end; an end sorts before a start at the same instant.
    QList<std::pair<double, int>> events;
    for (const DetailLogEntry &entry : entries) {
        events.append({entry.startTime(), 1});
        events.append({entry.endTime, -1});
    }
    std::sort(events.begin(), events.end());
    int open = 0;
    int most = 0;
    for (const auto &event : events) {
        open += event.second;
        most = std::max(most, open);
    }
    return most;
}

namespace {

void emptyLog(const QString &path)
{
    // nginx appends (O_APPEND), so it goes on writing at the new end of the emptied file.
    QFile log(path);
    if (log.exists() && !log.resize(0))
        qWarning("cannot empty %s", qPrintable(path));
}

} // namespace

void FeedServer::clearAccessLog()
{
    emptyLog(m_runDir.filePath(QStringLiteral("access.log")));
}

void FeedServer::clearDetailLog()
{
    emptyLog(m_runDir.filePath(QStringLiteral("detail.log")));
}

namespace {

const QString kProxyScript = QFileInfo(kScript).absolutePath() + QStringLiteral("/proxy-server.sh");

} // namespace

ProxyServer::~ProxyServer()
{
    stop();
}

bool ProxyServer::available()
{
    return QFileInfo(kProxyScript).isFile()
        && (!QStandardPaths::findExecutable(QStringLiteral("squid")).isEmpty()
            || QFileInfo(QStringLiteral("/usr/sbin/squid")).isExecutable());
}

bool ProxyServer::start(const QString &user, const QString &password)
{
    stop();
    QByteArray output;
    QByteArray errors;
    const int code = runScript({QStringLiteral("start"), m_runDir.path(), QStringLiteral("--user"),
                                user, password},
                               &output, &errors, kProxyScript);
    const QUrl url(QString::fromUtf8(output.trimmed()));
    if (code != 0 || !url.isValid() || url.port() <= 0) {
        m_error = QStringLiteral("proxy-server.sh start ended with %1: %2")
                      .arg(code)
                      .arg(QString::fromUtf8(errors + output));
        runScript({QStringLiteral("stop"), m_runDir.path()}, nullptr, nullptr, kProxyScript);
        return false;
    }
    m_url = url.toString();
    return true;
}

void ProxyServer::stop()
{
    if (m_url.isEmpty())
        return;
    QByteArray errors;
    if (runScript({QStringLiteral("stop"), m_runDir.path()}, nullptr, &errors, kProxyScript) != 0)
        qWarning("proxy-server.sh stop failed: %s", errors.constData());
    m_url.clear();
}

QStringList ProxyServer::accessLog(qsizetype atLeast) const
{
    QStringList lines;
    for (const QStringList &fields : logLines(m_runDir.filePath(QStringLiteral("access.log")), 1, atLeast))
        lines << fields.first();
    return lines;
}

} // namespace testsupport
