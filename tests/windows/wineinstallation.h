// The Windows programs under Wine, driven from Linux: program roots on drive C: of the Wine
// prefix (Wine marks the root of drive Z:, the Linux root, as a reparse point, so the updater's
// upward link walk refuses every Z: path), staging directories on either drive, updates signed
// on the Linux side with the development key that the Windows build compiles in. The runner of
// the shared end-to-end scenarios (tests/e2e/scenarios.h, feedscenarios.h) for the Windows
// programs.
#pragma once

#include "installation.h"

#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

namespace wine {

using e2e::AppVersion;
using e2e::RunResult;

// The Wine prefix of the suite ($WINEPREFIX) and its drive C: as a Linux path.
QString prefix();
QString driveC();
// The Windows form of a Linux path: "C:/..." inside drive C:, "Z:/..." elsewhere.
QString windowsPath(const QString &linuxPath);

// The environment of every Windows program of the suite: the X display of the suite when one is
// given (empty: none), a Chinese Windows locale, Qt's warnings on standard error, and the
// stand-in's log.
QProcessEnvironment environment(const QString &display, const QString &appLog = QString());

// Text in code page 936 (GBK), as a Chinese Windows writes it.
QString fromCodePage936(const QByteArray &bytes);

// Where the suite's X server is; set once by the test case.
void setDisplay(const QString &display);
QString display();

// Runs a Windows program (a Linux path) with `arguments` through scripts/wine-run.sh and waits.
RunResult run(const QString &program, const QStringList &arguments,
              const QProcessEnvironment &environment, int timeoutMs = 180000);
// Starts it without waiting (in `workingDirectory` when one is given).
void start(QProcess &process, const QString &program, const QStringList &arguments,
           const QProcessEnvironment &environment, const QString &workingDirectory = QString());
RunResult finish(QProcess &process, int timeoutMs = 180000);

// Runs a Linux tool with the suite's display, answers its exit code (-1: it did not end).
int runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);

// Reads the message box titled `title` that a program shows within `timeoutMs` and dismisses it
// with the Return key on the X server. Answers the reader's report ("text:", "icons:", "button:"
// lines), empty when no such box appeared.
QString dismissBox(const QString &title, int timeoutMs = 60000);
// The same for the box of `program` (it has been started), and waits for the program to end.
QString readAndDismissBox(const QString &title, QProcess &program, RunResult *programRun);

// Empties the programs' per-user caches (kept manifests, default stages), as on a fresh machine.
void clearProgramCaches();

// The user's folders of the prefix, as Linux paths: %LOCALAPPDATA%, %APPDATA% and the Start
// menu's programs.
QString localAppData();
QString roamingAppData();
QString startMenuPrograms();
// The values of a registry key of the prefix (through "reg export"), as "name" -> "REG_SZ:text"
// or "REG_DWORD:<decimal>"; empty when the key does not exist.
QMap<QString, QString> registryValues(const QString &key);
// Every file and folder below `folder`, relative, sorted, folders with a final "/": a listing
// for a test's output.
QStringList listing(const QString &folder);

enum class StageDrive { C, Z };

class Installation : public e2e::AbstractInstallation
{
public:
    explicit Installation(StageDrive stageDrive = StageDrive::C);

    QString programPath(const QString &path) const override { return windowsPath(path); }

    RunResult runUpdater(const QStringList &arguments, int timeoutMs = 180000) const override;
    void startUpdater(QProcess &process, const QStringList &arguments) const override;
    RunResult finish(QProcess &process, int timeoutMs = 180000) const override;
    e2e::ShownText runShowingText(const QStringList &arguments) const override;
    RunResult runApp(const QStringList &arguments) const override;
    std::unique_ptr<e2e::ParentProcess> startParent(e2e::ParentLife life) const override;
    // Followed until no process of this installation is left: Wine shows each Windows process
    // by its command line. What the detached ones print is not seen.
    e2e::AppCycle runAppCycle(qsizetype textsShown = 0) const override;
    void startFetch(QProcess &process, const QStringList &arguments,
                    const QProcessEnvironment &extra = {}) const override;
    QByteArray guideProgram(int sequence) const override;
    QString cacheFolder() const override;
    // The prefix's ROOT store, through root-store.exe.
    bool trustInSystemStore(const QString &caFile, bool trusted) const override;

    QProcessEnvironment environment() const;

protected:
    QByteArray appImage() const override;
    QByteArray updaterImage() const override;
};

// A Windows process that lives for a while and then ends by itself: a parent to wait for. It is
// the stand-in started for a probe that never confirms, in a program root of its own; its
// Windows process id comes from the stand-in's log.
class WindowsSleeper : public e2e::ParentProcess
{
public:
    explicit WindowsSleeper(int ms);
    ~WindowsSleeper() override;

private:
    Installation m_home;
};

QByteArray updaterBinary();
QByteArray appBinary();
QString updaterProgram();
QString fetchProgram();
QString smokeTestProgram();
QString messageBoxReader();
QString rootStoreTool();
QString tlsProbe();

} // namespace wine
