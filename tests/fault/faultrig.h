// The rig of the fault-injection tests: a reference update of twenty files over a program root
// that already went through one update, runs of the real updater under strace with one injected
// fault, and the rules that every outcome must keep.
#pragma once

#include "installation.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace fault {

// The system calls by which the updater changes anything on disk, as strace names them.
const QStringList &mutatingCalls();

// One system call of a trace: its name and the whole line as strace wrote it.
struct TracedCall
{
    QString name;
    QString line;
    bool injected = false; // strace changed this call (error injected, or killed before it)
};

// A call that counts as a change: an open for writing or creating, or any other mutating call.
bool isMutating(const TracedCall &call);

// The calls of one strace output file (written with -o, one process, no -f).
QList<TracedCall> readTrace(const QString &traceFile);

// How the new version behaves in a scenario.
enum class NewVersion {
    Confirms, // writes its health file and ends: the update becomes final
    Crashes,  // ends at once without confirming: the updater rolls back in the same run
};

// Where the runs of one test case happen: a tmpfs when the tests run as root (so that the
// flushes cost nothing and nothing lands on the shared disk), the usual temporary directory
// otherwise.
class Scratch
{
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

private:
    std::unique_ptr<testsupport::SmallDisk> m_disk;
    QByteArray m_oldTmpDir;
};

// The reference update: twenty files (replaced, new, unchanged, in subdirectories old and new,
// the two programs among them) over a program root that keeps the journal, the installed record
// and the backup of an earlier update. The stage is signed once and shared by every run.
class ReferenceUpdate
{
public:
    explicit ReferenceUpdate(NewVersion behaviour);

    // A fresh program root holding the old version.
    std::unique_ptr<e2e::Installation> freshInstallation() const;
    QStringList applyArguments(const e2e::Installation &installation) const;

    const testsupport::TreeSnapshot &oldTree() const { return m_oldTree; }
    const testsupport::TreeSnapshot &newTree() const { return m_newTree; }
    // The relative paths of the old files that the update replaces.
    const QStringList &replacedPaths() const { return m_replaced; }
    // The directories that the install creates for new files (the rollback leaves them).
    const QStringList &createdDirectories() const { return m_createdDirectories; }
    QString stage() const { return m_stageDir.path(); }

private:
    QTemporaryDir m_stageDir;
    QList<testsupport::FileSpec> m_oldFiles;
    QList<testsupport::FileSpec> m_newFiles;
    testsupport::TreeSnapshot m_oldTree;
    testsupport::TreeSnapshot m_newTree;
    QStringList m_replaced;
    QStringList m_createdDirectories;
};

// The program tree compared with the old one. Empty directories that the install created for new
// files may remain: the rollback leaves them by design. Empty when equal.
QString differenceFromOld(const ReferenceUpdate &update, const e2e::Installation &installation);
QString differenceFromNew(const ReferenceUpdate &update, const e2e::Installation &installation);
// Every old file that the update replaces is either in place or in the backup, unchanged.
QString lostOldFiles(const ReferenceUpdate &update, const e2e::Installation &installation);

// The journal says that the reference update (sequence 2) became final. The program root starts
// with the "healthy" journal of the update before it, which says nothing about this one.
bool updateBecameHealthy(const e2e::Installation &installation);

// One fault for strace to inject: `action` ("signal=KILL", "error=EIO", ...) into occurrence
// `occurrence` of `call`, and into every later one when `persistent`.
struct Injection
{
    QString call;
    QString action;
    int occurrence = 1;
    bool persistent = false;
};

// One run of the updater under strace with injected faults.
struct InjectedRun
{
    e2e::RunResult result;  // exit code -1 when the updater was killed
    bool reached = false;   // every chosen occurrence happened, so every fault was injected
    QString injectedCall;   // the line of the first call that a fault hit
};

// Runs the updater with `arguments` under strace with the `injections` (each on its own call).
// Only the updater is traced: the programs it starts run free.
InjectedRun runInjected(const e2e::Installation &installation, const QStringList &arguments,
                        const QList<Injection> &injections);
InjectedRun runInjected(const e2e::Installation &installation, const QStringList &arguments,
                        const QString &call, const QString &action, int occurrence,
                        bool persistent = false);

// The occurrences of each mutating call in a run of the updater with `arguments` (under the
// `injections`, if any), 1-based, in the numbering that strace's "when=" uses (every call of that
// name counts, also those that change nothing, such as a read-only open). With `afterInjection`
// only the calls after the first injected one are listed. Empty when the run was killed.
QMap<QString, QList<int>> mutatingOccurrences(const e2e::Installation &installation,
                                              const QStringList &arguments,
                                              const QList<Injection> &injections = {},
                                              bool afterInjection = false);
// Those of an undisturbed apply of the reference update over a fresh program root.
QMap<QString, QList<int>> mutatingOccurrences(const ReferenceUpdate &update);

// The occurrences to try: all of them in the full sweep (VELLUMIX_FAULT_SWEEP=full), otherwise
// the first, the second, one from the middle and the last.
QList<int> occurrencesToTry(const QList<int> &all);
bool fullSweep();

bool haveStrace();

} // namespace fault
