#include "wineinstallation.h"

#include "messages.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QThread>

#include <iconv.h>

#include <tuple>

namespace wine {

namespace {

QString s_display;

QByteArray readBinary(const char *path)
{
    const QByteArray contents = testsupport::readFile(QString::fromUtf8(path));
    if (contents.isEmpty())
        qFatal("test set-up: cannot read %s (build the Windows programs first: "
               "scripts/windows-e2e.sh)", path);
    return contents;
}

// Every installation of the suite lives in one folder of drive C:.
QString testsFolder()
{
    const QString folder = driveC() + QStringLiteral("/vellumix-tests");
    QDir().mkpath(folder);
    return folder;
}

} // namespace

QString prefix()
{
    const QString path = qEnvironmentVariable("WINEPREFIX");
    if (path.isEmpty())
        qFatal("test set-up: WINEPREFIX is not set");
    return QDir(path).canonicalPath();
}

QString driveC()
{
    return prefix() + QStringLiteral("/drive_c");
}

QString windowsPath(const QString &linuxPath)
{
    const QString path = QDir::cleanPath(linuxPath);
    const QString c = driveC();
    if (path == c || path.startsWith(c + u'/'))
        return QStringLiteral("C:") + path.mid(c.size());
    return QStringLiteral("Z:") + path;
}

void setDisplay(const QString &display)
{
    s_display = display;
}

QString display()
{
    return s_display;
}

QProcessEnvironment environment(const QString &display, const QString &appLog)
{
    QProcessEnvironment result = QProcessEnvironment::systemEnvironment();
    result.remove(QStringLiteral("DISPLAY"));
    result.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!display.isEmpty())
        result.insert(QStringLiteral("DISPLAY"), display);
    // A Windows program without a console window sends Qt's warnings to the debugger, not to
    // standard error; under Wine it has no console window. Wine hands WINEQT_* on as QT_*.
    result.insert(QStringLiteral("WINEQT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    result.remove(QStringLiteral("QT_QPA_PLATFORM"));
    // A Chinese Windows: Wine takes the code page of its programs (936, GBK) from the locale
    // named here, and Qt writes its warnings in that code page. The locale must exist on Linux
    // (scripts/windows-e2e.sh makes it): otherwise Wine no longer reads the Linux file names as
    // UTF-8, and every non-ASCII path of an update goes missing.
    result.insert(QStringLiteral("LC_ALL"), QStringLiteral("zh_CN.UTF-8"));
    if (!appLog.isEmpty())
        result.insert(QStringLiteral("VELLUMIX_SAMPLE_LOG"), windowsPath(appLog));
    return result;
}

QString fromCodePage936(const QByteArray &bytes)
{
    const iconv_t converter = iconv_open("UTF-8", "GBK");
    if (converter == iconv_t(-1))
        qFatal("test set-up: iconv cannot convert from GBK");
    QByteArray input = bytes;
    QByteArray output(bytes.size() * 2 + 4, '\0');
    char *in = input.data();
    char *out = output.data();
    size_t inLeft = size_t(input.size());
    size_t outLeft = size_t(output.size());
    const size_t converted = iconv(converter, &in, &inLeft, &out, &outLeft);
    iconv_close(converter);
    if (converted == size_t(-1))
        return QStringLiteral("<not GBK: %1>").arg(QString::fromLatin1(bytes.toHex()));
    output.truncate(output.size() - qsizetype(outLeft));
    return QString::fromUtf8(output);
}

namespace {

// Standard error of a Windows program on a Chinese Windows: its own lines in code page 936, and
// now and then a line that Wine itself writes on the Linux side, in UTF-8 (an error of GnuTLS
// under schannel, say). Each line is read as what it is: GBK text is hardly ever valid UTF-8.
QString fromConsole(const QByteArray &bytes)
{
    QStringList lines;
    for (const QByteArray &line : bytes.split('\n')) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = utf8.decode(line);
        lines << (utf8.hasError() ? fromCodePage936(line) : text);
    }
    return lines.join(u'\n');
}

} // namespace

void start(QProcess &process, const QString &program, const QStringList &arguments,
           const QProcessEnvironment &environment, const QString &workingDirectory)
{
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(VELLUMIX_WINE_RUN), QStringList{program} + arguments);
}

RunResult finish(QProcess &process, int timeoutMs)
{
    RunResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.errorOutput = QStringLiteral("<the program did not end in time>");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    const QByteArray errorOutput = process.readAllStandardError();
    result.errorOutput = process.processEnvironment().value(QStringLiteral("LC_ALL"))
            == u"zh_CN.UTF-8" ? fromConsole(errorOutput) : QString::fromUtf8(errorOutput);
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    // Standard error of a Windows program under Wine ends its lines with CR LF.
    result.errorOutput.remove(u'\r');
    result.output.remove(u'\r');
    if (result.errorOutput.endsWith(u'\n'))
        result.errorOutput.chop(1);
    return result;
}

RunResult run(const QString &program, const QStringList &arguments,
              const QProcessEnvironment &environment, int timeoutMs)
{
    QProcess process;
    start(process, program, arguments, environment);
    return finish(process, timeoutMs);
}

int runTool(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess tool;
    QProcessEnvironment environment = wine::environment(display());
    environment.remove(QStringLiteral("LC_ALL"));
    tool.setProcessEnvironment(environment);
    tool.start(program, arguments);
    if (!tool.waitForFinished(120000)) {
        tool.kill();
        tool.waitForFinished();
        return -1;
    }
    if (output)
        *output = tool.readAllStandardOutput();
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

QString dismissBox(const QString &title, int timeoutMs)
{
    const RunResult box = run(messageBoxReader(), {title, QString::number(timeoutMs)},
                              environment(display()));
    QByteArray window;
    runTool(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--name"), u'^' + title + u'$'},
            &window);
    window = window.trimmed().split('\n').constLast();
    // Without a window manager the box has to be given the focus before the key reaches it.
    if (!window.isEmpty()) {
        runTool(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"),
                                            QString::fromLatin1(window)});
        runTool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("--clearmodifiers"),
                                            QStringLiteral("Return")});
    }
    if (box.exitCode != 0 || window.isEmpty())
        qWarning().noquote() << "reader exit code" << box.exitCode << box.errorOutput
                             << "window" << window;
    return box.exitCode == 0 && !window.isEmpty() ? box.output : QString();
}

QString readAndDismissBox(const QString &title, QProcess &program, RunResult *programRun)
{
    const QString box = dismissBox(title);
    *programRun = finish(program);
    return box;
}

void clearProgramCaches()
{
    QDirIterator caches(driveC() + QStringLiteral("/users"),
                        {QStringLiteral("update-manifests"), QStringLiteral("update-stage")}, QDir::Dirs,
                        QDirIterator::Subdirectories);
    QStringList found;
    while (caches.hasNext())
        found << caches.next();
    for (const QString &cache : std::as_const(found))
        QDir(cache).removeRecursively();
}

QString localAppData()
{
    // The user's profile is the one folder of C:\users that is not Public's.
    const QStringList users = QDir(driveC() + QStringLiteral("/users"))
                                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                                  .filter(QRegularExpression(QStringLiteral("^(?!Public$)")));
    if (users.size() != 1)
        qFatal("test set-up: the prefix has no single user profile: %s", qPrintable(users.join(u' ')));
    return driveC() + QStringLiteral("/users/") + users.first() + QStringLiteral("/AppData/Local");
}

QString roamingAppData()
{
    return QFileInfo(localAppData()).path() + QStringLiteral("/Roaming");
}

QString startMenuPrograms()
{
    return roamingAppData() + QStringLiteral("/Microsoft/Windows/Start Menu/Programs");
}

QMap<QString, QString> registryValues(const QString &key)
{
    QTemporaryDir dir(testsFolder() + QStringLiteral("/reg-XXXXXX"));
    const QString file = dir.filePath(QStringLiteral("key.reg"));
    const RunResult exported = run(QStringLiteral("reg"),
                                   {QStringLiteral("export"), key, windowsPath(file)},
                                   environment(display()));
    QMap<QString, QString> values;
    const QByteArray bytes = testsupport::readFile(file);
    if (exported.exitCode != 0 || bytes.size() < 2)
        return values;
    // UTF-16 with its byte order mark; one value a line: "name"="text" or "name"=dword:0000002a.
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()),
                                            bytes.size() / 2);
    static const QRegularExpression line(
        QStringLiteral("^\"((?:[^\"\\\\]|\\\\.)*)\"=(?:\"((?:[^\"\\\\]|\\\\.)*)\"|dword:([0-9a-f]{8}))\\r?$"),
        QRegularExpression::MultilineOption);
    const auto unescape = [](QString value) {
        return value.replace(QStringLiteral("\\\""), QStringLiteral("\"")).replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    };
    for (const QRegularExpressionMatch &match : line.globalMatch(text)) {
        values.insert(unescape(match.captured(1)),
                      match.capturedLength(3) > 0
                          ? QStringLiteral("REG_DWORD:%1").arg(match.captured(3).toUInt(nullptr, 16))
                          : QStringLiteral("REG_SZ:") + unescape(match.captured(2)));
    }
    return values;
}

QStringList listing(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries << QDir(folder).relativeFilePath(info.filePath()) + (info.isDir() ? QStringLiteral("/") : QString());
    }
    entries.sort();
    return entries;
}

namespace {

// The text of a box as the reader reports it (which writes the text's line breaks as "\n"),
// and what the box adds: icons and buttons.
std::pair<QString, QString> boxParts(const QString &report)
{
    QStringList lines = report.trimmed().split(u'\n');
    QString text;
    if (lines.value(0).startsWith(QStringLiteral("text:")))
        text = lines.takeFirst().mid(5).replace(QStringLiteral("\\n"), QStringLiteral("\n"));
    return {text, lines.join(u'\n')};
}

// Whether a Windows program still runs from below `folder`, a folder of drive C: with a name of
// its own: Wine shows each process by its command line, with a Windows path or a Linux one.
bool runsBelow(const QString &folder)
{
    const QByteArray name = '/' + QFileInfo(folder).fileName().toUtf8().toLower() + '/';
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &process : processes) {
        if (process.toInt() <= 0)
            continue;
        QByteArray commandLine = testsupport::readFile(QStringLiteral("/proc/") + process + QStringLiteral("/cmdline"));
        if (commandLine.replace('\\', '/').toLower().contains(name))
            return true;
    }
    return false;
}

} // namespace

Installation::Installation(StageDrive stageDrive)
    : AbstractInstallation(testsFolder() + QStringLiteral("/XXXXXX"), stageDrive == StageDrive::Z)
{
}

QByteArray Installation::appImage() const
{
    return appBinary();
}

QByteArray Installation::updaterImage() const
{
    return updaterBinary();
}

QProcessEnvironment Installation::environment() const
{
    return wine::environment(display(), logPath());
}

RunResult Installation::runUpdater(const QStringList &arguments, int timeoutMs) const
{
    QProcess process;
    startUpdater(process, arguments);
    return finish(process, timeoutMs);
}

void Installation::startUpdater(QProcess &process, const QStringList &arguments) const
{
    start(process, updaterProgram(), arguments, environment(), home());
}

RunResult Installation::finish(QProcess &process, int timeoutMs) const
{
    return wine::finish(process, timeoutMs);
}

e2e::ShownText Installation::runShowingText(const QStringList &arguments) const
{
    QProcess updater;
    startUpdater(updater, arguments);
    e2e::ShownText shown;
    const QString box = readAndDismissBox(Msg::messageTitle, updater, &shown.run);
    if (box.isEmpty())
        return shown;
    shown.title = Msg::messageTitle;
    std::tie(shown.text, shown.decorations) = boxParts(box);
    return shown;
}

RunResult Installation::runApp(const QStringList &arguments) const
{
    return run(root() + QStringLiteral("/Vellumix.exe"), arguments, environment());
}

e2e::AppCycle Installation::runAppCycle(qsizetype textsShown) const
{
    e2e::AppCycle cycle;
    QProcess app;
    start(app, root() + QStringLiteral("/Vellumix.exe"), {}, environment());
    // The texts come from the updater that the program starts: each is read and dismissed.
    for (qsizetype i = 0; i < textsShown; ++i) {
        const QString box = dismissBox(Msg::messageTitle);
        if (box.isEmpty())
            break;
        cycle.shown << boxParts(box).first;
    }
    cycle.run = finish(app);
    // The cycle has ended once no process of this installation is left. One that does not end
    // may be showing a text beyond those expected: it is read, so that it counts.
    QElapsedTimer waited;
    waited.start();
    while (runsBelow(home())) {
        if (waited.elapsed() > 60000) {
            const QString box = dismissBox(Msg::messageTitle, 5000);
            if (box.isEmpty()) {
                cycle.run.exitCode = -1;
                cycle.run.errorOutput += QStringLiteral("\n<a process of the cycle did not end>");
                break;
            }
            cycle.shown << boxParts(box).first;
            waited.restart();
        }
        QThread::msleep(100);
    }
    return cycle;
}

void Installation::startFetch(QProcess &process, const QStringList &arguments,
                              const QProcessEnvironment &extra) const
{
    // With the suite's display, as every program that may start the prefix's Wine session: the
    // session keeps the display of the program that started it, and a message box of a later
    // program (the updater's, the smoke test's) appears there or nowhere.
    QProcessEnvironment environment = wine::environment(display());
    for (const QString &name : extra.keys())
        environment.insert(name, extra.value(name));
    start(process, fetchProgram(), arguments, environment, home());
}

QByteArray Installation::guideProgram(int sequence) const
{
    static const QByteArray programs[] = {readBinary(VELLUMIX_WINDOWS_MINIMAL_APP_V1),
                                          readBinary(VELLUMIX_WINDOWS_MINIMAL_APP_V2),
                                          readBinary(VELLUMIX_WINDOWS_MINIMAL_APP_V3)};
    Q_ASSERT(sequence >= 1 && sequence <= 3);
    return programs[sequence - 1];
}

QString Installation::cacheFolder() const
{
    return driveC() + QStringLiteral("/users");
}

bool Installation::trustInSystemStore(const QString &caFile, bool trusted) const
{
    return run(rootStoreTool(), {trusted ? QStringLiteral("add") : QStringLiteral("remove"), windowsPath(caFile)},
               wine::environment(display()))
               .exitCode
        == 0;
}

std::unique_ptr<e2e::ParentProcess> Installation::startParent(e2e::ParentLife life) const
{
    switch (life) {
    case e2e::ParentLife::Ended: {
        auto parent = std::make_unique<WindowsSleeper>(0);
        parent->waitForEnd();
        return parent;
    }
    case e2e::ParentLife::Moment:
        return std::make_unique<WindowsSleeper>(2000);
    case e2e::ParentLife::Checks:
        return std::make_unique<WindowsSleeper>(8000);
    case e2e::ParentLife::WholeRun:
        break;
    }
    return std::make_unique<WindowsSleeper>(60000);
}

WindowsSleeper::WindowsSleeper(int ms)
{
    AppVersion sleeper;
    sleeper.version = QStringLiteral("sleeper");
    sleeper.behaviour = QStringLiteral("never");
    sleeper.runMs = ms;
    m_home.install(sleeper);
    start(m_process, m_home.root() + QStringLiteral("/Vellumix.exe"),
          {QStringLiteral("--vellumix-update-probe=sleep")}, m_home.environment());
    if (!m_home.waitForAppLog(QStringLiteral("started for its health probe")))
        return;
    static const QRegularExpression processId(QStringLiteral("process (\\d+)$"));
    const QRegularExpressionMatch match = processId.match(m_home.appLog().constFirst());
    if (match.hasMatch())
        m_pid = match.captured(1).toUInt();
}

WindowsSleeper::~WindowsSleeper()
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(60000))
        m_process.kill();
}


QByteArray updaterBinary()
{
    static const QByteArray binary = readBinary(VELLUMIX_WINDOWS_UPDATER);
    return binary;
}

QByteArray appBinary()
{
    static const QByteArray binary = readBinary(VELLUMIX_WINDOWS_SAMPLE_APP);
    return binary;
}

QString updaterProgram()
{
    return QStringLiteral(VELLUMIX_WINDOWS_UPDATER);
}

QString fetchProgram()
{
    return QStringLiteral(VELLUMIX_WINDOWS_FETCH);
}

QString smokeTestProgram()
{
    return QStringLiteral(VELLUMIX_WINDOWS_SMOKE_TEST);
}

QString messageBoxReader()
{
    return QStringLiteral(VELLUMIX_MESSAGEBOX_READER);
}

QString rootStoreTool()
{
    return QStringLiteral(VELLUMIX_ROOT_STORE);
}

QString tlsProbe()
{
    return QStringLiteral(VELLUMIX_WINDOWS_TLS_PROBE);
}

} // namespace wine
