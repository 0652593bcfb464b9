// vellumix-qtfloor: what Qt's network classes cost alone. Downloads the URLs given, all at once,
// with QNetworkAccessManager as the client routes them, and throws the bytes away as they come:
// no files, no digests, no unpacking. bench/fetch.sh --loopback runs it beside the client and
// curl, so that the client's time can be read against the least that receiving the same bytes
// through Qt costs.
//
//   vellumix-qtfloor [--ca-file PEM] URL... [--own URL]...
//       URL         over one shared connection, HTTP/2 where the server offers it, a read buffer
//                   of 512 KiB: as the client fetches small blobs
//       --own URL   over a connection of its own, HTTP/1.1, through four more managers (each
//                   with its own network thread) in turn, a read buffer of 64 KiB: as the client
//                   fetches large blobs
// Prints "BYTES bytes in SECONDS s" (all the URLs' bodies together, which the benchmark holds to
// the release's size) and exits 0 when every URL answered 200 without an error.
//
// Meant for a few large blobs, where the cost per byte decides. Thousands of requests on one
// HTTP/2 connection are not for it: nginx closes such a connection after so many streams, and
// Qt 6.4 leaves the requests it had queued on it hanging, which the client's engine handles
// (client/closingconnectionwatch.h) and this program does not.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHttp2Configuration>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    QStringList shared;
    QStringList own;
    const auto usage = [] {
        std::fputs("usage: vellumix-qtfloor [--ca-file PEM] URL... [--own URL]...\n", stderr);
        return 2;
    };
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == QLatin1String("--own") && !arguments.isEmpty()) {
            own << arguments.takeFirst();
        } else if (argument == QLatin1String("--ca-file") && !arguments.isEmpty()) {
            const QString path = arguments.takeFirst();
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "vellumix-qtfloor: cannot read %s\n", qPrintable(path));
                return 2;
            }
            tls.setCaCertificates(QSslCertificate::fromData(file.readAll()));
        } else if (argument.startsWith(QLatin1String("--"))) {
            return usage();
        } else {
            shared << argument;
        }
    }
    if (shared.isEmpty() && own.isEmpty())
        return usage();

    // The client's figures (client/fetchreply.cpp, client/httpfeedsource.cpp).
    constexpr int kOwnManagers = 4;
    constexpr qint64 kSharedReadBuffer = 512 * 1024;
    constexpr qint64 kOwnReadBuffer = 64 * 1024;
    QNetworkAccessManager sharedManager;
    std::vector<std::unique_ptr<QNetworkAccessManager>> ownManagers;
    for (int i = 0; i < kOwnManagers; ++i)
        ownManagers.push_back(std::make_unique<QNetworkAccessManager>());
    qint64 received = 0;
    int open = int(shared.size() + own.size());
    int failures = 0;
    QElapsedTimer clock;
    clock.start();
    char sink[64 * 1024];
    const auto start = [&](const QString &url, bool isOwn, int turn) {
        QNetworkRequest request{QUrl(url)};
        request.setSslConfiguration(tls);
        request.setRawHeader("Accept-Encoding", "identity");
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, !isOwn);
        QHttp2Configuration h2 = request.http2Configuration();
        h2.setMaxFrameSize(64 * 1024);
        request.setHttp2Configuration(h2);
        QNetworkAccessManager &manager =
            isOwn ? *ownManagers[std::size_t(turn) % kOwnManagers] : sharedManager;
        QNetworkReply *reply = manager.get(request);
        reply->setReadBufferSize(isOwn ? kOwnReadBuffer : kSharedReadBuffer);
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [&, reply] {
            for (qint64 n; (n = reply->read(sink, sizeof sink)) > 0;)
                received += n;
        });
        QObject::connect(reply, &QNetworkReply::finished, reply, [&, reply, url] {
            for (qint64 n; (n = reply->read(sink, sizeof sink)) > 0;)
                received += n;
            reply->deleteLater();
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (reply->error() != QNetworkReply::NoError || status != 200) {
                ++failures;
                std::fprintf(stderr, "vellumix-qtfloor: %s: %d %s\n", qPrintable(url), status,
                             qPrintable(reply->errorString()));
            }
            if (--open == 0)
                app.quit();
        });
    };
    for (const QString &url : std::as_const(shared))
        start(url, false, 0);
    for (int i = 0; i < own.size(); ++i)
        start(own.at(i), true, i);
    app.exec();
    std::printf("%lld bytes in %.3f s\n", static_cast<long long>(received),
                double(clock.nsecsElapsed()) / 1e9);
    return failures == 0 ? 0 : 1;
}
