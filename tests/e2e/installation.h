// A program root with the stand-in application and the real updater, a staging directory with a
// signed update, and runs of the real VellumixUpdater binary against them. AbstractInstallation
// is what the end-to-end scenarios (scenarios.h, and the application's side in feedscenarios.h)
// are written against; Installation runs the programs of this build on this machine,
// wine::Installation (tests/windows) runs the Windows programs under Wine. What differs between
// the two (where a path lies and how a program names it, how a program is started and followed,
// how its output is decoded, how a parent process is made, where the final text is shown) is all
// that a runner implements.
#pragma once

#include "signing.h"
#include "testsupport.h"

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace e2e {

struct RunResult
{
    int exitCode = -1;
    QString errorOutput; // standard error: the final text with --quiet
    QString output;      // standard output
};

struct AppVersion
{
    QString version;
    qint32 sequence = 1;
    QString behaviour = QStringLiteral("confirm");
    int runMs = 100;
    int delayMs = 0;
    QByteArray tag;         // changes the content of the version's library files
    QByteArray mainProgram; // replaces the stand-in's binary as Vellumix.exe when not empty
};

// A version of the stand-in, the rest as the defaults above.
inline AppVersion versionOf(const QString &version, qint32 sequence,
                            const QString &behaviour = QStringLiteral("confirm"), int runMs = 100)
{
    AppVersion result;
    result.version = version;
    result.sequence = sequence;
    result.behaviour = behaviour;
    result.runMs = runMs;
    return result;
}

// A process for the updater to wait for as its parent: each runner starts its own kind.
class ParentProcess
{
public:
    virtual ~ParentProcess() = default;
    // Its id, also once it has ended (QProcess forgets it then).
    quint32 pid() const { return m_pid; }
    // Waits until it has ended by itself; answers whether it did, in time.
    bool waitForEnd(int timeoutMs = 60000);
    // Ends it now.
    void stop();

protected:
    QProcess m_process;
    quint32 m_pid = 0;
};

// How long a parent lives: the runners pick the times, since a Windows program under Wine takes
// a second or two to start where a Linux one takes milliseconds.
enum class ParentLife {
    Ended,        // ended before the updater starts
    Moment,       // ends while the updater waits for it
    Checks,       // outlives a few further runs of the updater beside the waiting one
    WholeRun,     // outlives the run unless stopped
};

// A Linux program that the updater runs under, for a fault that only it can bring about.
enum class Launcher {
    Reaper,       // tests/e2e/reaper.cpp: every orphan below it is reaped at once
    RemovalsFail, // strace, with every unlink failing with EBUSY
};

// A start of Vellumix.exe as the user starts it, followed to the end of everything it leads to:
// the updater that it starts, the version that the updater starts, and so on.
struct AppCycle
{
    RunResult run;         // of the program started; with `followed`, the output of every process
    bool followed = false; // the runner saw every process: their output, and `started`
    QStringList started;   // the file names of the programs started, in order
    QStringList shown;     // the final texts that the updater showed, in order
};

// The final text as the updater shows it without --quiet.
struct ShownText
{
    RunResult run;
    QString title;       // empty when nothing was shown
    QString text;
    QString decorations; // what a runner's box adds: icons and buttons
};

class AbstractInstallation
{
public:
    virtual ~AbstractInstallation();
    AbstractInstallation(const AbstractInstallation &) = delete;
    AbstractInstallation &operator=(const AbstractInstallation &) = delete;

    // Paths on this machine.
    QString home() const { return m_home.path(); }
    QString root() const { return m_root; }
    QString stage() const { return m_stage; }
    QString workPath(const QString &name) const { return m_root + QStringLiteral("/.vellumix-update/") + name; }
    // The same path as the programs of this runner name it.
    virtual QString programPath(const QString &path) const { return path; }

    // The files of one version: the two programs, the settings of the stand-in, two libraries,
    // a document that never changes, and those added with addFile.
    QList<testsupport::FileSpec> filesOf(const AppVersion &version) const;
    // One more file in every version, at `path` below the program root.
    void addFile(const QString &path) { m_extraFiles.append(path); }
    // Puts `version` into the program root as if installed, with the work directory.
    void install(const AppVersion &version);
    // Stages `version` as a signed update; answers the manifest bytes.
    QByteArray stageUpdate(const AppVersion &version);

    testsupport::TreeSnapshot programTree() const;
    testsupport::TreeSnapshot treeOf(const AppVersion &version) const;

    // The usual apply and recovery command lines, with --quiet.
    QStringList applyArguments() const;
    QStringList recoverArguments() const;

    // Runs the real updater with `arguments` (nothing is added), in home(), and waits for it.
    virtual RunResult runUpdater(const QStringList &arguments, int timeoutMs = 180000) const = 0;
    // Starts it without waiting, and waits for one so started.
    virtual void startUpdater(QProcess &process, const QStringList &arguments) const = 0;
    virtual RunResult finish(QProcess &process, int timeoutMs = 180000) const = 0;
    // Runs the updater without --quiet and reads the final text where it is shown.
    virtual ShownText runShowingText(const QStringList &arguments) const = 0;
    // Vellumix.exe of the program root, as the user or the system would start it.
    virtual RunResult runApp(const QStringList &arguments) const = 0;
    virtual std::unique_ptr<ParentProcess> startParent(ParentLife life) const = 0;
    // Runs the updater under `launcher`; a runner that cannot answers exit code -1.
    virtual RunResult runUpdaterUnder(Launcher launcher, const QStringList &arguments) const;

    // The application's side. Vellumix.exe started without arguments, followed to the end of
    // its cycle (see AppCycle); `textsShown` final texts are expected on the way.
    virtual AppCycle runAppCycle(qsizetype textsShown = 0) const = 0;
    // vellumix-fetch with `arguments` (paths as programPath() names them) in home(), with the
    // variables of `extra` added to its environment; started, or run and waited for.
    virtual void startFetch(QProcess &process, const QStringList &arguments,
                            const QProcessEnvironment &extra = {}) const = 0;
    RunResult runFetch(const QStringList &arguments, const QProcessEnvironment &extra = {}) const;
    // The guide's program (sampleapp/minimal.cpp) as built for its release `sequence` (1 to 3).
    virtual QByteArray guideProgram(int sequence) const = 0;
    // The folder below which the programs keep their per-user caches (kept manifests, stages).
    virtual QString cacheFolder() const = 0;
    // Puts a certificate authority into the system's store of trusted roots, or takes it out;
    // a runner without such a store answers false.
    virtual bool trustInSystemStore(const QString &caFile, bool trusted) const;

    // The stand-in's log: one line per event, from every process of this installation.
    QStringList appLog() const;
    // Waits until the log has a line containing `text`; answers whether it came.
    bool waitForAppLog(const QString &text, int timeoutMs = 60000) const;
    QString journalState() const;
    // Waits until the journal has `state`; answers whether it came.
    bool waitForJournalState(const QString &state, int timeoutMs = 120000) const;

protected:
    // The installation lives in a fresh folder made from `homeTemplate` (a QTemporaryDir
    // template; empty: the default one), its stage in it or, with `stageElsewhere`, in a folder
    // of the default temporary directory.
    explicit AbstractInstallation(const QString &homeTemplate = QString(), bool stageElsewhere = false);
    QString logPath() const { return m_log; }
    virtual QByteArray appImage() const = 0;
    virtual QByteArray updaterImage() const = 0;

private:
    QTemporaryDir m_home;
    std::optional<QTemporaryDir> m_elsewhere;
    QString m_root;
    QString m_stage;
    QString m_log;
    QStringList m_extraFiles;
};

// The programs of this build, run on this machine.
class Installation : public AbstractInstallation
{
public:
    Installation() = default;

    RunResult runUpdater(const QStringList &arguments, int timeoutMs = 180000) const override;
    void startUpdater(QProcess &process, const QStringList &arguments) const override;
    RunResult finish(QProcess &process, int timeoutMs = 180000) const override;
    ShownText runShowingText(const QStringList &arguments) const override;
    RunResult runApp(const QStringList &arguments) const override;
    std::unique_ptr<ParentProcess> startParent(ParentLife life) const override;
    RunResult runUpdaterUnder(Launcher launcher, const QStringList &arguments) const override;
    // Followed with strace, which waits for every process below it and names each program that
    // one of them started.
    AppCycle runAppCycle(qsizetype textsShown = 0) const override;
    void startFetch(QProcess &process, const QStringList &arguments,
                    const QProcessEnvironment &extra = {}) const override;
    QByteArray guideProgram(int sequence) const override;
    QString cacheFolder() const override;

    // The same for any program (for instance the updater under strace).
    RunResult runProgram(const QString &program, const QStringList &arguments,
                         int timeoutMs = 180000) const;

    static QByteArray updaterBinary();
    static QByteArray appBinary();
    static QString updaterProgram();

protected:
    QByteArray appImage() const override;
    QByteArray updaterImage() const override;

private:
    QProcessEnvironment environment(const QString &program) const;
};

// A process that lives for `ms` milliseconds: a parent to wait for.
class Sleeper : public ParentProcess
{
public:
    explicit Sleeper(int ms);
    ~Sleeper() override;
};

} // namespace e2e
