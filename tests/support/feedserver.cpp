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

namespace testsupport {

namespace {

const QString kScript = QStringLiteral(VELLUMIX_FEED_SERVER_SCRIPT);
constexpr int kScriptTimeoutMs = 60000;
constexpr int kLogWaitMs = 5000;

// Runs the server script; the exit code, or -1 when it did not finish.
int runScript(const QStringList &arguments, QByteArray *output, QByteArray *errors)
{
    QProcess process;
    process.start(QStringLiteral("bash"), QStringList{kScript} + arguments);
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

bool FeedServer::start(const QString &feedDir, const TlsFiles *tls)
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

QList<AccessLogEntry> FeedServer::accessLog(qsizetype atLeast) const
{
    const QString path = m_runDir.filePath(QStringLiteral("access.log"));
    QElapsedTimer waited;
    waited.start();
    QList<AccessLogEntry> entries;
    for (;;) {
        entries.clear();
        for (const QString &line : readLines(path)) {
            const QStringList fields = line.split(u'\t');
            if (fields.size() != 5) {
                qWarning("unexpected access log line: %s", qPrintable(line));
                continue;
            }
            entries.append({fields.at(0), fields.at(1), fields.at(2).toInt(), fields.at(3),
                            fields.at(4).toLongLong()});
        }
        if (entries.size() >= atLeast || waited.elapsed() > kLogWaitMs)
            return entries;
        QThread::msleep(20);
    }
}

void FeedServer::clearAccessLog()
{
    // nginx appends (O_APPEND), so it goes on writing at the new end of the emptied file.
    QFile log(m_runDir.filePath(QStringLiteral("access.log")));
    if (log.exists() && !log.resize(0))
        qWarning("cannot empty %s", qPrintable(log.fileName()));
}

} // namespace testsupport
