// The runner of this build's programs on this machine.
#include "installation.h"
#include "messages.h"

#include <QFileInfo>

// The application's side of this build, where it has one.
#ifndef VELLUMIX_FETCH_PROGRAM
#define VELLUMIX_FETCH_PROGRAM ""
#define VELLUMIX_MINIMAL_APP_V1 ""
#define VELLUMIX_MINIMAL_APP_V2 ""
#define VELLUMIX_MINIMAL_APP_V3 ""
#endif

namespace e2e {

namespace {

QByteArray readBinary(const char *path)
{
    const QByteArray contents = testsupport::readFile(QString::fromUtf8(path));
    if (contents.isEmpty())
        qFatal("test set-up: cannot read %s", path);
    return contents;
}

} // namespace

QByteArray Installation::updaterBinary()
{
    static const QByteArray binary = readBinary(VELLUMIX_UPDATER_BINARY);
    return binary;
}

QByteArray Installation::appBinary()
{
    static const QByteArray binary = readBinary(VELLUMIX_SAMPLE_APP_BINARY);
    return binary;
}

QByteArray Installation::appImage() const
{
    return appBinary();
}

QByteArray Installation::updaterImage() const
{
    return updaterBinary();
}

QString Installation::updaterProgram()
{
    return QString::fromUtf8(VELLUMIX_UPDATER_BINARY);
}

QProcessEnvironment Installation::environment(const QString &program) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELLUMIX_SAMPLE_LOG"), logPath());
    // Under a tracer (strace), a build with AddressSanitizer cannot check for leaks: the leak
    // check needs ptrace itself and fails the run. Memory errors are still caught.
    if (program != updaterProgram())
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    return environment;
}

RunResult Installation::runUpdater(const QStringList &arguments, int timeoutMs) const
{
    return runProgram(updaterProgram(), arguments, timeoutMs);
}

void Installation::startUpdater(QProcess &process, const QStringList &arguments) const
{
    process.setProcessEnvironment(environment(updaterProgram()));
    process.setWorkingDirectory(home());
    process.start(updaterProgram(), arguments);
    process.waitForStarted();
}

RunResult Installation::finish(QProcess &process, int timeoutMs) const
{
    RunResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.errorOutput = QStringLiteral("<the program did not end in time>");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.errorOutput = QString::fromUtf8(process.readAllStandardError());
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    if (result.errorOutput.endsWith(u'\n'))
        result.errorOutput.chop(1);
    return result;
}

RunResult Installation::runProgram(const QString &program, const QStringList &arguments,
                                   int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(environment(program));
    process.setWorkingDirectory(home());
    process.start(program, arguments);
    return finish(process, timeoutMs);
}

ShownText Installation::runShowingText(const QStringList &arguments) const
{
    // Linux has no message box: its stand-in writes the title line and the text to standard
    // error.
    ShownText shown;
    shown.run = runUpdater(arguments);
    shown.title = shown.run.errorOutput.section(u'\n', 0, 0);
    shown.text = shown.run.errorOutput.section(u'\n', 1);
    shown.run.errorOutput.clear();
    return shown;
}

RunResult Installation::runApp(const QStringList &arguments) const
{
    return runProgram(root() + QStringLiteral("/Vellumix.exe"), arguments);
}

std::unique_ptr<ParentProcess> Installation::startParent(ParentLife life) const
{
    switch (life) {
    case ParentLife::Ended: {
        auto parent = std::make_unique<Sleeper>(0);
        parent->stop();
        return parent;
    }
    case ParentLife::Moment:
        return std::make_unique<Sleeper>(1000);
    case ParentLife::Checks:
        return std::make_unique<Sleeper>(3000);
    case ParentLife::WholeRun:
        break;
    }
    return std::make_unique<Sleeper>(60000);
}

RunResult Installation::runUpdaterUnder(Launcher launcher, const QStringList &arguments) const
{
    if (launcher == Launcher::Reaper)
        return runProgram(QString::fromUtf8(VELLUMIX_REAPER_BINARY),
                          QStringList{updaterProgram()} + arguments);
    return runProgram(QStringLiteral("strace"),
                      QStringList{QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o"),
                                  QStringLiteral("/dev/null"), QStringLiteral("-e"),
                                  QStringLiteral("trace=unlink,unlinkat"), QStringLiteral("-e"),
                                  QStringLiteral("inject=unlink,unlinkat:error=EBUSY"), updaterProgram()}
                          + arguments);
}

AppCycle Installation::runAppCycle(qsizetype) const
{
    const QString trace = home() + QStringLiteral("/cycle.trace");
    AppCycle cycle;
    cycle.run = runProgram(QStringLiteral("strace"),
                           {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-e"),
                            QStringLiteral("trace=execve"), QStringLiteral("-o"), trace,
                            root() + QStringLiteral("/Vellumix.exe")});
    cycle.followed = true;
    const QStringList calls = QString::fromUtf8(testsupport::readFile(trace)).split(u'\n');
    for (const QString &call : calls) {
        const qsizetype quote = call.indexOf(QStringLiteral("execve(\""));
        if (quote >= 0 && !call.contains(QStringLiteral("= -1")))
            cycle.started << QFileInfo(call.mid(quote + 8).section(u'"', 0, 0)).fileName();
    }
    // Linux's stand-in of the message box writes the title line, then the text.
    const QStringList lines = cycle.run.errorOutput.split(u'\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (lines.at(i) == Msg::messageTitle)
            cycle.shown << lines.at(i + 1);
    }
    return cycle;
}

void Installation::startFetch(QProcess &process, const QStringList &arguments,
                              const QProcessEnvironment &extra) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : extra.keys())
        environment.insert(name, extra.value(name));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(home());
    process.start(QString::fromUtf8(VELLUMIX_FETCH_PROGRAM), arguments);
    process.waitForStarted();
}

QByteArray Installation::guideProgram(int sequence) const
{
    static const QByteArray programs[] = {readBinary(VELLUMIX_MINIMAL_APP_V1),
                                          readBinary(VELLUMIX_MINIMAL_APP_V2),
                                          readBinary(VELLUMIX_MINIMAL_APP_V3)};
    Q_ASSERT(sequence >= 1 && sequence <= 3);
    return programs[sequence - 1];
}

QString Installation::cacheFolder() const
{
    return qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + QStringLiteral("/.cache"));
}

Sleeper::Sleeper(int ms)
{
    m_process.start(QStringLiteral("sleep"), {QString::number(ms / 1000.0, 'f', 3)});
    m_process.waitForStarted();
    m_pid = quint32(m_process.processId());
}

Sleeper::~Sleeper()
{
    stop();
}


} // namespace e2e
