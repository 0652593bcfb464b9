#include "scenarios.h"

#include "feedserver.h"
#include "messages.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QTest>

#include <signal.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace e2e {

namespace {

const AppVersion v1 = versionOf(u"1.0.0"_s, 1);

QString failureText(const QString &message)
{
    return Msg::failurePrefix + message + Msg::failureTail;
}

// The message box around the text: one information icon and one button, which a Chinese
// Windows labels "确定" (OK). Linux's stand-in of the box writes the title and the text only.
QString boxDecorations(Platform platform)
{
    return platform == Platform::Wine ? QStringLiteral(u"icons:1\nbutton:确定") : QString();
}

const QString kRealProbe = u"the real 90-second probe"_s;

const QString kStartedV1 = u"version 1.0.0 started"_s;
// A new version that ends unconfirmed: rolled back, the old version started again.
const Outcome kRolledBack{4, Msg::newVersionFailedRestored, Tree::Old, u"rolledback"_s, Installed::None, kStartedV1};

// A failure before anything changed: no journal, the old version started again.
Outcome refused(const QString &message)
{
    return {1, failureText(message), Tree::AsBefore, QString(), Installed::None, kStartedV1};
}

// A run that changes nothing in the root, the work directory included.
Outcome unchanged(int exitCode, const QString &text = QString())
{
    return {exitCode, text, Tree::WholeRootAsBefore, std::nullopt, Installed::Unchecked, QString()};
}

// The recovery over an install of version 2 interrupted in `state` (none: no journal).
Scenario recovery(const QString &state, bool rollsBack)
{
    return {.group = u"recovery with every journal state"_s, .name = state.isEmpty() ? u"no journal"_s : state,
            .outcome = {0, QString(), rollsBack ? Tree::Old : Tree::AsBefore, rollsBack ? u"rolledback"_s : state,
                        Installed::None, kStartedV1},
            // The stage is ignored in the recovery sequence.
            .run = Run::Recover, .arguments = {u"--stage"_s, u"/nonexistent"_s},
            .interruptedJournal = state, .staged = false};
}

QList<Scenario> makeTable()
{
    const QString unconfirmed = u"new version ends unconfirmed"_s;
    const QString tampered = u"tampered manifest is refused"_s;
    const QString shown = u"final text shown without quiet"_s;
    const QString commandLine = u"command line"_s;
    const QString parentIds = u"parent ids"_s;
    const QString lock = u"lock"_s;
    const QString unreadable = u"journal that cannot be read stops without a restart"_s;
    const QString link = u"directory link is refused"_s;
    const QString noManifest = failureText(Msg::cannotReadFile + u"manifest.json"_s);
    const auto journalFailure = [](const QString &problem) {
        return Outcome{6, problem + u'\n' + problem + Msg::backupKeptTail, Tree::AsBefore, std::nullopt,
                       Installed::Unchecked, QString()};
    };
    const auto linkRefused = [](const QString &message) { return unchanged(1, failureText(message)); };
    QString deep = u"deep"_s;
    for (int i = 1; i <= 3; ++i)
        deep += u"/a-directory-nested-beyond-the-limit-of-plain-windows-paths-%1"_s.arg(i);
    // 230 characters: below a program root of 32 ("C:/vellumix-tests/XXXXXX/program"), the link
    // lies beyond MAX_PATH, and the file in it has a manifest path of 236.
    deep += u"/the-last-level-"_s + QString(230 - deep.size() - 16, u'x');

    return {
        {.group = u"confirmed update"_s, .name = u"stage beside the root"_s, .compactJournal = true},
        // A staging directory on drive Z: is only walked downward from its files/ directory, so
        // it may lie anywhere; the program root may not (see tests/windows/wineinstallation.h).
        {.group = u"confirmed update"_s, .name = u"stage on drive Z:"_s, .stageElsewhere = true,
         .compactJournal = true, .notNative = u"drives are Windows'"_s},
        {.group = u"confirmed update"_s, .name = u"confirmation just before the new version ends"_s,
         .outcome = {.started = QString()}, .behaviour = u"confirm-exit"_s},

        // A new version that ends without a valid confirmation is rolled back and the old one
        // started.
        {.group = unconfirmed, .name = u"crash at start-up"_s, .outcome = kRolledBack, .behaviour = u"exit"_s, .runMs = 0},
        {.group = unconfirmed, .name = u"wrong token"_s, .outcome = kRolledBack, .behaviour = u"wrong-token"_s, .runMs = 0},
        {.group = unconfirmed, .name = u"version as a number"_s, .outcome = kRolledBack,
         .behaviour = u"number-version"_s, .runMs = 0},
        {.group = unconfirmed, .name = u"health file of an earlier run"_s, .outcome = kRolledBack,
         .workFiles = {{u"health.json"_s, R"({"token":"11111111-2222-3333-4444-555555555555","version":"2.0.0"})"}},
         .behaviour = u"exit"_s, .runMs = 0},
        // A new version that dies at once must be seen to end, never reported as still running
        // and never mistaken for another process: repeated, because a race shows only sometimes.
        // The new main program is a script that ends in a few microseconds, so that it usually
        // ends before the updater has opened it.
        {.group = unconfirmed, .name = u"crash at once, seen every time"_s, .outcome = kRolledBack,
         .run = Run::RepeatedUnderReaper, .behaviour = u"exit"_s, .runMs = 0, .mainProgram = "#!/bin/sh\nexit 3\n",
         .notOnWine = u"the race is Linux's: a process id reaped at once can be reused (the updater makes "
                      "itself the subreaper there), where a Windows process handle keeps its process; and the "
                      "new program is a shell script"_s},
        {.group = u"new version that cannot start"_s, .name = u"main program that is not a program"_s,
         .outcome = {1, failureText(Msg::newVersionNotStarted), Tree::Old, u"rolledback"_s, Installed::None, kStartedV1},
         .mainProgram = "not a program", .notExecutable = true},
        // The new version neither confirms nor ends: after 90 s the journal asks for a rollback
        // and the user to save and quit; the next recovery rolls back.
        {.group = u"probe"_s, .name = kRealProbe,
         .outcome = {5, Msg::newVersionUnconfirmed, Tree::Old, u"rolledback"_s, Installed::None,
                     u"version 2.0.0 started for its health probe"_s},
         .run = Run::RealProbe, .behaviour = u"never"_s, .runMs = 100000,
         .notOnWine = u"the slow suite is Linux's, and the unconfirmed version is ended by its Linux process id"_s,
         .slow = true},

        {.group = tampered, .name = u"payload changed after signing"_s, .outcome = refused(Msg::signatureRejected),
         .tampering = Tampering::Payload},
        {.group = tampered, .name = u"signature by another key"_s, .outcome = refused(Msg::signatureRejected),
         .tampering = Tampering::OtherKey},
        {.group = tampered, .name = u"staged file changed"_s,
         .outcome = refused(Msg::stagedFileInvalid + u"lib/core.dll"_s), .tampering = Tampering::StagedFile},

        // Without --quiet the final text is shown: in a message box on Windows (read from
        // outside and dismissed with the Return key; only then does the updater end), on Linux
        // by the box's stand-in on standard error.
        {.group = shown, .name = u"no manifest"_s, .outcome = refused(Msg::cannotReadFile + u"manifest.json"_s),
         .run = Run::ShowingText, .staged = false},
        {.group = shown, .name = u"new version dies"_s, .outcome = kRolledBack, .run = Run::ShowingText,
         .behaviour = u"exit"_s, .runMs = 0},

        {.group = commandLine, .name = u"no arguments"_s, .outcome = unchanged(2), .run = Run::Arguments, .staged = false},
        {.group = commandLine, .name = u"root as the last argument"_s, .outcome = unchanged(2), .run = Run::Arguments,
         .arguments = {u"--quiet"_s, u"--root"_s}, .staged = false},
        {.group = commandLine, .name = u"empty root"_s, .outcome = unchanged(2), .run = Run::Arguments,
         .arguments = {u"--root"_s, QString(), u"--quiet"_s}, .staged = false},
        {.group = commandLine, .name = u"root in another letter case"_s, .outcome = unchanged(2), .run = Run::Arguments,
         .arguments = {u"--ROOT"_s, u"/tmp"_s}, .staged = false},
        {.group = commandLine, .name = u"no stage: manifest.json at the top"_s, .outcome = unchanged(1, noManifest),
         .run = Run::Arguments, .arguments = {u"--root"_s, u"@root"_s, u"--quiet"_s}, .staged = false},
        {.group = commandLine, .name = u"values are positional"_s, .outcome = unchanged(3), .run = Run::Arguments,
         .arguments = {u"--root"_s, u"--stage"_s, u"x"_s, u"--quiet"_s}, .staged = false},
        {.group = commandLine, .name = u"first root counts"_s, .outcome = unchanged(1, noManifest), .run = Run::Arguments,
         .arguments = {u"--root"_s, u"@root"_s, u"--root"_s, u"/nonexistent"_s, u"--stage"_s, u"@stage"_s, u"--quiet"_s},
         .staged = false},
        {.group = commandLine, .name = u"work directory missing"_s, .outcome = unchanged(3), .run = Run::Arguments,
         .arguments = {u"--root"_s, u"@root/lib"_s, u"--quiet"_s}, .staged = false},
        // The updater runs in the parent of both directories.
        {.group = commandLine, .name = u"relative root and stage"_s, .run = Run::Relative},

        {.group = parentIds, .name = u"absent"_s, .run = Run::WithParent},
        {.group = parentIds, .name = u"zero"_s, .run = Run::WithParent, .arguments = {u"0"_s}},
        {.group = parentIds, .name = u"garbage"_s, .run = Run::WithParent, .arguments = {u"12abc"_s}},
        {.group = parentIds, .name = u"beyond 32 bits"_s, .run = Run::WithParent, .arguments = {u"4294967297"_s}},
        {.group = parentIds, .name = u"ended"_s, .run = Run::WithParent, .arguments = {u"@ended"_s}},
        {.group = parentIds, .name = u"alive for a moment"_s, .run = Run::WithParent, .arguments = {u"@moment"_s}},
        // The application starts the updater from the program root with its own process id and
        // exits, as the real application does.
        {.group = parentIds, .name = u"the application starting the update"_s, .run = Run::ApplicationApplies},

        {.group = lock, .name = u"second updater is refused while the first waits"_s, .run = Run::BesideWaitingRun},
        {.group = lock, .name = u"held by another process"_s,
         .outcome = {0, QString(), Tree::AsBefore, QString(), Installed::None, QString()}, .run = Run::WhileLockHeld,
         .staged = false, .notOnWine = u"the lock is held by a Linux process here, which no Windows program can see"_s},
        {.group = lock, .name = u"lock of a killed run does not block"_s, .run = Run::AfterKilledRun},

        recovery(QString(), false), recovery(u"healthy"_s, false), recovery(u"rolledback"_s, false),
        recovery(u"installing"_s, true), recovery(u"starting"_s, true), recovery(u"rollback-needed"_s, true),
        // A plain start of the application that finds an unfinished update starts the recovery,
        // which rolls back and starts the application again.
        {.group = u"recovery with every journal state"_s, .name = u"the application starts the recovery"_s,
         .outcome = recovery(u"starting"_s, true).outcome, .run = Run::ApplicationStarts,
         .interruptedJournal = u"starting"_s, .staged = false},
        {.group = u"recovery with every journal state"_s, .name = u"unfinished journal blocks an apply and is rolled back"_s,
         .outcome = {1, failureText(Msg::previousUpdateUnfinished), Tree::Old, u"rolledback"_s, Installed::None, QString()},
         .interruptedJournal = u"rollback-needed"_s, .thenApplyAgain = true},

        {.group = unreadable, .name = u"damaged"_s, .outcome = journalFailure(Msg::journalDamaged), .run = Run::Recover,
         .workFiles = {{u"transaction.json"_s, "[]"}}, .staged = false, .nothingStarted = true},
        // Never opened: an open for reading would wait for a writer for ever.
        {.group = unreadable, .name = u"a pipe"_s, .outcome = journalFailure(Msg::journalUnreadable), .run = Run::Recover,
         .workFiles = {{u"transaction.json"_s, "@pipe"}}, .staged = false, .nothingStarted = true,
         .notOnWine = u"a named pipe among the files of a directory is a Linux object"_s},

        // Every removal fails while the updater runs, as a file held open on Windows would: the
        // new version ends unconfirmed, both rollbacks fail, nothing is started; a recovery run
        // then completes the rollback.
        {.group = u"failed rollback then recovery"_s, .name = u"every removal fails"_s,
         .outcome = {6, Msg::restoreTargetInUse + u'\n' + Msg::restoreTargetInUse + Msg::backupKeptTail, Tree::Old,
                     u"rolledback"_s, Installed::None, QString()},
         .run = Run::RemovalsFail, .behaviour = u"exit"_s, .runMs = 0, .lockGone = false,
         .notOnWine = u"only strace injects the failed removals"_s},

        // Wine shows a Linux symbolic link to a directory as a reparse point (one to a file it
        // shows as the file itself: that case needs Windows). A link beyond MAX_PATH (260
        // characters) in its Windows form, where Windows takes only the long form of a path, is
        // refused as one closer to the root: a program root and a manifest path of up to 240
        // characters reach there.
        {.group = link, .name = u"work directory"_s, .outcome = linkRefused(Msg::workDirectoryHasLink),
         .link = u".vellumix-update"_s},
        {.group = link, .name = u"directory of an updated file"_s, .outcome = linkRefused(Msg::pathHasLinkOrJunction),
         .link = u"lib"_s},
        {.group = link, .name = u"directory of an updated file beyond MAX_PATH"_s,
         .outcome = linkRefused(Msg::pathHasLinkOrJunction), .link = deep, .addedFile = deep + u"/x.dll"_s,
         .notNative = u"MAX_PATH is a limit of Win32 names"_s},
    };
}

QByteArray payloadOf(const QByteArray &manifest)
{
    return QByteArray::fromBase64(
        QJsonDocument::fromJson(manifest).object().value(u"payload"_s).toString().toLatin1());
}

void tamper(AbstractInstallation &installation, const QByteArray &manifest, Tampering tampering)
{
    const QByteArray payload = payloadOf(manifest);
    if (tampering == Tampering::Payload) {
        QByteArray changed = payload;
        changed.replace("\"sequence\":2", "\"sequence\":3");
        const QByteArray signature = QByteArray::fromBase64(
            QJsonDocument::fromJson(manifest).object().value(u"signature"_s).toString().toLatin1());
        testsupport::writeFile(installation.stage(), u"manifest.json"_s,
                               testsupport::envelopeOf(changed, signature));
    } else if (tampering == Tampering::OtherKey) {
        QTemporaryDir keys;
        const QString otherKey = keys.filePath(u"other.pem"_s);
        testsupport::generateSigningKey(otherKey);
        testsupport::writeFile(installation.stage(), u"manifest.json"_s,
                               testsupport::envelopeOf(payload, testsupport::signPayload(
                                   payload, testsupport::SignatureScheme::Pkcs1Sha256, otherKey)));
    } else if (tampering == Tampering::StagedFile) {
        testsupport::writeFile(installation.stage(), u"files/lib/core.dll"_s, "tampered");
    }
}

// The journal of an install of v2 over v1 that was interrupted: lib/core.dll moved to the backup
// and half-copied, lib/new.dll new.
void leaveInterruptedInstall(const AbstractInstallation &installation, const QString &state)
{
    testsupport::writeFile(installation.workPath(u"backup"_s), u"lib/core.dll"_s,
                           "core library 1.0.0");
    testsupport::writeFile(installation.root(), u"lib/core.dll"_s, "core library 2.");
    testsupport::writeFile(installation.root(), u"lib/new.dll"_s, "new in 2");
    const QByteArray journal =
        "{\"entries\":[{\"hadOld\":true,\"path\":\"lib/core.dll\"},{\"hadOld\":false,\"path\":"
        "\"lib/new.dll\"}],\"sequence\":2,\"state\":\"" + state.toUtf8()
        + "\",\"token\":\"t\",\"version\":\"2.0.0\"}";
    testsupport::writeFile(installation.workPath(QString()), u"transaction.json"_s, journal);
}

bool lockExists(const AbstractInstallation &installation)
{
    return QFileInfo::exists(installation.workPath(u"installer.lock"_s));
}

// The exit code of a run, with its standard error shown when it is not the one expected.
#define COMPARE_EXIT(run, expected)                                                               \
    QVERIFY2((run).exitCode == (expected),                                                        \
             qPrintable(u"exit code %1, expected %2; standard error: %3"_s           \
                            .arg((run).exitCode).arg(expected).arg((run).errorOutput)))

// Runs the updater as `scenario` says and checks what only that way of running shows; answers
// the run whose exit code and text the table gives.
void runUpdater(AbstractInstallation &installation, const Scenario &scenario, Platform platform,
                RunResult *result)
{
    RunResult &run = *result;
    switch (scenario.run) {
    case Run::Apply:
        run = installation.runUpdater(installation.applyArguments() + scenario.arguments);
        return;
    case Run::Recover: {
        QStringList arguments = installation.recoverArguments();
        for (const QString &argument : scenario.arguments)
            arguments << (argument.startsWith(u'/') ? installation.programPath(argument) : argument);
        run = installation.runUpdater(arguments, 60000);
        return;
    }
    case Run::ShowingText: {
        QStringList arguments = installation.applyArguments();
        arguments.removeAll(u"--quiet"_s);
        const ShownText shown = installation.runShowingText(arguments);
        QVERIFY2(!shown.title.isEmpty(), "no final text was shown");
        QCOMPARE(shown.title, Msg::messageTitle);
        QCOMPARE(shown.decorations, boxDecorations(platform));
        run = shown.run;
        // The text went to the box, not to the log.
        QCOMPARE(run.errorOutput, QString());
        run.errorOutput = shown.text;
        return;
    }
    case Run::Arguments: {
        QStringList arguments = scenario.arguments;
        for (QString &argument : arguments) {
            if (argument.startsWith(u'@'))
                argument = installation.programPath(
                    QString(argument).replace(u"@root"_s, installation.root())
                        .replace(u"@stage"_s, installation.stage()));
        }
        run = installation.runUpdater(arguments);
        return;
    }
    case Run::Relative:
        run = installation.runUpdater({u"--stage"_s, u"stage"_s, u"--root"_s,
                                       u"program"_s, u"--quiet"_s});
        return;
    case Run::WithParent: {
        const QString parent = scenario.arguments.value(0);
        std::unique_ptr<ParentProcess> process;
        QStringList arguments = installation.applyArguments();
        if (parent == u"@ended" || parent == u"@moment") {
            process = installation.startParent(parent == u"@ended" ? ParentLife::Ended : ParentLife::Moment);
            QVERIFY(process->pid() != 0);
            arguments << u"--parent"_s << QString::number(process->pid());
        } else if (!parent.isEmpty()) {
            arguments << u"--parent"_s << parent;
        }
        run = installation.runUpdater(arguments);
        // The updater waited for the parent that was alive.
        if (parent == u"@moment")
            QVERIFY(process->waitForEnd(0));
        return;
    }
    case Run::BesideWaitingRun: {
        const testsupport::TreeSnapshot old = installation.treeOf(v1);
        const std::unique_ptr<ParentProcess> parent = installation.startParent(ParentLife::Checks);
        QVERIFY(parent->pid() != 0);
        QProcess first;
        installation.startUpdater(first, installation.applyArguments()
                                             << u"--parent"_s << QString::number(parent->pid()));
        // The first holds the lock while it waits for its parent.
        QTRY_VERIFY_WITH_TIMEOUT(lockExists(installation), 30000);
        const RunResult second = installation.runUpdater(installation.applyArguments());
        COMPARE_EXIT(second, 3);
        QCOMPARE(second.errorOutput, QString());
        QCOMPARE(installation.runUpdater(installation.recoverArguments()).exitCode, 3);
        // Nothing has been installed while the parent runs.
        QCOMPARE(testsupport::describeDifference(old, installation.programTree()), QString());
        // The parent ends after a moment; the first goes on and completes the update.
        QVERIFY(parent->waitForEnd(60000));
        run = installation.finish(first, 60000);
        return;
    }
    case Run::AfterKilledRun: {
        const std::unique_ptr<ParentProcess> parent = installation.startParent(ParentLife::WholeRun);
        QVERIFY(parent->pid() != 0);
        QProcess killed;
        installation.startUpdater(killed, installation.applyArguments()
                                              << u"--parent"_s << QString::number(parent->pid()));
        QTRY_VERIFY_WITH_TIMEOUT(lockExists(installation), 30000);
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QVERIFY(lockExists(installation));
        run = installation.runUpdater(installation.applyArguments());
        parent->stop();
        return;
    }
    case Run::WhileLockHeld: {
        QLockFile lock(installation.workPath(u"installer.lock"_s));
        QVERIFY(lock.tryLock(0));
        QCOMPARE(installation.runUpdater(installation.recoverArguments()).exitCode, 3);
        lock.unlock();
        run = installation.runUpdater(installation.recoverArguments());
        return;
    }
    case Run::RepeatedUnderReaper: {
        AppVersion next = versionOf(u"2.0.0"_s, 2, scenario.behaviour, scenario.runMs);
        next.mainProgram = scenario.mainProgram;
        for (int round = 0; round < 25; ++round) {
            installation.install(v1);
            installation.stageUpdate(next);
            run = installation.runUpdaterUnder(Launcher::Reaper, installation.applyArguments());
            QVERIFY2(run.exitCode == scenario.outcome.exitCode,
                     qPrintable(u"round %1: exit %2 %3"_s.arg(round).arg(run.exitCode).arg(run.errorOutput)));
        }
        return;
    }
    case Run::RemovalsFail: {
        run = installation.runUpdaterUnder(Launcher::RemovalsFail, installation.applyArguments());
        COMPARE_EXIT(run, scenario.outcome.exitCode);
        // The final text comes first; Qt may add that it could not remove the lock file.
        QVERIFY2(run.errorOutput == scenario.outcome.text || run.errorOutput.startsWith(scenario.outcome.text + u'\n'),
                 qPrintable(run.errorOutput));
        QCOMPARE(installation.journalState(), u"starting"_s);
        QTest::qWait(300);
        QVERIFY(!installation.appLog().join(u'\n').contains(u"version 1.0.0 started"_s));
        // Every old file is still there, in the program or in the backup.
        const auto backup = testsupport::snapshotTree(installation.workPath(u"backup"_s));
        QVERIFY(backup.contains(u"lib/core.dll"_s));
        // A recovery run completes the rollback.
        const RunResult recovery = installation.runUpdater(installation.recoverArguments());
        COMPARE_EXIT(recovery, 0);
        run.errorOutput = scenario.outcome.text;
        return;
    }
    case Run::RealProbe: {
        run = installation.runUpdater(installation.applyArguments(), 200000);
        COMPARE_EXIT(run, scenario.outcome.exitCode);
        QCOMPARE(installation.journalState(), u"rollback-needed"_s);
        // The new version was not closed: it still runs. End it, then recover.
        QVERIFY(installation.waitForAppLog(scenario.outcome.started));
        const QString line = installation.appLog().filter(u"health probe"_s).constFirst();
        QCOMPARE(::kill(pid_t(line.section(u' ', -1).toInt()), 0), 0);
        ::kill(pid_t(line.section(u' ', -1).toInt()), SIGKILL);
        COMPARE_EXIT(installation.runUpdater(installation.recoverArguments()), 0);
        return;
    }
    case Run::ApplicationApplies:
        run = installation.runApp({u"--apply-update"_s, installation.programPath(installation.stage()),
                                   u"--quiet"_s});
        COMPARE_EXIT(run, 0);
        QVERIFY(installation.waitForAppLog(u"started the updater for sequence 2"_s));
        return;
    case Run::ApplicationStarts:
        run = installation.runApp({u"--quiet"_s});
        COMPARE_EXIT(run, 0);
        QVERIFY(installation.waitForAppLog(u"starts the recovery"_s));
        return;
    }
}

} // namespace

const QList<Scenario> &updaterScenarios()
{
    static const QList<Scenario> table = makeTable();
    return table;
}

const Scenario &scenarioNamed(const QString &group, const QString &name)
{
    for (const Scenario &scenario : updaterScenarios()) {
        if (scenario.group == group && scenario.name == name)
            return scenario;
    }
    qFatal("no scenario %s: %s", qPrintable(group), qPrintable(name));
}

void addScenarioRows()
{
    QTest::addColumn<int>("scenario");
    const QList<Scenario> &table = updaterScenarios();
    for (int i = 0; i < table.size(); ++i) {
        if (!table.at(i).slow)
            QTest::addRow("%s: %s", qPrintable(table.at(i).group), qPrintable(table.at(i).name)) << i;
    }
}

void runScenario(AbstractInstallation &installation, const Scenario &scenario, Platform platform)
{
    if (scenario.run == Run::RemovalsFail
        && testsupport::runProgram(u"strace"_s, {u"-V"_s}) != 0)
        QSKIP("needs strace");
    AppVersion v2 = versionOf(u"2.0.0"_s, 2, scenario.behaviour, scenario.runMs);
    v2.mainProgram = scenario.mainProgram;

    // The program root, the stage and the work directory.
    if (!scenario.addedFile.isEmpty()) {
        QVERIFY(scenario.addedFile.size() <= 240);
        installation.addFile(scenario.addedFile);
    }
    installation.install(v1);
    if (scenario.staged) {
        const QByteArray manifest = installation.stageUpdate(v2);
        tamper(installation, manifest, scenario.tampering);
        if (scenario.notExecutable)
            QFile::setPermissions(installation.stage() + u"/files/Vellumix.exe"_s, QFile::ReadOwner | QFile::WriteOwner);
    }
    if (!scenario.interruptedJournal.isEmpty())
        leaveInterruptedInstall(installation, scenario.interruptedJournal);
    for (const testsupport::FileSpec &file : scenario.workFiles) {
        if (file.content == "@pipe")
            QCOMPARE(::mkfifo(QFile::encodeName(installation.workPath(file.path)).constData(), 0600), 0);
        else
            testsupport::writeFile(installation.workPath(QString()), file.path, file.content);
    }
    // The target lies beside the installation, so that only the link itself can be refused.
    std::optional<QTemporaryDir> elsewhere;
    testsupport::TreeSnapshot targetBefore;
    if (!scenario.link.isEmpty()) {
        elsewhere.emplace(installation.home() + u"-link-XXXXXX"_s);
        const QString linkPath = installation.root() + u'/' + scenario.link;
        if (!scenario.addedFile.isEmpty())
            QVERIFY2(installation.programPath(linkPath).size() > 260, qPrintable(installation.programPath(linkPath)));
        QVERIFY(QDir(elsewhere->path()).removeRecursively());
        QVERIFY(QDir().rename(linkPath, elsewhere->path()));
        QVERIFY(QFile::link(elsewhere->path(), linkPath));
        targetBefore = testsupport::snapshotTree(elsewhere->path());
    }
    const testsupport::TreeSnapshot before = installation.programTree();
    const testsupport::TreeSnapshot wholeBefore = testsupport::snapshotTree(installation.root());

    RunResult run;
    runUpdater(installation, scenario, platform, &run);
    if (QTest::currentTestFailed())
        return;
    COMPARE_EXIT(run, scenario.outcome.exitCode);
    QCOMPARE(run.errorOutput, scenario.outcome.text);

    const bool detached = scenario.run == Run::ApplicationApplies || scenario.run == Run::ApplicationStarts;
    if (scenario.outcome.journalState) {
        if (detached)
            QVERIFY(installation.waitForJournalState(*scenario.outcome.journalState));
        QCOMPARE(installation.journalState(), *scenario.outcome.journalState);
    }
    if (!scenario.outcome.started.isEmpty())
        QVERIFY2(installation.waitForAppLog(scenario.outcome.started), qPrintable(installation.appLog().join(u'\n')));
    if (scenario.nothingStarted) {
        QTest::qWait(500);
        QCOMPARE(installation.appLog(), QStringList());
    }
    // The lock is gone once the run has ended (an updater that the application started ends
    // after the confirmation).
    if (scenario.lockGone)
        QTRY_VERIFY_WITH_TIMEOUT(!lockExists(installation), detached ? 30000 : 0);

    switch (scenario.outcome.tree) {
    case Tree::New:
        QCOMPARE(testsupport::describeDifference(installation.treeOf(v2), installation.programTree()), QString());
        break;
    case Tree::Old:
        QCOMPARE(testsupport::describeDifference(installation.treeOf(v1), installation.programTree()), QString());
        break;
    case Tree::AsBefore:
        QCOMPARE(testsupport::describeDifference(before, installation.programTree()), QString());
        break;
    case Tree::WholeRootAsBefore:
        QCOMPARE(testsupport::describeDifference(wholeBefore, testsupport::snapshotTree(installation.root())),
                 QString());
        break;
    }
    if (elsewhere)
        QCOMPARE(testsupport::describeDifference(targetBefore, testsupport::snapshotTree(elsewhere->path())),
                 QString());

    const QString installedRecord = installation.workPath(u"installed.json"_s);
    if (scenario.outcome.installed == Installed::New)
        QCOMPARE(testsupport::readFile(installedRecord),
                 QByteArray("{\n    \"sequence\": 2,\n    \"version\": \"2.0.0\"\n}\n"));
    else if (scenario.outcome.installed == Installed::None)
        QVERIFY(!QFileInfo::exists(installedRecord));

    if (scenario.compactJournal) {
        // The journal as the updater writes it on every platform: compact, the fresh token a
        // UUID; the two programs and docs/readme.txt are the same in both versions and are not
        // touched.
        const QByteArray bytes = testsupport::readFile(installation.workPath(u"transaction.json"_s));
        const QJsonObject journal = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(journal.keys(), (QStringList{u"entries"_s, u"sequence"_s,
                                              u"state"_s, u"token"_s,
                                              u"version"_s}));
        QVERIFY(!bytes.contains('\n'));
        QCOMPARE(journal.value(u"version"_s).toString(), u"2.0.0"_s);
        QCOMPARE(journal.value(u"entries"_s).toArray().size(), 3);
    }
    if (scenario.thenApplyAgain)
        COMPARE_EXIT(installation.runUpdater(installation.applyArguments()), 0);
}

QString publishFeed(const QString &feedDir, const QList<testsupport::FileSpec> &files, const AppVersion &version,
                    bool deltas)
{
    QTemporaryDir work;
    const QString release = work.filePath(u"release"_s);
    const QString stage = work.filePath(u"stage"_s);
    for (const auto &file : files)
        testsupport::writeFile(release, file.path, file.content);
    const QString tool = QString::fromUtf8(VELLUMIX_PUBLISH);
    QStringList staging{u"stage"_s, u"--release"_s, release, u"--version"_s, version.version, u"--sequence"_s,
                        QString::number(version.sequence), u"--key"_s, testsupport::devSigningKey(), u"--out"_s, stage};
    if (deltas)
        staging << u"--delta-base"_s << feedDir;
    QByteArray output;
    if (testsupport::runProgram(tool, staging, &output) != 0
        || testsupport::runProgram(tool, {u"publish"_s, stage, u"--feed"_s, feedDir}, &output) != 0)
        return QString::fromUtf8(output);
    return QString();
}

QJsonObject feedEntry(const QString &feedDir, const QString &path, const QString &list)
{
    const QJsonObject payload =
        QJsonDocument::fromJson(payloadOf(testsupport::readFile(feedDir + u"/stable/manifest.json"_s))).object();
    for (const QJsonValue file : payload.value(list).toArray()) {
        if (file.toObject().value(u"path"_s).toString() == path)
            return file.toObject();
    }
    return QJsonObject();
}

void runSelfUpdateFromFeed(AbstractInstallation &installation, bool deltas)
{
    QTemporaryDir feed;
    const AppVersion v2 = versionOf(u"2.0.0"_s, 2);
    AppVersion earlier = v1;
    earlier.mainProgram = installation.filesOf(v1).constFirst().content + QByteArray(4096, '\x5a');
    QString published = deltas ? publishFeed(feed.path(), installation.filesOf(earlier), v1) : QString();
    if (published.isEmpty())
        published = publishFeed(feed.path(), installation.filesOf(v2), v2, deltas);
    QVERIFY2(published.isEmpty(), qPrintable(published));
    testsupport::FeedServer server;
    QVERIFY2(server.start(feed.path()), qPrintable(server.errorText()));
    installation.install(deltas ? earlier : v1);

    const RunResult run = installation.runApp({u"--check-update"_s, server.baseUrl(), u"--stage"_s,
                                               installation.programPath(installation.stage())});
    COMPARE_EXIT(run, 0);
    QVERIFY2(installation.waitForAppLog(u"version 2.0.0 confirmed its start"_s),
             qPrintable(installation.appLog().join(u'\n')));
    QVERIFY(installation.waitForJournalState(u"healthy"_s));
    QTRY_VERIFY_WITH_TIMEOUT(!lockExists(installation), 30000);
    QCOMPARE(testsupport::describeDifference(installation.treeOf(v2), installation.programTree()), QString());
    QCOMPARE(testsupport::readFile(installation.workPath(u"installed.json"_s)),
             QByteArray("{\n    \"sequence\": 2,\n    \"version\": \"2.0.0\"\n}\n"));

    // What travelled: the manifest and the blobs of the three files that differ (the programs
    // and the document are the same in both versions), each once and whole; with deltas, also
    // the delta of Vellumix.exe, and not its whole blob.
    QStringList expected{u"GET /stable/manifest.json 200 -"_s};
    qint64 changedBytes = 0;
    for (const QString &path : {u"vellumix-sample.json"_s, u"lib/core.dll"_s, u"插件/extra.dll"_s}) {
        const QJsonObject file = feedEntry(feed.path(), path);
        expected << u"GET /blobs/%1 200 -"_s.arg(file.value(u"packedSha256"_s).toString());
        changedBytes += file.value(u"packedSize"_s).toInteger();
    }
    const QStringList log = installation.appLog();
    if (deltas) {
        const QJsonObject delta = feedEntry(feed.path(), u"Vellumix.exe"_s, u"deltas"_s);
        QCOMPARE(delta.value(u"baseSha256"_s).toString(), testsupport::sha256Hex(earlier.mainProgram));
        expected << u"GET /blobs/%1 200 -"_s.arg(delta.value(u"packedSha256"_s).toString());
        QVERIFY2(log.contains(u"1 of the files fetched came as deltas against the installed copies"_s),
                 qPrintable(log.join(u'\n')));
    } else {
        QVERIFY2(log.contains(u"downloading: 3/3 files, %1/%1 bytes"_s.arg(changedBytes)), qPrintable(log.join(u'\n')));
        QVERIFY(log.contains(u"downloaded %1 bytes (3 files fetched, 0 already staged)"_s.arg(changedBytes)));
    }
    QStringList requests;
    for (const testsupport::AccessLogEntry &entry : server.accessLog(expected.size()))
        requests << u"%1 %2 %3 %4"_s.arg(entry.method, entry.uri).arg(entry.status).arg(entry.range);
    expected.sort();
    requests.sort();
    QCOMPARE(requests, expected);
}

} // namespace e2e
