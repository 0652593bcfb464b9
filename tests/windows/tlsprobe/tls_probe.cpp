// Reports the TLS back ends that a static Windows program linking Qt Network gets, and makes one
// TLS handshake through the active one when given a server.
//
//   tls-probe                          the back ends: "available: ...", "active: ...",
//                                      "supportsSsl: yes|no"; exit 0 when schannel is active and
//                                      supports TLS
//   tls-probe HOST PORT CA-FILE        the same, then a handshake with HOST:PORT that trusts only
//                                      the certificates of CA-FILE (PEM) besides the system's:
//                                      "encrypted: PROTOCOL CIPHER" and exit 0, or "error: ..."
//                                      and exit 1
#include <QCoreApplication>
#include <QFile>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTextStream>

#include <cstdio>

namespace {

QString protocolName(QSsl::SslProtocol protocol)
{
    switch (protocol) {
    case QSsl::TlsV1_2: return QStringLiteral("TLSv1.2");
    case QSsl::TlsV1_3: return QStringLiteral("TLSv1.3");
    default: return QStringLiteral("protocol %1").arg(int(protocol));
    }
}

int handshake(const QString &host, quint16 port, const QString &caFile, QTextStream &out)
{
    QFile file(caFile);
    if (!file.open(QIODevice::ReadOnly)) {
        out << "error: cannot read " << caFile << Qt::endl;
        return 1;
    }
    const QList<QSslCertificate> authorities = QSslCertificate::fromData(file.readAll());
    QSslSocket socket;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(authorities);
    socket.setSslConfiguration(configuration);
    QList<QSslError> errors;
    QObject::connect(&socket, &QSslSocket::sslErrors,
                     [&errors](const QList<QSslError> &list) { errors += list; });
    socket.connectToHostEncrypted(host, port);
    if (!socket.waitForEncrypted(20000)) {
        out << "error: " << socket.errorString();
        for (const QSslError &error : errors)
            out << "; " << error.errorString();
        out << Qt::endl;
        return 1;
    }
    out << "encrypted: " << protocolName(socket.sessionProtocol()) << ' '
        << socket.sessionCipher().name() << Qt::endl;
    socket.disconnectFromHost();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList arguments = app.arguments().mid(1);
    out << "available: " << QSslSocket::availableBackends().join(u',') << Qt::endl;
    out << "active: " << QSslSocket::activeBackend() << Qt::endl;
    const bool supported = QSslSocket::supportsSsl();
    out << "supportsSsl: " << (supported ? "yes" : "no") << Qt::endl;
    if (QSslSocket::activeBackend() != u"schannel" || !supported)
        return 1;
    if (arguments.size() == 3)
        return handshake(arguments[0], quint16(arguments[1].toUInt()), arguments[2], out);
    return arguments.isEmpty() ? 0 : 2;
}
