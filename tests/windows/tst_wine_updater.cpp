// The Windows build end to end under Wine: VellumixUpdater.exe with the Windows stand-in
// application as Vellumix.exe in program roots on drive C:, updates signed on the Linux side,
// through the scenarios that the native suite runs too (tests/e2e/scenarios.cpp), with the
// message box on a private X server; the application's side (the stand-in, the guide's program
// and vellumix-fetch.exe with feeds made by the Linux release tool and served by nginx) through
// the native suite's scenarios of it as well (tests/e2e/feedscenarios.cpp);
// platform-smoke-test.exe, and TLS through the schannel back end of the static Qt.
#include "feedscenarios.h"
#include "wineinstallation.h"

#include <QTemporaryDir>
#include <QTest>

#include <locale.h>
#include <signal.h>
#include <sys/prctl.h>

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

} // namespace

class WineEndToEnd : public QObject
{
    Q_OBJECT

    PrivateDisplay m_display;

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
    }

    // The programs' per-user caches (kept manifests, default stages) start empty for each test,
    // as on a fresh machine: what an earlier test kept would answer its checks with 304s.
    void init() { wine::clearProgramCaches(); }

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

    // The application side's scenarios, shared with the native suite.
    void feedScenario_data() { e2e::addFeedScenarioRows(); }

    void feedScenario()
    {
        QFETCH(int, scenario);
        const e2e::FeedScenario &row = e2e::feedScenarios().at(scenario);
        if (!row.notOnWine.isEmpty())
            QSKIP(qPrintable(QStringLiteral("not under Wine: ") + row.notOnWine));
        Installation installation;
        e2e::runFeedScenario(installation, row, e2e::Platform::Wine);
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
};

QTEST_GUILESS_MAIN(WineEndToEnd)
#include "tst_wine_updater.moc"
