// The real platform-smoke-test, run as a separate process: its report on standard error, its
// silence on standard output and its exit status, with platform plug-ins that initialise (offscreen,
// minimal, xcb on a real X server) and with ones that cannot.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString kProgram = QStringLiteral(SMOKE_TEST_PROGRAM);
const QString kPassLine = QStringLiteral(
        "PASS: local Windows platform plugin and its load-time dependencies initialized.");
constexpr int kRunTimeoutMs = 30000;

struct SmokeRun
{
    bool exitedNormally = false;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;

    bool succeeded() const { return exitedNormally && exitCode == 0; }
    QStringList errorLines() const
    {
        QString text = QString::fromUtf8(standardError);
        if (text.endsWith(u'\n'))
            text.chop(1);
        return text.split(u'\n');
    }
    // For failure messages: what the program said.
    QByteArray transcript() const { return "standard error:\n" + standardError; }
};

// An Xvfb server on a display number that it picks itself; stopped when this goes away.
class XServer
{
public:
    XServer()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty()) {
            m_failure = QStringLiteral("Xvfb is not installed (Debian package xvfb)");
            return;
        }
        /*
            "-displayfd 1" makes the server choose a free display number and write it to its
            standard output once it accepts connections, so there is neither a race over display
            numbers with other test runs on this machine nor a guess at when it is ready.
        */
        m_process.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"),
                               QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                               QStringLiteral("-screen"), QStringLiteral("0"),
                               QStringLiteral("640x480x24")});
        if (!m_process.waitForStarted()) {
            m_failure = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
            return;
        }
        QByteArray announced;
        QElapsedTimer clock;
        clock.start();
        while (!announced.contains('\n') && clock.elapsed() < kReadyTimeoutMs) {
            if (m_process.state() != QProcess::Running)
                break;
            m_process.waitForReadyRead(250);
            announced += m_process.readAllStandardOutput();
        }
        bool isNumber = false;
        const int display = announced.trimmed().toInt(&isNumber);
        if (!announced.contains('\n') || !isNumber) {
            m_failure = QStringLiteral("Xvfb did not announce a display: ")
                    + QString::fromLocal8Bit(m_process.readAllStandardError());
            return;
        }
        m_display = u':' + QString::number(display);
    }

    ~XServer()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    QString display() const { return m_display; }
    QString failure() const { return m_failure; }

private:
    static constexpr int kReadyTimeoutMs = 20000;
    QProcess m_process;
    QString m_display;
    QString m_failure;
};

// The leading "major.minor.micro" of the running kernel's release, read straight from the kernel.
QString kernelRelease()
{
    QFile file(QStringLiteral("/proc/sys/kernel/osrelease"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto match = QRegularExpression(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"))
                               .match(QString::fromLatin1(file.readAll()));
    if (!match.hasMatch())
        return {};
    const auto part = [&](int i) { return match.captured(i).isEmpty() ? u"0"_s : match.captured(i); };
    return part(1) + u'.' + part(2) + u'.' + part(3);
}

QString canonical(const QString &path)
{
    return QDir(path).canonicalPath();
}

} // namespace

class SmokeTest : public QObject
{
    Q_OBJECT

    // The toolkit wants a private runtime directory and warns on standard error without one,
    // which would mix its words into the report.
    QTemporaryDir m_runtimeDir;

    QProcessEnvironment environment(const QStringList &settings = {}) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH",
                                 "QT_DEBUG_PLUGINS", "QT_LOGGING_RULES", "DISPLAY",
                                 "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir.path());
        for (const QString &setting : settings) {
            const qsizetype equals = setting.indexOf(u'=');
            env.insert(setting.left(equals), setting.mid(equals + 1));
        }
        return env;
    }

    static SmokeRun runSmokeTest(const QStringList &arguments, const QProcessEnvironment &env)
    {
        QProcess process;
        process.setProcessEnvironment(env);
#ifdef Q_OS_UNIX
        // A failed initialisation aborts; keep that from leaving core files in the build tree.
        process.setChildProcessModifier([] {
            const rlimit none{0, 0};
            setrlimit(RLIMIT_CORE, &none);
        });
#endif
        process.start(kProgram, arguments);
        SmokeRun run;
        if (!process.waitForFinished(kRunTimeoutMs)) {
            process.kill();
            process.waitForFinished();
        }
        run.exitedNormally = process.exitStatus() == QProcess::NormalExit;
        run.exitCode = process.exitCode();
        run.standardOutput = process.readAllStandardOutput();
        run.standardError = process.readAllStandardError();
        return run;
    }

    // Lines 1 and 2, which are written before the platform plug-in is loaded.
    static void verifyVersionLines(const QStringList &lines)
    {
        QVERIFY2(lines.size() >= 2, qPrintable(lines.join(u'\n')));
        const auto os = QRegularExpression(QStringLiteral("^OS: (\\S+) (\\d+\\.\\d+\\.\\d+)$"))
                                .match(lines.at(0));
        QVERIFY2(os.hasMatch(), qPrintable(lines.at(0)));
#ifdef Q_OS_LINUX
        QCOMPARE(os.captured(1), u"linux"_s);
        QCOMPARE(os.captured(2), kernelRelease());
#endif
        QVERIFY2(QRegularExpression(QStringLiteral("^Qt runtime: 6\\.\\d+\\.\\d+; build: 6\\.\\d+\\.\\d+$"))
                         .match(lines.at(1))
                         .hasMatch(),
                 qPrintable(lines.at(1)));
        QCOMPARE(lines.at(1), u"Qt runtime: "_s + QString::fromLatin1(qVersion()) + u"; build: "_s
                         + QStringLiteral(QT_VERSION_STR));
    }

    // A successful run: exactly the five lines, nothing on standard output, status 0.
    static void verifyFullReport(const SmokeRun &run, const QString &platform)
    {
        QVERIFY2(run.succeeded(), run.transcript().constData());
        QCOMPARE(run.standardOutput, QByteArray());
        QVERIFY2(run.standardError.endsWith('\n'), run.transcript().constData());
        const QStringList lines = run.errorLines();
        QVERIFY2(lines.size() == 5, run.transcript().constData());
        verifyVersionLines(lines);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(lines.at(2).startsWith(u"Plugin paths: "_s), qPrintable(lines.at(2)));
        const QStringList paths = lines.at(2).mid(14).split(u';');
        QVERIFY2(paths.contains(canonical(QLibraryInfo::path(QLibraryInfo::PluginsPath))),
                 qPrintable(lines.at(2)));
        QVERIFY2(paths.contains(canonical(QFileInfo(kProgram).absolutePath())),
                 qPrintable(lines.at(2)));
        QCOMPARE(lines.at(3), u"Platform initialized: "_s + platform);
        QCOMPARE(lines.at(4), kPassLine);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_runtimeDir.isValid());
        QVERIFY2(QFileInfo(kProgram).isExecutable(), qPrintable(kProgram));
    }

    void reportsEveryStep_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<QString>("platform");
        // The environment names a plug-in that does not exist: only the command-line option,
        // handed on to the toolkit, can make this run succeed.
        QTest::newRow("offscreen by option")
                << QStringList{u"-platform"_s, u"offscreen"_s}
                << QStringList{u"QT_QPA_PLATFORM=nosuchplatform"_s} << u"offscreen"_s;
        QTest::newRow("offscreen by environment")
                << QStringList{} << QStringList{u"QT_QPA_PLATFORM=offscreen"_s} << u"offscreen"_s;
        QTest::newRow("minimal by option")
                << QStringList{u"-platform"_s, u"minimal"_s} << QStringList{} << u"minimal"_s;
    }

    void reportsEveryStep()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, settings);
        QFETCH(QString, platform);
        verifyFullReport(runSmokeTest(arguments, environment(settings)), platform);
    }

    void reportsXcbUnderARealXServer()
    {
        const XServer server;
        QVERIFY2(!server.display().isEmpty(), qPrintable(server.failure()));
        const SmokeRun run = runSmokeTest({u"-platform"_s, u"xcb"_s},
                                          environment({u"DISPLAY="_s + server.display()}));
        verifyFullReport(run, u"xcb"_s);
    }

    void stopsAfterTheVersionsWhenNoPlatformInitialises_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("settings");
        QTest::newRow("unknown plug-in by option")
                << QStringList{u"-platform"_s, u"nosuchplatform"_s} << QStringList{};
        QTest::newRow("unknown plug-in by environment")
                << QStringList{} << QStringList{u"QT_QPA_PLATFORM=nosuchplatform"_s};
        // The plug-in is found and loaded but cannot initialise.
        QTest::newRow("xcb without an X server")
                << QStringList{u"-platform"_s, u"xcb"_s} << QStringList{};
    }

    void stopsAfterTheVersionsWhenNoPlatformInitialises()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, settings);
        const SmokeRun run = runSmokeTest(arguments, environment(settings));
        QVERIFY2(!run.succeeded(), run.transcript().constData());
        QCOMPARE(run.standardOutput, QByteArray());
        const QStringList lines = run.errorLines();
        verifyVersionLines(lines);
        if (QTest::currentTestFailed())
            return;
        // After line 2 comes only what the toolkit says about its failure.
        const QString rest = lines.mid(2).join(u'\n');
        QVERIFY2(rest.contains(u"platform plugin"_s), run.transcript().constData());
        for (const QString &label : {u"Plugin paths: "_s, u"Platform initialized: "_s, u"PASS:"_s})
            QVERIFY2(!rest.contains(label), run.transcript().constData());
    }

    void joinsPluginDirectoriesWithSemicolons_data()
    {
        QTest::addColumn<int>("directories");
        QTest::newRow("one directory") << 1;
        QTest::newRow("two directories") << 2;
        QTest::newRow("three directories") << 3;
    }

    void joinsPluginDirectoriesWithSemicolons()
    {
        QFETCH(int, directories);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        QStringList given;
        for (int i = 0; i < directories; ++i) {
            const QString dir = root.filePath(u"plugins "_s + QString::number(i));
            QVERIFY(QDir().mkpath(dir));
            given << canonical(dir);
        }
        const SmokeRun run = runSmokeTest(
                {u"-platform"_s, u"offscreen"_s},
                environment({u"QT_PLUGIN_PATH="_s + given.join(QDir::listSeparator())}));
        verifyFullReport(run, u"offscreen"_s);
        if (QTest::currentTestFailed())
            return;
        // The toolkit puts the directories from the environment first, in their order, then its
        // own plug-in directory and the program's directory.
        const QStringList expected = given
                + QStringList{canonical(QLibraryInfo::path(QLibraryInfo::PluginsPath)),
                              canonical(QFileInfo(kProgram).absolutePath())};
        QCOMPARE(run.errorLines().at(2), u"Plugin paths: "_s + expected.join(u';'));
    }
};

QTEST_GUILESS_MAIN(SmokeTest)
#include "tst_smoketest.moc"
