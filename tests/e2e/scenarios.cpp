#include "scenarios.h"

#include "messages.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QTest>

#include <signal.h>
#include <sys/stat.h>

namespace e2e {

namespace {

AppVersion versionOf(const QString &version, qint32 sequence, const QString &behaviour = QStringLiteral("confirm"),
                     int runMs = 100)
{
    AppVersion result;
    result.version = version;
    result.sequence = sequence;
    result.behaviour = behaviour;
    result.runMs = runMs;
    return result;
}

const AppVersion v1 = versionOf(QStringLiteral("1.0.0"), 1);

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

const QString kRealProbe = QStringLiteral("the real 90-second probe");

// A new version that ends at once, unconfirmed: rolled back, the old version started again.
Scenario rolledBack(const QString &group, const QString &name, const QString &behaviour)
{
    Scenario scenario;
    scenario.group = group;
    scenario.name = name;
    scenario.behaviour = behaviour;
    scenario.runMs = 0;
    scenario.exitCode = 4;
    scenario.text = Msg::newVersionFailedRestored;
    scenario.tree = Tree::Old;
    scenario.journalState = QStringLiteral("rolledback");
    scenario.installed = Installed::None;
    scenario.started = QStringLiteral("version 1.0.0 started");
    return scenario;
}

// A failure before anything changed: the old version started again.
Scenario refused(const QString &group, const QString &name, const QString &message)
{
    Scenario scenario;
    scenario.group = group;
    scenario.name = name;
    scenario.exitCode = 1;
    scenario.text = failureText(message);
    scenario.tree = Tree::AsBefore;
    scenario.journalState = QString();
    scenario.installed = Installed::None;
    scenario.started = QStringLiteral("version 1.0.0 started");
    return scenario;
}

// A run of `arguments` alone that changes nothing in the root.
Scenario commandLine(const QString &name, const QStringList &arguments, int exitCode,
                     const QString &text = QString())
{
    Scenario scenario;
    scenario.group = QStringLiteral("command line");
    scenario.name = name;
    scenario.staged = false;
    scenario.run = Run::Arguments;
    scenario.arguments = arguments;
    scenario.exitCode = exitCode;
    scenario.text = text;
    scenario.tree = Tree::WholeRootAsBefore;
    scenario.journalState.reset();
    scenario.installed = Installed::Unchecked;
    scenario.started.clear();
    return scenario;
}

// An apply with --parent `parent`, which completes.
Scenario withParent(const QString &name, const QString &parent)
{
    Scenario scenario;
    scenario.group = QStringLiteral("parent ids");
    scenario.name = name;
    scenario.run = Run::WithParent;
    if (!parent.isEmpty())
        scenario.arguments = QStringList{parent};
    return scenario;
}

// The recovery over an install of version 2 interrupted in `state` (none: no journal).
Scenario recovery(const QString &state, bool rollsBack)
{
    Scenario scenario;
    scenario.group = QStringLiteral("recovery with every journal state");
    scenario.name = state.isEmpty() ? QStringLiteral("no journal") : state;
    scenario.interruptedJournal = state;
    scenario.staged = false;
    scenario.run = Run::Recover;
    // The stage is ignored in the recovery sequence.
    scenario.arguments = QStringList{QStringLiteral("--stage"), QStringLiteral("/nonexistent")};
    scenario.tree = rollsBack ? Tree::Old : Tree::AsBefore;
    scenario.journalState = rollsBack ? QStringLiteral("rolledback") : state;
    scenario.installed = Installed::None;
    scenario.started = QStringLiteral("version 1.0.0 started");
    return scenario;
}

// The journal cannot be read: the recovery stops without a rollback and starts nothing.
Scenario unreadableJournal(const QString &name, const QByteArray &journal, const QString &problem)
{
    Scenario scenario;
    scenario.group = QStringLiteral("journal that cannot be read stops without a restart");
    scenario.name = name;
    scenario.workFiles = {{QStringLiteral("transaction.json"), journal}};
    scenario.staged = false;
    scenario.run = Run::Recover;
    scenario.exitCode = 6;
    scenario.text = problem + u'\n' + problem + Msg::backupKeptTail;
    scenario.tree = Tree::AsBefore;
    scenario.journalState.reset();
    scenario.installed = Installed::Unchecked;
    scenario.started.clear();
    scenario.nothingStarted = true;
    return scenario;
}

// A directory of the root replaced by a symbolic link to it: refused before anything changed
// on either side of the link.
Scenario linkRefused(const QString &name, const QString &link, const QString &message)
{
    Scenario scenario;
    scenario.group = QStringLiteral("directory link is refused");
    scenario.name = name;
    scenario.link = link;
    scenario.exitCode = 1;
    scenario.text = failureText(message);
    scenario.tree = Tree::WholeRootAsBefore;
    scenario.journalState.reset();
    scenario.installed = Installed::Unchecked;
    scenario.started.clear();
    return scenario;
}

QList<Scenario> makeTable()
{
    QList<Scenario> table;

    Scenario confirmed;
    confirmed.group = QStringLiteral("confirmed update");
    confirmed.name = QStringLiteral("stage beside the root");
    confirmed.text = QString();
    confirmed.compactJournal = true;
    table << confirmed;
    // A staging directory on drive Z: is only walked downward from its files/ directory, so it
    // may lie anywhere; the program root may not (see tests/windows/wineinstallation.h).
    confirmed.name = QStringLiteral("stage on drive Z:");
    confirmed.stageElsewhere = true;
    confirmed.notNative = QStringLiteral("drives are Windows'");
    table << confirmed;

    Scenario lastMoment;
    lastMoment.group = QStringLiteral("confirmed update");
    lastMoment.name = QStringLiteral("confirmation just before the new version ends");
    lastMoment.behaviour = QStringLiteral("confirm-exit");
    lastMoment.started.clear();
    table << lastMoment;

    // A new version that ends without a valid confirmation is rolled back and the old one
    // started.
    const QString unconfirmed = QStringLiteral("new version ends unconfirmed");
    table << rolledBack(unconfirmed, QStringLiteral("crash at start-up"), QStringLiteral("exit"))
          << rolledBack(unconfirmed, QStringLiteral("wrong token"), QStringLiteral("wrong-token"))
          << rolledBack(unconfirmed, QStringLiteral("version as a number"), QStringLiteral("number-version"));
    Scenario stale = rolledBack(unconfirmed, QStringLiteral("health file of an earlier run"),
                                QStringLiteral("exit"));
    stale.workFiles = {{QStringLiteral("health.json"),
                        R"({"token":"11111111-2222-3333-4444-555555555555","version":"2.0.0"})"}};
    table << stale;

    // A new version that dies at once must be seen to end, never reported as still running and
    // never mistaken for another process: repeated, because a race shows only sometimes. The
    // new main program is a script that ends in a few microseconds, so that it usually ends
    // before the updater has opened it.
    Scenario crashAtOnce = rolledBack(unconfirmed, QStringLiteral("crash at once, seen every time"),
                                      QStringLiteral("exit"));
    crashAtOnce.mainProgram = "#!/bin/sh\nexit 3\n";
    crashAtOnce.run = Run::RepeatedUnderReaper;
    crashAtOnce.notOnWine = QStringLiteral(
        "the race is Linux's: a process id reaped at once can be reused (the updater makes itself "
        "the subreaper there), while a Windows process handle keeps its process; the new program "
        "is a shell script");
    table << crashAtOnce;

    const QString program = QStringLiteral("new version that cannot start");
    Scenario cannotStart;
    cannotStart.group = program;
    cannotStart.name = QStringLiteral("main program that is not a program");
    cannotStart.mainProgram = "not a program";
    cannotStart.exitCode = 1;
    cannotStart.text = failureText(Msg::newVersionNotStarted);
    cannotStart.tree = Tree::Old;
    cannotStart.journalState = QStringLiteral("rolledback");
    cannotStart.installed = Installed::None;
    cannotStart.started = QStringLiteral("version 1.0.0 started");
    table << cannotStart;

    const QString tampered = QStringLiteral("tampered manifest is refused");
    Scenario payload = refused(tampered, QStringLiteral("payload changed after signing"), Msg::signatureRejected);
    payload.tampering = Tampering::Payload;
    Scenario key = refused(tampered, QStringLiteral("signature by another key"), Msg::signatureRejected);
    key.tampering = Tampering::OtherKey;
    Scenario file = refused(tampered, QStringLiteral("staged file changed"),
                            Msg::stagedFileInvalid + QStringLiteral("lib/core.dll"));
    file.tampering = Tampering::StagedFile;
    table << payload << key << file;

    // Without --quiet the final text is shown: in a message box on Windows (read from outside
    // and dismissed with the Return key; only then does the updater end), on Linux by the box's
    // stand-in on standard error.
    Scenario noManifest = refused(QStringLiteral("final text shown without quiet"), QStringLiteral("no manifest"),
                                  Msg::cannotReadFile + QStringLiteral("manifest.json"));
    noManifest.staged = false;
    noManifest.run = Run::ShowingText;
    Scenario dies = rolledBack(noManifest.group, QStringLiteral("new version dies"), QStringLiteral("exit"));
    dies.run = Run::ShowingText;
    table << noManifest << dies;

    const QString none;
    const QStringList quiet{QStringLiteral("--quiet")};
    table << commandLine(QStringLiteral("no arguments"), {}, 2)
          << commandLine(QStringLiteral("root as the last argument"), {QStringLiteral("--quiet"), QStringLiteral("--root")}, 2)
          << commandLine(QStringLiteral("empty root"), {QStringLiteral("--root"), none, QStringLiteral("--quiet")}, 2)
          << commandLine(QStringLiteral("root in another letter case"), {QStringLiteral("--ROOT"), QStringLiteral("/tmp")}, 2)
          << commandLine(QStringLiteral("no stage: manifest.json at the top"),
                         {QStringLiteral("--root"), QStringLiteral("@root"), QStringLiteral("--quiet")}, 1,
                         failureText(Msg::cannotReadFile + QStringLiteral("manifest.json")))
          << commandLine(QStringLiteral("values are positional"),
                         {QStringLiteral("--root"), QStringLiteral("--stage"), QStringLiteral("x"), QStringLiteral("--quiet")}, 3)
          << commandLine(QStringLiteral("first root counts"),
                         {QStringLiteral("--root"), QStringLiteral("@root"), QStringLiteral("--root"),
                          QStringLiteral("/nonexistent"), QStringLiteral("--stage"), QStringLiteral("@stage"),
                          QStringLiteral("--quiet")},
                         1, failureText(Msg::cannotReadFile + QStringLiteral("manifest.json")))
          << commandLine(QStringLiteral("work directory missing"),
                         {QStringLiteral("--root"), QStringLiteral("@root/lib"), QStringLiteral("--quiet")}, 3);

    // The updater runs in the parent of both directories.
    Scenario relative;
    relative.group = QStringLiteral("command line");
    relative.name = QStringLiteral("relative root and stage");
    relative.run = Run::Relative;
    table << relative;

    table << withParent(QStringLiteral("absent"), QString())
          << withParent(QStringLiteral("zero"), QStringLiteral("0"))
          << withParent(QStringLiteral("garbage"), QStringLiteral("12abc"))
          << withParent(QStringLiteral("beyond 32 bits"), QStringLiteral("4294967297"))
          << withParent(QStringLiteral("ended"), QStringLiteral("@ended"))
          << withParent(QStringLiteral("alive for a moment"), QStringLiteral("@moment"));

    // The application starts the updater from the program root with its own process id and
    // exits, as the real application does.
    Scenario handOver;
    handOver.group = QStringLiteral("parent ids");
    handOver.name = QStringLiteral("the application starting the update");
    handOver.run = Run::ApplicationApplies;
    table << handOver;

    const QString lock = QStringLiteral("lock");
    Scenario second;
    second.group = lock;
    second.name = QStringLiteral("second updater is refused while the first waits");
    second.run = Run::BesideWaitingRun;
    Scenario held = refused(lock, QStringLiteral("held by another process"), QString());
    held.staged = false;
    held.run = Run::WhileLockHeld;
    held.exitCode = 0;
    held.text.clear();
    held.started.clear();
    held.notOnWine = QStringLiteral(
        "the lock is held by a Linux process here, which no Windows program can see");
    Scenario killed;
    killed.group = lock;
    killed.name = QStringLiteral("lock of a killed run does not block");
    killed.run = Run::AfterKilledRun;
    table << second << held << killed;

    table << recovery(QString(), false) << recovery(QStringLiteral("healthy"), false)
          << recovery(QStringLiteral("rolledback"), false) << recovery(QStringLiteral("installing"), true)
          << recovery(QStringLiteral("starting"), true) << recovery(QStringLiteral("rollback-needed"), true);

    // A plain start of the application that finds an unfinished update starts the recovery,
    // which rolls back and starts the application again.
    Scenario appRecovers = recovery(QStringLiteral("starting"), true);
    appRecovers.name = QStringLiteral("the application starts the recovery");
    appRecovers.arguments.clear();
    appRecovers.run = Run::ApplicationStarts;
    table << appRecovers;

    Scenario blocks = refused(QStringLiteral("recovery with every journal state"),
                              QStringLiteral("unfinished journal blocks an apply and is rolled back"),
                              Msg::previousUpdateUnfinished);
    blocks.interruptedJournal = QStringLiteral("rollback-needed");
    blocks.tree = Tree::Old;
    blocks.journalState = QStringLiteral("rolledback");
    blocks.started.clear();
    blocks.thenApplyAgain = true; // from a clean journal
    table << blocks;

    table << unreadableJournal(QStringLiteral("damaged"), "[]", Msg::journalDamaged);
    // Never opened: an open for reading would wait for a writer for ever.
    Scenario pipe = unreadableJournal(QStringLiteral("a pipe"), "@pipe", Msg::journalUnreadable);
    pipe.notOnWine = QStringLiteral("a named pipe among the files of a directory is a Linux object");
    table << pipe;

    // Every removal fails while the updater runs, as a file held open on Windows would: the new
    // version ends unconfirmed, both rollbacks fail, nothing is started; a recovery run then
    // completes the rollback.
    Scenario removals = rolledBack(QStringLiteral("failed rollback then recovery"),
                                   QStringLiteral("every removal fails"), QStringLiteral("exit"));
    removals.run = Run::RemovalsFail;
    removals.exitCode = 6;
    removals.text = Msg::restoreTargetInUse + u'\n' + Msg::restoreTargetInUse + Msg::backupKeptTail;
    removals.started.clear();
    removals.lockGone = false;
    removals.notOnWine = QStringLiteral("only strace injects the failed removals");
    table << removals;

    // Wine shows a Linux symbolic link to a directory as a reparse point (one to a file it shows
    // as the file itself: that case needs Windows). A link beyond MAX_PATH (260 characters) in
    // its Windows form, where Windows takes only the long form of a path, is refused as one
    // closer to the root: a program root and a manifest path of up to 240 characters reach
    // there.
    table << linkRefused(QStringLiteral("work directory"), QStringLiteral(".vellumix-update"),
                         Msg::workDirectoryHasLink)
          << linkRefused(QStringLiteral("directory of an updated file"), QStringLiteral("lib"),
                         Msg::pathHasLinkOrJunction);
    QString deep = QStringLiteral("deep");
    for (int i = 1; i <= 3; ++i)
        deep += QStringLiteral("/a-directory-nested-beyond-the-limit-of-plain-windows-paths-%1").arg(i);
    // 230 characters: below a program root of 32 ("C:/vellumix-tests/XXXXXX/program"), the
    // link lies beyond MAX_PATH, and the file in it has a manifest path of 236.
    deep += QStringLiteral("/the-last-level-") + QString(230 - deep.size() - 16, u'x');
    Scenario beyond = linkRefused(QStringLiteral("directory of an updated file beyond MAX_PATH"), deep,
                                  Msg::pathHasLinkOrJunction);
    beyond.addedFile = deep + QStringLiteral("/x.dll");
    beyond.notNative = QStringLiteral("MAX_PATH is a limit of Win32 names");
    table << beyond;

    // The new version neither confirms nor ends: after 90 s the journal asks for a rollback and
    // the user to save and quit; the next recovery rolls back.
    Scenario realProbe;
    realProbe.group = QStringLiteral("probe");
    realProbe.name = kRealProbe;
    realProbe.slow = true;
    realProbe.behaviour = QStringLiteral("never");
    realProbe.runMs = 100000;
    realProbe.run = Run::RealProbe;
    realProbe.exitCode = 5;
    realProbe.text = Msg::newVersionUnconfirmed;
    realProbe.tree = Tree::Old; // after the recovery
    realProbe.journalState = QStringLiteral("rolledback");
    realProbe.installed = Installed::None;
    realProbe.started = QStringLiteral("version 2.0.0 started for its health probe");
    realProbe.notOnWine = QStringLiteral(
        "the slow suite is Linux's, and the unconfirmed version is ended by its Linux process id");
    table << realProbe;
    return table;
}

QByteArray payloadOf(const QByteArray &manifest)
{
    return QByteArray::fromBase64(
        QJsonDocument::fromJson(manifest).object().value(QStringLiteral("payload")).toString().toLatin1());
}

void tamper(AbstractInstallation &installation, const QByteArray &manifest, Tampering tampering)
{
    const QByteArray payload = payloadOf(manifest);
    if (tampering == Tampering::Payload) {
        QByteArray changed = payload;
        changed.replace("\"sequence\":2", "\"sequence\":3");
        const QByteArray signature = QByteArray::fromBase64(
            QJsonDocument::fromJson(manifest).object().value(QStringLiteral("signature")).toString().toLatin1());
        testsupport::writeFile(installation.stage(), QStringLiteral("manifest.json"),
                               testsupport::envelopeOf(changed, signature));
    } else if (tampering == Tampering::OtherKey) {
        QTemporaryDir keys;
        const QString otherKey = keys.filePath(QStringLiteral("other.pem"));
        testsupport::generateSigningKey(otherKey);
        testsupport::writeFile(installation.stage(), QStringLiteral("manifest.json"),
                               testsupport::envelopeOf(payload, testsupport::signPayload(
                                   payload, testsupport::SignatureScheme::Pkcs1Sha256, otherKey)));
    } else if (tampering == Tampering::StagedFile) {
        testsupport::writeFile(installation.stage(), QStringLiteral("files/lib/core.dll"), "tampered");
    }
}

// The journal of an install of v2 over v1 that was interrupted: lib/core.dll moved to the backup
// and half-copied, lib/new.dll new.
void leaveInterruptedInstall(const AbstractInstallation &installation, const QString &state)
{
    testsupport::writeFile(installation.workPath(QStringLiteral("backup")), QStringLiteral("lib/core.dll"),
                           "core library 1.0.0");
    testsupport::writeFile(installation.root(), QStringLiteral("lib/core.dll"), "core library 2.");
    testsupport::writeFile(installation.root(), QStringLiteral("lib/new.dll"), "new in 2");
    const QByteArray journal =
        "{\"entries\":[{\"hadOld\":true,\"path\":\"lib/core.dll\"},{\"hadOld\":false,\"path\":"
        "\"lib/new.dll\"}],\"sequence\":2,\"state\":\"" + state.toUtf8()
        + "\",\"token\":\"t\",\"version\":\"2.0.0\"}";
    testsupport::writeFile(installation.workPath(QString()), QStringLiteral("transaction.json"), journal);
}

bool lockExists(const AbstractInstallation &installation)
{
    return QFileInfo::exists(installation.workPath(QStringLiteral("installer.lock")));
}

// The exit code of a run, with its standard error shown when it is not the one expected.
#define COMPARE_EXIT(run, expected)                                                               \
    QVERIFY2((run).exitCode == (expected),                                                        \
             qPrintable(QStringLiteral("exit code %1, expected %2; standard error: %3")           \
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
        arguments.removeAll(QStringLiteral("--quiet"));
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
                    QString(argument).replace(QStringLiteral("@root"), installation.root())
                        .replace(QStringLiteral("@stage"), installation.stage()));
        }
        run = installation.runUpdater(arguments);
        return;
    }
    case Run::Relative:
        run = installation.runUpdater({QStringLiteral("--stage"), QStringLiteral("stage"), QStringLiteral("--root"),
                                       QStringLiteral("program"), QStringLiteral("--quiet")});
        return;
    case Run::WithParent: {
        const QString parent = scenario.arguments.value(0);
        std::unique_ptr<ParentProcess> process;
        QStringList arguments = installation.applyArguments();
        if (parent == u"@ended" || parent == u"@moment") {
            process = installation.startParent(parent == u"@ended" ? ParentLife::Ended : ParentLife::Moment);
            QVERIFY(process->pid() != 0);
            arguments << QStringLiteral("--parent") << QString::number(process->pid());
        } else if (!parent.isEmpty()) {
            arguments << QStringLiteral("--parent") << parent;
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
                                             << QStringLiteral("--parent") << QString::number(parent->pid()));
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
                                              << QStringLiteral("--parent") << QString::number(parent->pid()));
        QTRY_VERIFY_WITH_TIMEOUT(lockExists(installation), 30000);
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QVERIFY(lockExists(installation));
        run = installation.runUpdater(installation.applyArguments());
        parent->stop();
        return;
    }
    case Run::WhileLockHeld: {
        QLockFile lock(installation.workPath(QStringLiteral("installer.lock")));
        QVERIFY(lock.tryLock(0));
        QCOMPARE(installation.runUpdater(installation.recoverArguments()).exitCode, 3);
        lock.unlock();
        run = installation.runUpdater(installation.recoverArguments());
        return;
    }
    case Run::RepeatedUnderReaper: {
        AppVersion next = versionOf(QStringLiteral("2.0.0"), 2, scenario.behaviour, scenario.runMs);
        next.mainProgram = scenario.mainProgram;
        for (int round = 0; round < 25; ++round) {
            installation.install(v1);
            installation.stageUpdate(next);
            run = installation.runUpdaterUnder(Launcher::Reaper, installation.applyArguments());
            QVERIFY2(run.exitCode == scenario.exitCode,
                     qPrintable(QStringLiteral("round %1: exit %2 %3").arg(round).arg(run.exitCode).arg(run.errorOutput)));
        }
        return;
    }
    case Run::RemovalsFail: {
        run = installation.runUpdaterUnder(Launcher::RemovalsFail, installation.applyArguments());
        COMPARE_EXIT(run, scenario.exitCode);
        // The final text comes first; Qt may add that it could not remove the lock file.
        QVERIFY2(run.errorOutput == scenario.text || run.errorOutput.startsWith(scenario.text + u'\n'),
                 qPrintable(run.errorOutput));
        QCOMPARE(installation.journalState(), QStringLiteral("starting"));
        QTest::qWait(300);
        QVERIFY(!installation.appLog().join(u'\n').contains(QStringLiteral("version 1.0.0 started")));
        // Every old file is still there, in the program or in the backup.
        const auto backup = testsupport::snapshotTree(installation.workPath(QStringLiteral("backup")));
        QVERIFY(backup.contains(QStringLiteral("lib/core.dll")));
        // A recovery run completes the rollback.
        const RunResult recovery = installation.runUpdater(installation.recoverArguments());
        COMPARE_EXIT(recovery, 0);
        run.errorOutput = scenario.text;
        return;
    }
    case Run::RealProbe: {
        run = installation.runUpdater(installation.applyArguments(), 200000);
        COMPARE_EXIT(run, scenario.exitCode);
        QCOMPARE(installation.journalState(), QStringLiteral("rollback-needed"));
        // The new version was not closed: it still runs. End it, then recover.
        QVERIFY(installation.waitForAppLog(scenario.started));
        const QString line = installation.appLog().filter(QStringLiteral("health probe")).constFirst();
        QCOMPARE(::kill(pid_t(line.section(u' ', -1).toInt()), 0), 0);
        ::kill(pid_t(line.section(u' ', -1).toInt()), SIGKILL);
        COMPARE_EXIT(installation.runUpdater(installation.recoverArguments()), 0);
        return;
    }
    case Run::ApplicationApplies:
        run = installation.runApp({QStringLiteral("--apply-update"), installation.programPath(installation.stage()),
                                   QStringLiteral("--quiet")});
        COMPARE_EXIT(run, 0);
        QVERIFY(installation.waitForAppLog(QStringLiteral("started the updater for sequence 2")));
        return;
    case Run::ApplicationStarts:
        run = installation.runApp({QStringLiteral("--quiet")});
        COMPARE_EXIT(run, 0);
        QVERIFY(installation.waitForAppLog(QStringLiteral("starts the recovery")));
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
        && testsupport::runProgram(QStringLiteral("strace"), {QStringLiteral("-V")}) != 0)
        QSKIP("needs strace");
    AppVersion v2 = versionOf(QStringLiteral("2.0.0"), 2, scenario.behaviour, scenario.runMs);
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
        elsewhere.emplace(installation.home() + QStringLiteral("-link-XXXXXX"));
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
    COMPARE_EXIT(run, scenario.exitCode);
    QCOMPARE(run.errorOutput, scenario.text);

    const bool detached = scenario.run == Run::ApplicationApplies || scenario.run == Run::ApplicationStarts;
    if (scenario.journalState) {
        if (detached)
            QVERIFY(installation.waitForJournalState(*scenario.journalState));
        QCOMPARE(installation.journalState(), *scenario.journalState);
    }
    if (!scenario.started.isEmpty())
        QVERIFY2(installation.waitForAppLog(scenario.started), qPrintable(installation.appLog().join(u'\n')));
    if (scenario.nothingStarted) {
        QTest::qWait(500);
        QCOMPARE(installation.appLog(), QStringList());
    }
    // The lock is gone once the run has ended (an updater that the application started ends
    // after the confirmation).
    if (scenario.lockGone)
        QTRY_VERIFY_WITH_TIMEOUT(!lockExists(installation), detached ? 30000 : 0);

    switch (scenario.tree) {
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

    const QString installedRecord = installation.workPath(QStringLiteral("installed.json"));
    if (scenario.installed == Installed::New)
        QCOMPARE(testsupport::readFile(installedRecord),
                 QByteArray("{\n    \"sequence\": 2,\n    \"version\": \"2.0.0\"\n}\n"));
    else if (scenario.installed == Installed::None)
        QVERIFY(!QFileInfo::exists(installedRecord));

    if (scenario.compactJournal) {
        // The journal as the updater writes it on every platform: compact, the fresh token a
        // UUID; the two programs and docs/readme.txt are the same in both versions and are not
        // touched.
        const QByteArray bytes = testsupport::readFile(installation.workPath(QStringLiteral("transaction.json")));
        const QJsonObject journal = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(journal.keys(), (QStringList{QStringLiteral("entries"), QStringLiteral("sequence"),
                                              QStringLiteral("state"), QStringLiteral("token"),
                                              QStringLiteral("version")}));
        QVERIFY(!bytes.contains('\n'));
        QCOMPARE(journal.value(QStringLiteral("version")).toString(), QStringLiteral("2.0.0"));
        QCOMPARE(journal.value(QStringLiteral("entries")).toArray().size(), 3);
    }
    if (scenario.thenApplyAgain)
        COMPARE_EXIT(installation.runUpdater(installation.applyArguments()), 0);
}

} // namespace e2e
