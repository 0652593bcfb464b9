// A program root with the stand-in application and the real updater, a staging directory with a
// signed update, and runs of the real VellumixUpdater binary against them.
#pragma once

#include "signing.h"
#include "testsupport.h"

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

namespace e2e {

struct RunResult
{
    int exitCode = -1;
    QString errorOutput; // standard error: the final text with --quiet
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

class Installation
{
public:
    Installation();

    QString root() const { return m_root; }
    QString stage() const { return m_stage; }
    QString workPath(const QString &name) const { return m_root + QStringLiteral("/.vellumix-update/") + name; }

    // The files of one version: the two programs, the settings of the stand-in and two libraries.
    QList<testsupport::FileSpec> filesOf(const AppVersion &version) const;
    // Puts `version` into the program root as if installed, with the work directory.
    void install(const AppVersion &version);
    // Stages `version` as a signed update; answers the manifest bytes.
    QByteArray stageUpdate(const AppVersion &version);

    testsupport::TreeSnapshot programTree() const;
    testsupport::TreeSnapshot treeOf(const AppVersion &version) const;

    // Runs the real updater with `arguments` (nothing is added) and waits for it.
    RunResult runUpdater(const QStringList &arguments, int timeoutMs = 120000) const;
    // The same for any program (for instance the updater under strace).
    RunResult runProgram(const QString &program, const QStringList &arguments,
                         int timeoutMs = 120000) const;
    // The usual apply and recovery command lines, with --quiet.
    QStringList applyArguments() const;
    QStringList recoverArguments() const;

    // The stand-in's log: one line per event, from every process of this installation.
    QStringList appLog() const;
    // Waits until the log has a line containing `text`; answers whether it came.
    bool waitForAppLog(const QString &text, int timeoutMs = 10000) const;
    QString journalState() const;

    static QByteArray updaterBinary();
    static QByteArray appBinary();

private:
    QTemporaryDir m_tmp;
    QString m_root;
    QString m_stage;
    QString m_log;
};

// A process that lives for `ms` milliseconds: a parent to wait for.
class Sleeper
{
public:
    explicit Sleeper(int ms);
    ~Sleeper();
    quint32 pid() const { return quint32(m_process.processId()); }
    void stop();

private:
    QProcess m_process;
};

} // namespace e2e
