// The Windows build end to end under Wine: VellumixUpdater.exe with the Windows stand-in
// application as Vellumix.exe in program roots on drive C:, updates signed on the Linux side,
// through the scenarios that the native suite runs too (tests/e2e/scenarios.cpp), with the
// message box on a private X server; platform-smoke-test.exe, TLS through the schannel back end
// of the static Qt, and the update client (the stand-in and vellumix-fetch.exe) with feeds made
// by the Linux release tool and served by nginx.
#include "feedserver.h"
#include "messages.h"
#include "scenarios.h"
#include "wineinstallation.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <locale.h>
#include <signal.h>
#include <sys/prctl.h>

using testsupport::describeDifference;
using wine::AppVersion;
using wine::Installation;
using wine::RunResult;
using wine::readAndDismissBox;
using wine::runTool;

// The exit code of a run, with its standard error shown when it is not the one expected.
#define COMPARE_EXIT(run, expected)                                                               \
    QVERIFY2((run).exitCode == (expected),                                                        \
             qPrintable(QStringLiteral("exit code %1, expected %2; standard error: %3")           \
                            .arg((run).exitCode).arg(expected).arg((run).errorOutput)))

namespace {

AppVersion versionOf(const QString &version, qint32 sequence, const QString &behaviour = QStringLiteral("confirm"))
{
    AppVersion result;
    result.version = version;
    result.sequence = sequence;
    result.behaviour = behaviour;
    return result;
}

const AppVersion v1 = versionOf(QStringLiteral("1.0.0"), 1);
const AppVersion v2 = versionOf(QStringLiteral("2.0.0"), 2);

// The protocol of the Windows client with a server that offers HTTP/2 as well: the Windows Qt's
// schannel back end is built with ALPN (scripts/build-qt-mingw.sh, docs/windows.md), so nginx
// and the client settle on HTTP/2.
const QString kSchannelAlpnProtocol = QStringLiteral("HTTP/2.0");

// A private X server for the whole suite, so that the message box has a screen to appear on.
class PrivateDisplay
{
public:
    bool start()
    {
        // The server ends with the test, even when the test is killed.
        m_server.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                QStringLiteral("-screen"), QStringLiteral("0"),
                                                QStringLiteral("1024x768x24"),
                                                QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!m_server.waitForStarted())
            return false;
        while (!m_server.canReadLine()) {
            if (!m_server.waitForReadyRead(10000))
                return false;
        }
        m_display = u':' + QString::fromLatin1(m_server.readLine().trimmed());
        return true;
    }
    ~PrivateDisplay()
    {
        m_server.terminate();
        m_server.waitForFinished();
    }
    QString display() const { return m_display; }

private:
    QProcess m_server;
    QString m_display;
};

QJsonObject jsonOf(const RunResult &run)
{
    return QJsonDocument::fromJson(run.output.toUtf8()).object();
}

QString reasonOf(const RunResult &run)
{
    return jsonOf(run).value(QStringLiteral("error")).toObject().value(QStringLiteral("reason")).toString();
}

// The requests that the server saw for `uri`.
QList<testsupport::AccessLogEntry> requestsFor(const QList<testsupport::AccessLogEntry> &log,
                                               const QString &uri)
{
    QList<testsupport::AccessLogEntry> result;
    for (const auto &entry : log) {
        if (entry.uri == uri)
            result.append(entry);
    }
    return result;
}

/*
    Stands between the client and the feed server: passes every request on and every answer back,
    but only the first `budget` bytes of each connection's answers; then the connection stays open
    without another byte, a transfer stalled half-way. It runs on the test's event loop, so the
    test waits with QTRY_*. When the client goes away, its connection to the server is cut too.
*/
class StallingProxy : public QObject
{
public:
    StallingProxy(quint16 serverPort, qint64 budget) : m_serverPort(serverPort), m_budget(budget)
    {
        connect(&m_listener, &QTcpServer::newConnection, this, &StallingProxy::accept);
    }
    bool listen() { return m_listener.listen(QHostAddress::LocalHost); }
    QString baseUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_listener.serverPort());
    }
    // Closes every connection, on both sides.
    void close()
    {
        m_listener.close();
        const QList<QTcpSocket *> clients = findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly);
        for (QTcpSocket *client : clients) {
            client->abort();
            delete client;
        }
    }

private:
    void accept()
    {
        while (QTcpSocket *client = m_listener.nextPendingConnection()) {
            client->setParent(this);
            auto *server = new QTcpSocket(client);
            server->setReadBufferSize(64 * 1024);
            auto passed = std::make_shared<qint64>(0);
            connect(client, &QTcpSocket::readyRead, server, [client, server] {
                server->write(client->readAll());
            });
            connect(server, &QTcpSocket::readyRead, client, [this, client, server, passed] {
                const qint64 room = m_budget - *passed;
                if (room <= 0)
                    return;
                const QByteArray bytes = server->read(room);
                *passed += bytes.size();
                client->write(bytes);
            });
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            server->connectToHost(QHostAddress::LocalHost, m_serverPort);
        }
    }

    QTcpServer m_listener;
    quint16 m_serverPort;
    qint64 m_budget;
};

// The guide's program (sampleapp/minimal.cpp) 1.0.0 installed, and a feed served that offers
// `files` as `version`; the program's feed setting points there.
struct GuideProgram
{
    QByteArray firstProgram = testsupport::readFile(QStringLiteral(VELLUMIX_WINDOWS_MINIMAL_APP_V1));
    QTemporaryDir feed;
    testsupport::FeedServer server;
    Installation installation;

    // What went wrong, empty when nothing.
    QString setUp(const QList<testsupport::FileSpec> &files, const AppVersion &version)
    {
        if (firstProgram.isEmpty())
            return QStringLiteral("the Windows build has no vellumix-minimal-app.exe");
        const QString published = e2e::publishFeed(feed.path(), files, version);
        if (!published.isEmpty())
            return published;
        if (!server.start(feed.path()))
            return server.errorText();
        installation.install(v1);
        testsupport::writeFile(installation.root(), QStringLiteral("Vellumix.exe"), firstProgram);
        qputenv("VELLUMIX_UPDATE_FEED", server.baseUrl().toUtf8());
        return QString();
    }
    ~GuideProgram() { qunsetenv("VELLUMIX_UPDATE_FEED"); }

    // The requests for the manifest: 200, or 304 once one is kept.
    qsizetype manifestRequests() const
    {
        return requestsFor(server.accessLog(), QStringLiteral("/stable/manifest.json")).size();
    }
};

} // namespace

class WineEndToEnd : public QObject
{
    Q_OBJECT

    PrivateDisplay m_display;
    // The feed of version 2, made once for the tests of the update client.
    QTemporaryDir m_v2Feed;
    std::optional<QString> m_v2FeedError; // the release tool's output when it failed

    bool makeV2Feed()
    {
        if (!m_v2FeedError)
            m_v2FeedError = e2e::publishFeed(m_v2Feed.path(), Installation().filesOf(v2), v2);
        return m_v2FeedError->isEmpty();
    }

    // vellumix-fetch.exe COMMAND for the program root and staging directory of `installation`.
    static QStringList fetchArguments(const QString &command, const Installation &installation,
                                      const QString &feed)
    {
        return {command, QStringLiteral("--feed"), feed, QStringLiteral("--root"),
                wine::windowsPath(installation.root()), QStringLiteral("--stage"),
                wine::windowsPath(installation.stage())};
    }
    static RunResult runFetch(const QStringList &arguments)
    {
        return wine::run(wine::fetchProgram(), arguments, wine::environment(QString()));
    }

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        const locale_t chinese = newlocale(LC_ALL_MASK, "zh_CN.UTF-8", locale_t(0));
        QVERIFY2(chinese != locale_t(0), "the locale zh_CN.UTF-8 is missing: "
                                         "localedef -i zh_CN -f UTF-8 zh_CN.UTF-8");
        freelocale(chinese);
        QVERIFY2(m_display.start(), "Xvfb did not start");
        wine::setDisplay(m_display.display());
        // The Wine session of the prefix has to start on this display, or message boxes would
        // appear on the display of an earlier session. The prefix is the suite's own, so an
        // earlier session (of a killed run, say) is ended.
        runTool(QStringLiteral("wineserver"), {QStringLiteral("-k")});
        runTool(QStringLiteral("wineserver"), {QStringLiteral("-w")});
        QVERIFY(!wine::updaterBinary().isEmpty());
        // The programs' per-user caches (kept manifests, default stages) start empty, as on a
        // fresh machine: what an earlier run kept would answer its checks with 304s.
        QDirIterator caches(wine::driveC() + QStringLiteral("/users"), {QStringLiteral("update-manifests"),
                            QStringLiteral("update-stage")}, QDir::Dirs, QDirIterator::Subdirectories);
        QStringList found;
        while (caches.hasNext())
            found << caches.next();
        for (const QString &cache : std::as_const(found))
            QDir(cache).removeRecursively();
    }

    void cleanupTestCase()
    {
        // Programs of the last tests end before the X server goes away.
        runTool(QStringLiteral("wineserver"), {QStringLiteral("-k")});
    }

    // The updater's scenarios, shared with the native suite.
    void scenario_data() { e2e::addScenarioRows(); }

    void scenario()
    {
        QFETCH(int, scenario);
        const e2e::Scenario &row = e2e::updaterScenarios().at(scenario);
        if (!row.notOnWine.isEmpty())
            QSKIP(qPrintable(QStringLiteral("not under Wine: ") + row.notOnWine));
        Installation installation(row.stageElsewhere ? wine::StageDrive::Z : wine::StageDrive::C);
        e2e::runScenario(installation, row, e2e::Platform::Wine);
    }

    // The smoke test reports on standard error itself; Qt's own warnings stay where a Windows
    // program without a console window sends them (Wine warns there that it cannot set the
    // per-monitor DPI awareness).
    void smokeTest_data()
    {
        QTest::addColumn<bool>("withX");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("platformVariable");
        QTest::addColumn<QString>("platform");
        QTest::newRow("windows under Xvfb") << true << QStringList{} << QString() << "windows";
        QTest::newRow("offscreen without X")
            << false << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")} << QString()
            << "offscreen";
        QTest::newRow("minimal without X, from the environment")
            << false << QStringList{} << QStringLiteral("minimal") << "minimal";
    }

    void smokeTest()
    {
        QFETCH(bool, withX);
        QFETCH(QStringList, arguments);
        QFETCH(QString, platformVariable);
        QFETCH(QString, platform);
        QProcessEnvironment environment = wine::environment(withX ? wine::display() : QString());
        environment.remove(QStringLiteral("WINEQT_FORCE_STDERR_LOGGING"));
        if (!platformVariable.isEmpty())
            environment.insert(QStringLiteral("WINEQT_QPA_PLATFORM"), platformVariable);
        const RunResult run = wine::run(wine::smokeTestProgram(), arguments, environment);
        COMPARE_EXIT(run, 0);
        const QStringList lines = run.errorOutput.split(u'\n');
        QVERIFY2(lines.size() == 5, qPrintable(run.errorOutput));
        QVERIFY2(lines.at(0).startsWith(QStringLiteral("OS: Windows ")), qPrintable(lines.at(0)));
        QCOMPARE(lines.at(1), QStringLiteral("Qt runtime: 6.4.2; build: 6.4.2"));
        QVERIFY(lines.at(2).startsWith(QStringLiteral("Plugin paths: ")));
        QCOMPARE(lines.at(3), QStringLiteral("Platform initialized: ") + platform);
        QCOMPARE(lines.at(4), QStringLiteral(
            "PASS: local Windows platform plugin and its load-time dependencies initialized."));
        QCOMPARE(run.output, QString());
    }

    void smokeTestWithAMissingPlugin()
    {
        // Qt itself tells of a platform plug-in that cannot be loaded, in a box of its own on
        // Windows; the program ends with a failure once it is dismissed, without the last line.
        QProcessEnvironment environment = wine::environment(wine::display());
        environment.insert(QStringLiteral("WINEQT_QPA_PLATFORM"), QStringLiteral("nosuchplatform"));
        QProcess smokeTest;
        wine::start(smokeTest, wine::smokeTestProgram(), {}, environment);
        RunResult run;
        const QString box = readAndDismissBox(QStringLiteral("platform-smoke-test"), smokeTest, &run);
        QVERIFY2(box.contains(QStringLiteral("no Qt platform plugin could be initialized")),
                 qPrintable(box));
        QVERIFY2(box.contains(QStringLiteral("Available platform plugins are: windows, offscreen, minimal.")),
                 qPrintable(box));
        QVERIFY2(run.exitCode != 0, qPrintable(run.errorOutput));
        QVERIFY(run.errorOutput.contains(QStringLiteral("Could not find the Qt platform plugin \"nosuchplatform\"")));
        QVERIFY(!run.errorOutput.contains(QStringLiteral("PASS:")));
    }

    // A static program that links Qt Network gets the schannel TLS back end of the Windows Qt,
    // and no other; under Wine, schannel is served by GnuTLS (libgnutls30 on the Linux side).
    void tlsBackend()
    {
        const RunResult run = wine::run(wine::tlsProbe(), {}, wine::environment(QString()));
        COMPARE_EXIT(run, 0);
        QCOMPARE(run.output, QStringLiteral("available: schannel\nactive: schannel\nsupportsSsl: yes\n"));
    }

    /*
        A TLS handshake through schannel with a local `openssl s_server` whose certificate (for
        "localhost", self-signed) the probe trusts or not. Under Wine a certificate authority given
        to the client alone is of no use: Qt's schannel back end hands it to Windows as a PKCS #12
        without a key, which Wine cannot import, so the chain is checked against the system's
        store only (see docs/windows.md). A self-signed server certificate that the client trusts
        needs no chain.
    */
    void tlsHandshake_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<QString>("expected");
        QTest::newRow("trusted certificate") << "localhost" << true << "encrypted: TLSv1.";
        QTest::newRow("untrusted certificate")
            << "localhost" << false << "error: The root CA certificate is not trusted for this purpose";
        QTest::newRow("certificate for another host name")
            << "127.0.0.1" << true
            << "error: The host name did not match any of the valid hosts for this certificate";
    }

    void tlsHandshake()
    {
        QFETCH(QString, host);
        QFETCH(bool, trusted);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString &name : {QStringLiteral("server"), QStringLiteral("other")}) {
            QProcess openssl;
            openssl.start(QStringLiteral("openssl"), {
                QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:localhost"),
                QStringLiteral("-keyout"), dir.filePath(name + QStringLiteral(".key")),
                QStringLiteral("-out"), dir.filePath(name + QStringLiteral(".pem"))});
            QVERIFY(openssl.waitForFinished() && openssl.exitCode() == 0);
        }
        QProcess server;
        server.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        server.start(QStringLiteral("openssl"), {
            QStringLiteral("s_server"), QStringLiteral("-accept"), QStringLiteral("127.0.0.1:0"),
            QStringLiteral("-cert"), dir.filePath(QStringLiteral("server.pem")),
            QStringLiteral("-key"), dir.filePath(QStringLiteral("server.key")), QStringLiteral("-www")});
        QString port;
        while (port.isEmpty() && server.waitForReadyRead(10000)) {
            while (server.canReadLine()) {
                const QString line = QString::fromLatin1(server.readLine()).trimmed();
                if (line.startsWith(QStringLiteral("ACCEPT ")))
                    port = line.section(u':', -1);
            }
        }
        QVERIFY2(!port.isEmpty(), "openssl s_server did not start");
        const QString authority = dir.filePath(trusted ? QStringLiteral("server.pem") : QStringLiteral("other.pem"));
        const RunResult run = wine::run(wine::tlsProbe(), {host, port, wine::windowsPath(authority)},
                                        wine::environment(QString()));
        server.kill();
        server.waitForFinished();
        const QString last = run.output.trimmed().section(u'\n', -1);
        QVERIFY2(last.startsWith(expected), qPrintable(run.output + run.errorOutput));
        COMPARE_EXIT(run, trusted && host == u"localhost" ? 0 : 1);
    }

    // The Windows application updates itself over HTTP from the nginx of the Linux side (the
    // scenario is shared with the native suite).
    void applicationUpdatesItselfFromAFeed_data()
    {
        QTest::addColumn<bool>("deltas");
        QTest::newRow("whole files") << false;
        QTest::newRow("with deltas") << true;
    }

    void applicationUpdatesItselfFromAFeed()
    {
        QFETCH(bool, deltas);
        Installation installation;
        e2e::runSelfUpdateFromFeed(installation, deltas);
    }

    /*
        The guide's own program (sampleapp/minimal.cpp as two Windows releases) through the cycle:
        version 1 checks, downloads, starts the updater and quits; version 2 is probed, confirms
        and carries on to its own check of the feed, which nginx sees as a second request for the
        manifest (a version 2 that quit at start-up would never ask). Then an update interrupted
        before its first change is recovered at the next start, and the program runs again.
    */
    void guideProgramUpdatesItself()
    {
        const QByteArray second = testsupport::readFile(QStringLiteral(VELLUMIX_WINDOWS_MINIMAL_APP_V2));
        QVERIFY(!second.isEmpty());
        QList<testsupport::FileSpec> files = Installation().filesOf(v2);
        files.first() = {QStringLiteral("Vellumix.exe"), second};
        GuideProgram guide;
        const QString failure = guide.setUp(files, v2);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const Installation &installation = guide.installation;
        const auto manifestRequests = [&] { return guide.manifestRequests(); };

        const RunResult firstRun = installation.runApp({});
        COMPARE_EXIT(firstRun, 0);
        QVERIFY2(installation.waitForJournalState(QStringLiteral("healthy")),
                 qPrintable(firstRun.errorOutput));
        // (Under Wine, the probed version's own check is sometimes sent more than once.)
        QTRY_VERIFY_WITH_TIMEOUT(manifestRequests() >= 2, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
            !QFileInfo::exists(installation.workPath(QStringLiteral("installer.lock"))), 30000);
        QCOMPARE(testsupport::readFile(installation.root() + QStringLiteral("/Vellumix.exe")), second);
        QCOMPARE(testsupport::readFile(installation.workPath(QStringLiteral("installed.json"))),
                 QByteArray("{\n    \"sequence\": 2,\n    \"version\": \"2.0.0\"\n}\n"));

        QTest::qWait(2000); // the probed version's check has ended by now
        const int asked = manifestRequests();
        testsupport::writeFile(installation.workPath(QString()), QStringLiteral("transaction.json"),
                               "{\"entries\":[],\"sequence\":3,\"state\":\"installing\","
                               "\"token\":\"t\",\"version\":\"3.0.0\"}");
        COMPARE_EXIT(installation.runApp({}), 0);
        QVERIFY(installation.waitForJournalState(QStringLiteral("rolledback")));
        // The recovery started the program again, and it went on to its check.
        QTRY_VERIFY_WITH_TIMEOUT(manifestRequests() > asked, 60000);
        QCOMPARE(testsupport::readFile(installation.root() + QStringLiteral("/Vellumix.exe")), second);
    }

    /*
        A release that fails here is tried once on Windows too. The guide's program 1.0.0 takes a
        2.0.0 whose program ends at start: the updater rolls it back, starts 1.0.0 again and shows
        its message box, once. 1.0.0 checks the feed again and leaves that release alone, then and
        at its next start: no second updater, no second box.
    */
    void failedReleaseIsTriedOnce()
    {
        AppVersion dying = versionOf(QStringLiteral("2.0.0"), 2, QStringLiteral("exit"));
        dying.runMs = 0;
        GuideProgram guide;
        const QString failure = guide.setUp(Installation().filesOf(dying), dying);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const Installation &installation = guide.installation;
        const auto manifestRequests = [&] { return guide.manifestRequests(); };
        const auto journalToken = [&] {
            return QJsonDocument::fromJson(testsupport::readFile(
                                               installation.workPath(QStringLiteral("transaction.json"))))
                .object()
                .value(QStringLiteral("token"))
                .toString();
        };

        QProcess app;
        wine::start(app, installation.root() + QStringLiteral("/Vellumix.exe"), {},
                    installation.environment());
        RunResult appRun;
        const QString box = readAndDismissBox(Msg::messageTitle, app, &appRun);
        QVERIFY2(box.contains(Msg::newVersionFailedRestored), qPrintable(box));
        QVERIFY(installation.waitForJournalState(QStringLiteral("rolledback")));
        const QString token = journalToken();
        // 1.0.0, started again by the updater, checks and writes the release down as failed.
        QTRY_VERIFY_WITH_TIMEOUT(manifestRequests() >= 2, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
            testsupport::readFile(installation.workPath(QStringLiteral("update-history.json")))
                .contains("\"not-confirmed\""),
            60000);
        QTRY_VERIFY_WITH_TIMEOUT(
            !QFileInfo::exists(installation.workPath(QStringLiteral("installer.lock"))), 30000);
        // No second box, and no second update: the journal is the same one.
        const RunResult noBox = wine::run(wine::messageBoxReader(),
                                          {Msg::messageTitle, QStringLiteral("10000")},
                                          wine::environment(wine::display()));
        QVERIFY2(noBox.exitCode != 0, qPrintable(noBox.output));
        QCOMPARE(journalToken(), token);
        // The next start checks again (under Wine a request is sometimes sent more than once)
        // and leaves the release alone.
        const qsizetype asked = manifestRequests();
        COMPARE_EXIT(installation.runApp({}), 0);
        QVERIFY(manifestRequests() > asked);
        QCOMPARE(journalToken(), token);
        QCOMPARE(testsupport::readFile(installation.root() + QStringLiteral("/Vellumix.exe")),
                 guide.firstProgram);
    }

    // vellumix-fetch.exe check: one JSON object, exit 0 when the feed offers something newer
    // than the installed record, 10 when it does not.
    void fetchCheck_data()
    {
        QTest::addColumn<bool>("v2Installed");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("version 1 installed") << false << 0;
        QTest::newRow("version 2 installed") << true << 10;
    }

    void fetchCheck()
    {
        QFETCH(bool, v2Installed);
        QFETCH(int, exitCode);
        QVERIFY2(makeV2Feed(), qPrintable(*m_v2FeedError));
        testsupport::FeedServer server;
        QVERIFY2(server.start(m_v2Feed.path()), qPrintable(server.errorText()));
        Installation installation;
        installation.install(v2Installed ? v2 : v1);
        if (v2Installed)
            testsupport::writeFile(installation.workPath(QString()), QStringLiteral("installed.json"),
                                   "{\"sequence\": 2, \"version\": \"2.0.0\"}");
        QStringList arguments = fetchArguments(QStringLiteral("check"), installation, server.baseUrl());
        arguments.removeLast(); // no --stage: a check stages nothing
        arguments.removeLast();
        const RunResult run = runFetch(arguments);
        COMPARE_EXIT(run, exitCode);
        const QJsonObject json = jsonOf(run);
        QCOMPARE(json.value(QStringLiteral("update")).toBool(), !v2Installed);
        QCOMPARE(json.value(QStringLiteral("installedSequence")).toInt(), v2Installed ? 2 : 0);
        QCOMPARE(json.value(QStringLiteral("sequence")).toInt(), 2);
        QCOMPARE(json.value(QStringLiteral("version")).toString(), QStringLiteral("2.0.0"));
        QCOMPARE(json.value(QStringLiteral("files")).toInt(), 6);
        if (!v2Installed)
            QCOMPARE(json.value(QStringLiteral("filesToFetch")).toInt(), 3);
        QCOMPARE(requestsFor(server.accessLog(1), QStringLiteral("/stable/manifest.json")).size(), 1);
        QVERIFY(!QFileInfo::exists(installation.stage()));
    }

    // A download cut half-way resumes: the first vellumix-fetch.exe is killed while the program's
    // blob (about 4 MB) stalls behind a proxy with part of it received; the second asks the
    // server for the rest only and completes the stage.
    void interruptedDownloadResumes()
    {
        QVERIFY2(makeV2Feed(), qPrintable(*m_v2FeedError));
        testsupport::FeedServer server;
        QVERIFY2(server.start(m_v2Feed.path()), qPrintable(server.errorText()));
        Installation installation;
        installation.install(v1);
        // The installed program differs from the release's, so its blob is fetched too.
        testsupport::writeFile(installation.root(), QStringLiteral("Vellumix.exe"), "an older build");
        const QJsonObject program = e2e::feedEntry(m_v2Feed.path(), QStringLiteral("Vellumix.exe"));
        const QString blob = QStringLiteral("/blobs/") + program.value(QStringLiteral("packedSha256")).toString();
        const qint64 packedSize = program.value(QStringLiteral("packedSize")).toInteger();
        QVERIFY2(packedSize > 1024 * 1024, qPrintable(QString::number(packedSize)));
        const QString part = installation.stage() + QStringLiteral("/.download") + blob.mid(6)
            + QStringLiteral(".part");

        StallingProxy proxy(server.port(), 256 * 1024);
        QVERIFY(proxy.listen());
        QProcess first;
        wine::start(first, wine::fetchProgram(),
                    fetchArguments(QStringLiteral("download"), installation, proxy.baseUrl()),
                    wine::environment(QString()));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(part).size() > 0, 60000);
        first.kill();
        QVERIFY(first.waitForFinished());
        const qint64 held = QFileInfo(part).size();
        QVERIFY2(held > 0 && held < packedSize, qPrintable(QString::number(held)));
        QVERIFY(!QFileInfo::exists(installation.stage() + QStringLiteral("/files/Vellumix.exe")));
        QVERIFY(!QFileInfo::exists(installation.stage() + QStringLiteral("/manifest.json")));
        // The stalled request reaches the server's log once its connection is cut.
        proxy.close();
        QTRY_VERIFY_WITH_TIMEOUT(!requestsFor(server.accessLog(), blob).isEmpty(), 20000);
        server.clearAccessLog();

        const RunResult second = runFetch(
            fetchArguments(QStringLiteral("download"), installation, server.baseUrl()));
        COMPARE_EXIT(second, 0);
        const QList<testsupport::AccessLogEntry> log = server.accessLog(2);
        const QList<testsupport::AccessLogEntry> rest = requestsFor(log, blob);
        QCOMPARE(rest.size(), 1);
        QCOMPARE(rest.first().range, QStringLiteral("bytes=%1-").arg(held));
        QCOMPARE(rest.first().status, 206);
        QCOMPARE(rest.first().bytes, packedSize - held);
        // The client counts exactly what the server sent of blobs.
        qint64 blobBytes = 0;
        for (const auto &entry : log)
            blobBytes += entry.uri.startsWith(QStringLiteral("/blobs/")) ? entry.bytes : 0;
        const QJsonObject json = jsonOf(second);
        QCOMPARE(json.value(QStringLiteral("bytesTransferred")).toInteger(), blobBytes);
        QCOMPARE(testsupport::readFile(installation.stage() + QStringLiteral("/files/Vellumix.exe")),
                 wine::appBinary());
        QVERIFY(QFileInfo::exists(installation.stage() + QStringLiteral("/manifest.json")));
    }

    // A blob changed on the server is refused: nothing of it is staged, and the stage does not
    // become complete. Once the server has it right again, the next download completes.
    void tamperedBlobIsRefused()
    {
        QVERIFY2(makeV2Feed(), qPrintable(*m_v2FeedError));
        QTemporaryDir feed;
        QCOMPARE(testsupport::runProgram(QStringLiteral("cp"), {QStringLiteral("-a"),
                                         m_v2Feed.path() + QStringLiteral("/."), feed.path()}), 0);
        const QJsonObject core = e2e::feedEntry(feed.path(), QStringLiteral("lib/core.dll"));
        const QString blob = QStringLiteral("/blobs/") + core.value(QStringLiteral("packedSha256")).toString();
        const QByteArray good = testsupport::readFile(feed.path() + blob);
        QByteArray tampered = good;
        tampered[tampered.size() / 2] = char(tampered.at(tampered.size() / 2) ^ 0x01);
        testsupport::writeFile(feed.path(), blob.mid(1), tampered);
        testsupport::FeedServer server;
        QVERIFY2(server.start(feed.path()), qPrintable(server.errorText()));
        // Only lib/core.dll differs from the installation.
        Installation installation;
        installation.install(v2);
        testsupport::writeFile(installation.root(), QStringLiteral("lib/core.dll"), "core library 1.0.0");
        const QStringList arguments =
            fetchArguments(QStringLiteral("download"), installation, server.baseUrl());

        const RunResult run = runFetch(arguments);
        COMPARE_EXIT(run, 11);
        QCOMPARE(reasonOf(run), QStringLiteral("download-invalid"));
        // The person at the console reads the reason in the system's language (vellumix-fetch
        // loads the client's translation for it) and in the console's code page (936 here).
        QVERIFY2(run.errorOutput.contains(QStringLiteral(u"vellumix-fetch: 下载的更新文件校验失败，已停止更新"
                                                         " (download-invalid: ")),
                 qPrintable(run.errorOutput));
        QCOMPARE(testsupport::snapshotTree(installation.stage() + QStringLiteral("/files")),
                 testsupport::TreeSnapshot());
        QVERIFY(!QFileInfo::exists(installation.stage() + QStringLiteral("/manifest.json")));
        // Nor are its bytes kept to resume from: they would fail every later try.
        QCOMPARE(testsupport::snapshotTree(installation.stage() + QStringLiteral("/.download")),
                 testsupport::TreeSnapshot());

        testsupport::writeFile(feed.path(), blob.mid(1), good);
        const RunResult again = runFetch(arguments);
        COMPARE_EXIT(again, 0);
        QCOMPARE(testsupport::readFile(installation.stage() + QStringLiteral("/files/lib/core.dll")),
                 QByteArray("core library 2.0.0"));
    }

    /*
        HTTPS through schannel, with a server certificate issued by a test authority (see
        docs/windows.md for what Wine can show). Wine verifies a chain whose authority is in the
        prefix's ROOT store, as Windows does with a public authority, or one that the server sends
        whole and whose authority the client trusts (--ca-file). It cannot verify an authority
        given to the client alone when the server sends only its own certificate, so that case
        is left to Windows. With HTTP/2 offered as well, the client gets the protocol that ALPN
        settles on (kSchannelAlpnProtocol). Every download is followed by a check of the unchanged
        feed, which asks with the kept manifest's validators and is answered 304. A private feed
        (Basic credentials from the environment, a token header) is reached through a proxy that
        asks for credentials of its own (squid), HTTP/2 inside its tunnel.
    */
    void httpsFeed_data()
    {
        QTest::addColumn<QString>("trust");
        QTest::addColumn<bool>("http2");
        QTest::addColumn<bool>("privateThroughProxy");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("authority in the ROOT store") << "store" << false << false << 0;
        QTest::newRow("authority in the ROOT store, HTTP/2 offered") << "store" << true << false << 0;
        QTest::newRow("authority given with --ca-file, chain sent by the server") << "ca-file" << false << false << 0;
        QTest::newRow("authority unknown") << "none" << false << false << 11;
        QTest::newRow("private feed through a proxy, HTTP/2 offered") << "ca-file" << true << true << 0;
    }

    void httpsFeed()
    {
        QFETCH(QString, trust);
        QFETCH(bool, http2);
        QFETCH(bool, privateThroughProxy);
        QFETCH(int, exitCode);
        if (privateThroughProxy && !testsupport::ProxyServer::available())
            QSKIP("squid is not installed (Debian package squid)");
        QVERIFY2(makeV2Feed(), qPrintable(*m_v2FeedError));
        QTemporaryDir certificates;
        testsupport::TlsFiles tls = testsupport::makeTestCertificates(certificates.path(),
                                                                      QStringLiteral("127.0.0.1"));
        QVERIFY(!tls.caFile.isEmpty());
        if (trust != u"store") {
            const QString chain = certificates.filePath(QStringLiteral("chain.pem"));
            testsupport::writeFile(certificates.path(), QStringLiteral("chain.pem"),
                                   testsupport::readFile(tls.certFile) + testsupport::readFile(tls.caFile));
            tls.certFile = chain;
        }
        testsupport::FeedServer server;
        testsupport::ServerOptions serving;
        serving.http2 = http2;
        serving.detailLog = true;
        testsupport::ProxyServer squid;
        QProcessEnvironment environment = wine::environment(QString());
        if (privateThroughProxy) {
            serving.basicAuth = QStringLiteral("reader:pa:ss");
            serving.requiredHeader = QStringLiteral("X-Feed-Token: t0ken");
            environment.insert(QStringLiteral("VELLUMIX_FEED_CREDENTIALS"), serving.basicAuth);
            QVERIFY2(squid.start(QStringLiteral("alice"), QStringLiteral("s3cret")),
                     qPrintable(squid.errorText()));
        }
        QVERIFY2(server.start(m_v2Feed.path(), &tls, serving), qPrintable(server.errorText()));
        QVERIFY(server.baseUrl().startsWith(QStringLiteral("https://")));
        const QStringList storeArguments{QStringLiteral("add"), wine::windowsPath(tls.caFile)};
        auto removeFromStore = qScopeGuard([&] {
            if (trust == u"store")
                wine::run(wine::rootStoreTool(), {QStringLiteral("remove"), storeArguments.last()},
                          wine::environment(QString()));
        });
        if (trust == u"store")
            COMPARE_EXIT(wine::run(wine::rootStoreTool(), storeArguments, wine::environment(QString())), 0);

        Installation installation;
        installation.install(v1);
        QTemporaryDir cache;
        QStringList options{QStringLiteral("--cache-dir"), wine::windowsPath(cache.path())};
        if (trust == u"ca-file")
            options << QStringLiteral("--ca-file") << wine::windowsPath(tls.caFile);
        if (privateThroughProxy) {
            QUrl proxy(squid.url());
            proxy.setUserInfo(QStringLiteral("alice:s3cret"));
            options << QStringLiteral("--proxy") << proxy.toString() << QStringLiteral("--header")
                    << QStringLiteral("X-Feed-Token: t0ken");
        }
        const auto runFetch = [&environment](const QStringList &arguments) {
            return wine::run(wine::fetchProgram(), arguments, environment);
        };
        const RunResult run = runFetch(
            fetchArguments(QStringLiteral("download"), installation, server.baseUrl()) + options);
        COMPARE_EXIT(run, exitCode);
        if (exitCode == 0) {
            QCOMPARE(jsonOf(run).value(QStringLiteral("filesFetched")).toInt(), 3);
            QCOMPARE(testsupport::readFile(installation.stage() + QStringLiteral("/files/lib/core.dll")),
                     QByteArray("core library 2.0.0"));
            // The manifest and three blobs, all over the protocol that ALPN settled on.
            const QString protocol = http2 ? kSchannelAlpnProtocol : QStringLiteral("HTTP/1.1");
            const QList<testsupport::DetailLogEntry> log = server.detailLog(4);
            QCOMPARE(log.size(), 4);
            for (const testsupport::DetailLogEntry &entry : log) {
                QCOMPARE(entry.protocol, protocol);
                QCOMPARE(entry.tlsProtocol, QStringLiteral("TLSv1.2"));
            }
            // A check of the unchanged feed asks with the kept manifest's validators, and the
            // answer is a 304 of a few hundred bytes.
            server.clearDetailLog();
            const RunResult check = runFetch(QStringList{QStringLiteral("check"), QStringLiteral("--feed"),
                                                         server.baseUrl(), QStringLiteral("--root"),
                                                         wine::windowsPath(installation.root())}
                                             + options);
            COMPARE_EXIT(check, 0);
            QCOMPARE(jsonOf(check).value(QStringLiteral("sequence")).toInt(), 2);
            const QList<testsupport::DetailLogEntry> again = server.detailLog(1);
            QCOMPARE(again.size(), 1);
            QCOMPARE(again.first().uri, QStringLiteral("/stable/manifest.json"));
            QCOMPARE(again.first().status, 304);
            QCOMPARE(again.first().protocol, protocol);
            const qint64 onTheWire = again.first().requestBytes + again.first().sentBytes;
            QVERIFY2(onTheWire < 2048, qPrintable(QString::number(onTheWire)));
            qInfo("unchanged check answered 304 over %s: %lld bytes of request, %lld of answer",
                  qPrintable(protocol), again.first().requestBytes, again.first().sentBytes);
            if (privateThroughProxy) {
                const QString tunnel = QStringLiteral("CONNECT 127.0.0.1:%1 200 alice").arg(server.port());
                const QStringList log = squid.accessLog(2);
                QVERIFY2(log.count(tunnel) == 2, qPrintable(log.join(u'\n'))); // both runs
                for (const QString &line : log)
                    QVERIFY2(line == tunnel || line == QStringLiteral("CONNECT 127.0.0.1:%1 407 -").arg(server.port()),
                             qPrintable(line));
            }
        } else {
            QCOMPARE(reasonOf(run), QStringLiteral("secure-connection-failed"));
            QVERIFY(!QFileInfo::exists(installation.stage()));
            QCOMPARE(server.accessLog().size(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(WineEndToEnd)
#include "tst_wine_updater.moc"
