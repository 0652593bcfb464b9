// The Windows programs under Wine, driven from Linux: program roots on drive C: of the Wine
// prefix (Wine marks the root of drive Z:, the Linux root, as a reparse point, so the updater's
// upward link walk refuses every Z: path), staging directories on either drive, updates signed
// on the Linux side with the development key that the Windows build compiles in.
#pragma once

#include "signing.h"
#include "testsupport.h"

#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace wine {

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

struct RunResult
{
    int exitCode = -1;
    QString errorOutput;
    QString output;
};

// Runs a Windows program (a Linux path) with `arguments` through scripts/wine-run.sh and waits.
RunResult run(const QString &program, const QStringList &arguments,
              const QProcessEnvironment &environment, int timeoutMs = 180000);
// Starts it without waiting.
void start(QProcess &process, const QString &program, const QStringList &arguments,
           const QProcessEnvironment &environment);
RunResult finish(QProcess &process, int timeoutMs = 180000);

struct AppVersion
{
    QString version;
    qint32 sequence = 1;
    QString behaviour = QStringLiteral("confirm");
    int runMs = 100;
};

enum class StageDrive { C, Z };

class Installation
{
public:
    explicit Installation(StageDrive stageDrive = StageDrive::C);

    QString root() const { return m_root; }
    QString stage() const { return m_stage; }
    QString workPath(const QString &name) const
    {
        return m_root + QStringLiteral("/.vellumix-update/") + name;
    }

    // The files of a version: the stand-in, the updater, its settings and a few libraries, and
    // those added with addFile.
    QList<testsupport::FileSpec> filesOf(const AppVersion &version) const;
    // One more file in every version, at `path` below the program root.
    void addFile(const QString &path) { m_extraFiles.append(path); }
    void install(const AppVersion &version);
    QByteArray stageUpdate(const AppVersion &version);

    testsupport::TreeSnapshot programTree() const;
    static testsupport::TreeSnapshot treeOf(const AppVersion &version);

    // The Windows paths of the program root and the staging directory, with --quiet.
    QStringList applyArguments() const;
    QStringList recoverArguments() const;

    RunResult runUpdater(const QStringList &arguments) const;
    void startUpdater(QProcess &process, const QStringList &arguments) const;
    // Vellumix.exe of the program root, as the user or the system would start it.
    RunResult runApp(const QStringList &arguments) const;
    QProcessEnvironment environment() const;

    QStringList appLog() const;
    bool waitForAppLog(const QString &text, int timeoutMs = 60000) const;
    QString journalState() const;
    // Waits until the journal has `state`; answers whether it came.
    bool waitForJournalState(const QString &state, int timeoutMs = 120000) const;

private:
    QTemporaryDir m_tmp;
    QTemporaryDir m_linuxTmp;
    QString m_root;
    QString m_stage;
    QString m_log;
    QStringList m_extraFiles;
};

// A Windows process that lives for a while and then ends by itself: a parent to wait for. It is
// the stand-in started for a probe that never confirms, in a program root of its own; its
// Windows process id comes from the stand-in's log.
class WindowsSleeper
{
public:
    explicit WindowsSleeper(int ms);
    ~WindowsSleeper();
    quint32 pid() const { return m_pid; }
    bool waitForEnd(int timeoutMs = 60000);

private:
    Installation m_home;
    QProcess m_process;
    quint32 m_pid = 0;
};

// A feed made as a release is made: `files` staged as `version` by the Linux build's
// vellumix-publish with the development key, and published into `feedDir`; with `deltas`, staged
// with deltas against the releases that the feed already holds. Answers the tool's output when
// it fails, empty when the feed is ready.
QString publishFeed(const QString &feedDir, const QList<testsupport::FileSpec> &files,
                    const AppVersion &version, bool deltas = false);
// The first element of `list` ("files" or "deltas") for `path` in the channel "stable" of a feed.
QJsonObject feedEntry(const QString &feedDir, const QString &path,
                      const QString &list = QStringLiteral("files"));

QByteArray updaterBinary();
QByteArray appBinary();
QString updaterProgram();
QString fetchProgram();
QString smokeTestProgram();
QString messageBoxReader();
QString rootStoreTool();
QString tlsProbe();

} // namespace wine
