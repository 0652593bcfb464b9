// The end-to-end scenarios of the updater, written once: what the program root holds, what the
// stage holds, how the updater is run, and what must be true afterwards. The native suite
// (tst_updater_e2e) runs them with this build's programs, the Wine suite (tst_wine_updater) with
// the Windows programs; a scenario that cannot run on one side says why in the table.
#pragma once

#include "installation.h"

#include <QJsonObject>

#include <optional>

namespace e2e {

enum class Platform { Native, Wine };

enum class Tampering {
    None,
    Payload,    // the payload changed after signing
    OtherKey,   // the payload signed by another key
    StagedFile, // a staged file changed after staging
};

enum class Run {
    Apply,              // the usual command line with --quiet, and `arguments`
    Recover,            // the recovery command line with --quiet, and `arguments`
    ShowingText,        // the apply without --quiet: the final text is shown
    Arguments,          // `arguments` alone, "@root" and "@stage" named as the program names them
    Relative,           // root and stage named relative to the working directory
    WithParent,         // the apply with --parent `arguments`' first ("@ended", "@moment": a process)
    BesideWaitingRun,   // a second apply and a recovery while a first apply waits for its parent
    AfterKilledRun,     // the apply after a run was killed while it held the lock
    WhileLockHeld,      // the recovery while this test holds the lock (exit 3), then once it let go
    RepeatedUnderReaper, // 25 applies, each under a parent that reaps at once what ends
    RemovalsFail,       // the apply with every removal failing, then a recovery
    RealProbe,          // the apply with the real 90-second probe, then (new version ended) a recovery
    ApplicationApplies, // the stand-in started with --apply-update: it starts the updater and exits
    ApplicationStarts,  // a plain start of the stand-in
};

enum class Tree {
    New,             // the files of version 2
    Old,             // the files of version 1
    AsBefore,        // as before the run (the work directory aside)
    WholeRootAsBefore, // as before the run, the work directory included
};

// installed.json afterwards.
enum class Installed { Unchecked, None, New };

// What must be true after the run.
struct Outcome
{
    int exitCode = 0;
    QString text{}; // the final text: standard error with --quiet
    Tree tree = Tree::New;
    std::optional<QString> journalState = QStringLiteral("healthy"); // "": no journal
    Installed installed = Installed::New;
    QString started = QStringLiteral("version 2.0.0 confirmed its start"); // a line of the stand-in's log
};

struct Scenario
{
    QString group{}; // what the scenarios of a group show together
    QString name{};
    Outcome outcome{};
    // How the updater is run.
    Run run = Run::Apply;
    QStringList arguments{};
    // The program root: version 1 installed, and...
    QString interruptedJournal{}; // an install of version 2 interrupted in this journal state
    QList<testsupport::FileSpec> workFiles{}; // files in the work directory ("@pipe": a named pipe)
    QString link{};      // this directory moved elsewhere and a symbolic link to it in its place
    QString addedFile{}; // one more file in both versions
    // The stage: version 2 (when `staged`), and...
    bool staged = true;
    QString behaviour = QStringLiteral("confirm");
    int runMs = 100;
    QByteArray mainProgram{};  // replaces Vellumix.exe of version 2
    bool notExecutable = false; // the staged Vellumix.exe without execute permission (Linux's)
    Tampering tampering = Tampering::None;
    bool stageElsewhere = false; // the stage on another drive
    // Further checks.
    bool nothingStarted = false; // no line in the stand-in's log at all
    bool compactJournal = false; // the journal as the updater writes it: compact, 3 entries
    bool lockGone = true;
    bool thenApplyAgain = false; // a second apply then succeeds
    // Why it does not run on a side (empty: it runs there).
    QString notNative{};
    QString notOnWine{};
    bool slow = false; // run by its own test function in the slow suite
};

// Every scenario of the updater's runs.
const QList<Scenario> &updaterScenarios();
// The scenario called `group: name`; the process ends when there is none.
const Scenario &scenarioNamed(const QString &group, const QString &name);

// The rows of a data-driven test: one per scenario of the table except the slow ones, as
// "group: name" with the column "scenario" (an index into updaterScenarios()).
void addScenarioRows();

// Lays out `installation` as `scenario` says, runs it and checks the outcome with QTest's
// macros; returns at the first failed check.
void runScenario(AbstractInstallation &installation, const Scenario &scenario, Platform platform);

// A feed made as a release is made: `files` staged as `version` by vellumix-publish (this
// build's) with the development key and published into `feedDir`; with `deltas`, staged with
// deltas against the releases that the feed already holds. Answers the tool's output when it
// fails, empty when the feed is ready.
QString publishFeed(const QString &feedDir, const QList<testsupport::FileSpec> &files,
                    const AppVersion &version, bool deltas = false);
// The first element of `list` ("files" or "deltas") for `path` in the channel "stable" of a feed.
QJsonObject feedEntry(const QString &feedDir, const QString &path, const QString &list = QStringLiteral("files"));

// The application updates itself over HTTP from a feed served by nginx: the stand-in checks the
// feed, downloads only the files that differ, starts the real updater and exits; the updater
// installs and version 2 confirms. With `deltas`, the installed Vellumix.exe is an earlier build
// of it (the same program with bytes at its end that the system does not load), published into
// the feed as version 1 before version 2 was staged with deltas against that feed: the running
// program's own file is the delta's base, and its whole blob never travels.
void runSelfUpdateFromFeed(AbstractInstallation &installation, bool deltas);

} // namespace e2e
