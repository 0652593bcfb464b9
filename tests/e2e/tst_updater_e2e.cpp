// The real VellumixUpdater binary against real program roots with the stand-in application:
// every exit code and the failure cases of the command line, the run sequence, the probe and
// the outcome reporting.
#include "installation.h"
#include "messages.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QTest>

#include <signal.h>
#include <sys/stat.h>

using namespace e2e;
using testsupport::describeDifference;

namespace {

AppVersion versionOf(const QString &version, qint32 sequence)
{
    AppVersion result;
    result.version = version;
    result.sequence = sequence;
    return result;
}

const AppVersion v1 = versionOf(QStringLiteral("1.0.0"), 1);
const AppVersion v2 = versionOf(QStringLiteral("2.0.0"), 2);

AppVersion v2With(const QString &behaviour)
{
    AppVersion version = v2;
    version.behaviour = behaviour;
    return version;
}

QString failureText(const QString &message)
{
    return Msg::failurePrefix + message + Msg::failureTail;
}

// A journal left by an interrupted install of v2 over v1: lib/core.dll moved to the backup and
// half-copied, the extra library new.
void leaveInterruptedInstall(const Installation &installation, const QString &state)
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

} // namespace

class UpdaterEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { VELLUMIX_REQUIRE_DEV_SIGNING_KEY(); }

    void confirmedUpdate()
    {
        Installation installation;
        installation.install(v1);
        installation.stageUpdate(v2);
        const RunResult run = installation.runUpdater(installation.applyArguments());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.errorOutput, QString());
        QCOMPARE(describeDifference(installation.treeOf(v2), installation.programTree()), QString());
        QCOMPARE(installation.journalState(), QStringLiteral("healthy"));
        QCOMPARE(testsupport::readFile(installation.workPath(QStringLiteral("installed.json"))),
                 QByteArray("{\n    \"sequence\": 2,\n    \"version\": \"2.0.0\"\n}\n"));
        QVERIFY(installation.waitForAppLog(QStringLiteral("version 2.0.0 confirmed its start")));
        // The lock is gone once the run has ended.
        QVERIFY(!QFileInfo::exists(installation.workPath(QStringLiteral("installer.lock"))));
    }

    void confirmationJustBeforeTheNewVersionEnds()
    {
        Installation installation;
        installation.install(v1);
        installation.stageUpdate(v2With(QStringLiteral("confirm-exit")));
        QCOMPARE(installation.runUpdater(installation.applyArguments()).exitCode, 0);
        QCOMPARE(installation.journalState(), QStringLiteral("healthy"));
    }

    // A new version that ends without a valid confirmation is rolled back and the old one started.
    void newVersionEndsUnconfirmed_data()
    {
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<bool>("staleHealthFile");
        QTest::newRow("crash at start-up") << "exit" << false;
        QTest::newRow("wrong token") << "wrong-token" << false;
        QTest::newRow("version as a number") << "number-version" << false;
        QTest::newRow("health file of an earlier run") << "exit" << true;
    }

    void newVersionEndsUnconfirmed()
    {
        QFETCH(QString, behaviour);
        QFETCH(bool, staleHealthFile);
        Installation installation;
        installation.install(v1);
        AppVersion next = v2With(behaviour);
        next.runMs = 0;
        installation.stageUpdate(next);
        if (staleHealthFile)
            testsupport::writeFile(installation.workPath(QString()), QStringLiteral("health.json"),
                                   R"({"token":"11111111-2222-3333-4444-555555555555","version":"2.0.0"})");
        const RunResult run = installation.runUpdater(installation.applyArguments());
        QCOMPARE(run.exitCode, 4);
        QCOMPARE(run.errorOutput, Msg::newVersionFailedRestored);
        QCOMPARE(describeDifference(installation.treeOf(v1), installation.programTree()), QString());
        QCOMPARE(installation.journalState(), QStringLiteral("rolledback"));
        QVERIFY(!QFileInfo::exists(installation.workPath(QStringLiteral("installed.json"))));
        QVERIFY(installation.waitForAppLog(QStringLiteral("version 1.0.0 started")));
    }

    void crashAtOnceIsSeenEveryTime()
    {
        // A new version that dies at once must be seen to end, never reported as still running
        // and never mistaken for another process: repeated, because a race shows only sometimes.
        // The new main program is a script that ends in a few microseconds, so that it usually
        // ends before the updater has opened it.
        Installation installation;
        AppVersion crashing = v2;
        crashing.mainProgram = "#!/bin/sh\nexit 3\n";
        for (int round = 0; round < 25; ++round) {
            installation.install(v1);
            installation.stageUpdate(crashing);
            const RunResult run = installation.runProgram(
                QString::fromUtf8(VELLUMIX_REAPER_BINARY),
                QStringList{QString::fromUtf8(VELLUMIX_UPDATER_BINARY)} + installation.applyArguments());
            QVERIFY2(run.exitCode == 4, qPrintable(QStringLiteral("round %1: exit %2 %3")
                                                       .arg(round).arg(run.exitCode).arg(run.errorOutput)));
        }
    }

    void tamperedManifestIsRefused_data()
    {
        QTest::addColumn<QString>("tampering");
        QTest::newRow("payload changed after signing") << "payload";
        QTest::newRow("signature by another key") << "key";
        QTest::newRow("staged file changed") << "file";
    }

    void tamperedManifestIsRefused()
    {
        QFETCH(QString, tampering);
        Installation installation;
        installation.install(v1);
        const QByteArray manifest = installation.stageUpdate(v2);
        QString message = Msg::signatureRejected;
        if (tampering == u"payload") {
            const QJsonObject envelope = QJsonDocument::fromJson(manifest).object();
            QByteArray payload = QByteArray::fromBase64(envelope.value(QStringLiteral("payload")).toString().toLatin1());
            payload.replace("\"sequence\":2", "\"sequence\":3");
            testsupport::writeFile(installation.stage(), QStringLiteral("manifest.json"),
                                   testsupport::envelopeOf(payload, QByteArray::fromBase64(
                                       envelope.value(QStringLiteral("signature")).toString().toLatin1())));
        } else if (tampering == u"key") {
            const QString otherKey = installation.stage() + QStringLiteral("/../other.pem");
            testsupport::generateSigningKey(otherKey);
            const QByteArray payload = QByteArray::fromBase64(
                QJsonDocument::fromJson(manifest).object().value(QStringLiteral("payload")).toString().toLatin1());
            testsupport::writeFile(installation.stage(), QStringLiteral("manifest.json"),
                                   testsupport::envelopeOf(payload, testsupport::signPayload(
                                       payload, testsupport::SignatureScheme::Pkcs1Sha256, otherKey)));
        } else {
            testsupport::writeFile(installation.stage(), QStringLiteral("files/lib/core.dll"), "tampered");
            message = Msg::stagedFileInvalid + QStringLiteral("lib/core.dll");
        }
        const auto before = installation.programTree();
        const RunResult run = installation.runUpdater(installation.applyArguments());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errorOutput, failureText(message));
        QCOMPARE(describeDifference(before, installation.programTree()), QString());
        // No parent to wait for: the old program is started again.
        QVERIFY(installation.waitForAppLog(QStringLiteral("version 1.0.0 started")));
    }

    void messageBoxWithoutQuiet()
    {
        // Without --quiet the final text goes to the message box; on Linux its stand-in writes
        // the title line and the text to standard error.
        Installation installation;
        installation.install(v1);
        const RunResult run = installation.runUpdater(
            {QStringLiteral("--root"), installation.root(), QStringLiteral("--stage"), installation.stage()});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errorOutput, Msg::messageTitle + u'\n'
                     + failureText(Msg::cannotReadFile + QStringLiteral("manifest.json")));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text");
        QTest::newRow("no arguments") << QStringList{} << 2 << QString();
        QTest::newRow("root as the last argument") << QStringList{QStringLiteral("--quiet"), QStringLiteral("--root")} << 2 << QString();
        QTest::newRow("empty root") << QStringList{QStringLiteral("--root"), QString(), QStringLiteral("--quiet")} << 2 << QString();
        QTest::newRow("root in another letter case") << QStringList{QStringLiteral("--ROOT"), QStringLiteral("/tmp")} << 2 << QString();
        QTest::newRow("no stage: manifest.json at the top")
            << QStringList{QStringLiteral("--root"), QStringLiteral("@root"), QStringLiteral("--quiet")} << 1
            << failureText(Msg::cannotReadFile + QStringLiteral("manifest.json"));
        QTest::newRow("values are positional")
            << QStringList{QStringLiteral("--root"), QStringLiteral("--stage"), QStringLiteral("x"), QStringLiteral("--quiet")}
            << 3 << QString();
        QTest::newRow("first root counts")
            << QStringList{QStringLiteral("--root"), QStringLiteral("@root"), QStringLiteral("--root"), QStringLiteral("/nonexistent"),
                           QStringLiteral("--stage"), QStringLiteral("@stage"), QStringLiteral("--quiet")}
            << 1 << failureText(Msg::cannotReadFile + QStringLiteral("manifest.json"));
        QTest::newRow("work directory missing")
            << QStringList{QStringLiteral("--root"), QStringLiteral("@root/lib"), QStringLiteral("--quiet")} << 3 << QString();
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, text);
        Installation installation;
        installation.install(v1);
        for (QString &argument : arguments)
            argument.replace(QStringLiteral("@root"), installation.root()).replace(QStringLiteral("@stage"), installation.stage());
        const auto before = testsupport::snapshotTree(installation.root());
        const RunResult run = installation.runUpdater(arguments);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.errorOutput, text);
        QCOMPARE(describeDifference(before, testsupport::snapshotTree(installation.root())), QString());
    }

    void relativeRootAndStage()
    {
        Installation installation;
        installation.install(v1);
        installation.stageUpdate(v2);
        // The updater runs in the parent of both directories.
        const RunResult run = installation.runUpdater(
            {QStringLiteral("--stage"), QStringLiteral("stage"), QStringLiteral("--root"), QStringLiteral("program"),
             QStringLiteral("--quiet")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(describeDifference(installation.treeOf(v2), installation.programTree()), QString());
    }

    void secondUpdaterIsRefusedWhileTheFirstWaits()
    {
        Installation installation;
        installation.install(v1);
        installation.stageUpdate(v2);
        Sleeper parent(1500);
        QProcess first;
        first.start(QString::fromUtf8(VELLUMIX_UPDATER_BINARY),
                    installation.applyArguments() << QStringLiteral("--parent") << QString::number(parent.pid()));
        QVERIFY(first.waitForStarted());
        // The first holds the lock while it waits for its parent.
        QTRY_VERIFY(QFileInfo::exists(installation.workPath(QStringLiteral("installer.lock"))));
        const RunResult second = installation.runUpdater(installation.applyArguments());
        QCOMPARE(second.exitCode, 3);
        QCOMPARE(second.errorOutput, QString());
        QCOMPARE(installation.runUpdater(installation.recoverArguments()).exitCode, 3);
        // The parent ends after a moment; the first goes on and completes the update.
        QVERIFY(first.waitForFinished(60000));
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(installation.journalState(), QStringLiteral("healthy"));
    }

    void lockHeldByAnotherProcess()
    {
        Installation installation;
        installation.install(v1);
        QLockFile lock(installation.workPath(QStringLiteral("installer.lock")));
        QVERIFY(lock.tryLock(0));
        QCOMPARE(installation.runUpdater(installation.recoverArguments()).exitCode, 3);
        lock.unlock();
        QCOMPARE(installation.runUpdater(installation.recoverArguments()).exitCode, 0);
    }

    void lockOfAKilledRunDoesNotBlock()
    {
        Installation installation;
        installation.install(v1);
        installation.stageUpdate(v2);
        Sleeper parent(60000);
        QProcess killed;
        killed.start(QString::fromUtf8(VELLUMIX_UPDATER_BINARY),
                     installation.applyArguments() << QStringLiteral("--parent") << QString::number(parent.pid()));
        QVERIFY(killed.waitForStarted());
        QTRY_VERIFY(QFileInfo::exists(installation.workPath(QStringLiteral("installer.lock"))));
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QVERIFY(QFileInfo::exists(installation.workPath(QStringLiteral("installer.lock"))));
        const RunResult next = installation.runUpdater(installation.applyArguments());
        QCOMPARE(next.exitCode, 0);
        QCOMPARE(installation.journalState(), QStringLiteral("healthy"));
    }

    void parentIds_data()
    {
        QTest::addColumn<QString>("parent");
        QTest::newRow("absent") << QString();
        QTest::newRow("zero") << QStringLiteral("0");
        QTest::newRow("garbage") << QStringLiteral("12abc");
        QTest::newRow("beyond 32 bits") << QStringLiteral("4294967297");
        QTest::newRow("ended") << QStringLiteral("ended");
        QTest::newRow("alive for a moment") << QStringLiteral("alive");
    }

    void parentIds()
    {
        QFETCH(QString, parent);
        Installation installation;
        installation.install(v1);
        installation.stageUpdate(v2);
        Sleeper sleeper(parent == u"alive" ? 1000 : 0);
        if (parent == u"ended")
            sleeper.stop();
        QStringList arguments = installation.applyArguments();
        if (!parent.isEmpty())
            arguments << QStringLiteral("--parent")
                      << (parent == u"ended" || parent == u"alive" ? QString::number(sleeper.pid()) : parent);
        const RunResult run = installation.runUpdater(arguments);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(installation.journalState(), QStringLiteral("healthy"));
    }

    void recoveryWithEveryJournalState_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("rolledBack");
        QTest::newRow("no journal") << QString() << false;
        QTest::newRow("healthy") << "healthy" << false;
        QTest::newRow("rolledback") << "rolledback" << false;
        QTest::newRow("installing") << "installing" << true;
        QTest::newRow("starting") << "starting" << true;
        QTest::newRow("rollback-needed") << "rollback-needed" << true;
    }

    void recoveryWithEveryJournalState()
    {
        QFETCH(QString, state);
        QFETCH(bool, rolledBack);
        Installation installation;
        installation.install(v1);
        if (!state.isEmpty())
            leaveInterruptedInstall(installation, state);
        const auto before = installation.programTree();
        // The stage is ignored in the recovery sequence.
        const RunResult run = installation.runUpdater(installation.recoverArguments()
                                                      << QStringLiteral("--stage") << QStringLiteral("/nonexistent"));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.errorOutput, QString());
        if (rolledBack) {
            QCOMPARE(describeDifference(installation.treeOf(v1), installation.programTree()), QString());
            QCOMPARE(installation.journalState(), QStringLiteral("rolledback"));
        } else {
            QCOMPARE(describeDifference(before, installation.programTree()), QString());
            QCOMPARE(installation.journalState(), state);
        }
        QVERIFY(installation.waitForAppLog(QStringLiteral("version 1.0.0 started")));
    }

    void unfinishedJournalBlocksAnApplyAndIsRolledBack()
    {
        Installation installation;
        installation.install(v1);
        installation.stageUpdate(v2);
        leaveInterruptedInstall(installation, QStringLiteral("rollback-needed"));
        const RunResult run = installation.runUpdater(installation.applyArguments());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errorOutput, failureText(Msg::previousUpdateUnfinished));
        QCOMPARE(describeDifference(installation.treeOf(v1), installation.programTree()), QString());
        QCOMPARE(installation.journalState(), QStringLiteral("rolledback"));
        // The next run starts from a clean journal.
        QCOMPARE(installation.runUpdater(installation.applyArguments()).exitCode, 0);
    }

    void journalThatCannotBeReadStopsWithoutARestart_data()
    {
        QTest::addColumn<QByteArray>("journal"); // "@fifo": a pipe in its place
        QTest::addColumn<QString>("problem");
        QTest::newRow("damaged") << QByteArray("[]") << Msg::journalDamaged;
        // Never opened: an open for reading would wait for a writer for ever.
        QTest::newRow("a pipe") << QByteArray("@fifo") << Msg::journalUnreadable;
    }

    void journalThatCannotBeReadStopsWithoutARestart()
    {
        QFETCH(QByteArray, journal);
        QFETCH(QString, problem);
        Installation installation;
        installation.install(v1);
        if (journal == "@fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(installation.workPath(QStringLiteral("transaction.json"))).constData(), 0600), 0);
        else
            testsupport::writeFile(installation.workPath(QString()), QStringLiteral("transaction.json"), journal);
        const RunResult run = installation.runUpdater(installation.recoverArguments(), 30000);
        QCOMPARE(run.exitCode, 6);
        QCOMPARE(run.errorOutput, problem + u'\n' + problem + Msg::backupKeptTail);
        QTest::qWait(500);
        QVERIFY(installation.appLog().isEmpty());
    }

    void newVersionThatCannotStart()
    {
        Installation installation;
        installation.install(v1);
        // A main program that is not executable.
        AppVersion broken = v2;
        broken.mainProgram = "not a program";
        installation.stageUpdate(broken);
        QFile::setPermissions(installation.stage() + QStringLiteral("/files/Vellumix.exe"),
                              QFile::ReadOwner | QFile::WriteOwner);
        const RunResult run = installation.runUpdater(installation.applyArguments());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errorOutput, failureText(Msg::newVersionNotStarted));
        QCOMPARE(describeDifference(installation.treeOf(v1), installation.programTree()), QString());
        QCOMPARE(installation.journalState(), QStringLiteral("rolledback"));
        QVERIFY(installation.waitForAppLog(QStringLiteral("version 1.0.0 started")));
    }

    void workDirectoryLinkIsRefusedBeforeTheLock()
    {
        Installation installation;
        installation.install(v1);
        QTemporaryDir elsewhere;
        QDir(installation.workPath(QString())).removeRecursively();
        QVERIFY(QFile::link(elsewhere.path(), QDir::cleanPath(installation.workPath(QString()))));
        installation.stageUpdate(v2);
        const auto before = testsupport::snapshotTree(installation.root());
        const RunResult run = installation.runUpdater(installation.applyArguments());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errorOutput, failureText(Msg::workDirectoryHasLink));
        QCOMPARE(testsupport::snapshotTree(installation.root()), before);
        QVERIFY(QDir(elsewhere.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    }

    void failedRollbackThenRecovery()
    {
        // Every removal fails while the updater runs, as a file held open on Windows would: the
        // new version ends unconfirmed, both rollbacks fail, nothing is started.
        if (testsupport::runProgram(QStringLiteral("strace"), {QStringLiteral("-V")}) != 0)
            QSKIP("needs strace");
        Installation installation;
        installation.install(v1);
        AppVersion crashing = v2With(QStringLiteral("exit"));
        crashing.runMs = 0;
        installation.stageUpdate(crashing);
        const RunResult run = installation.runProgram(
            QStringLiteral("strace"),
            QStringList{QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                        QStringLiteral("-e"), QStringLiteral("trace=unlink,unlinkat"),
                        QStringLiteral("-e"), QStringLiteral("inject=unlink,unlinkat:error=EBUSY"),
                        QString::fromUtf8(VELLUMIX_UPDATER_BINARY)}
                + installation.applyArguments());
        QCOMPARE(run.exitCode, 6);
        // The final text comes first; Qt may add that it could not remove the lock file.
        const QString text = Msg::restoreTargetInUse + u'\n' + Msg::restoreTargetInUse + Msg::backupKeptTail;
        QVERIFY2(run.errorOutput == text || run.errorOutput.startsWith(text + u'\n'),
                 qPrintable(run.errorOutput));
        QCOMPARE(installation.journalState(), QStringLiteral("starting"));
        QTest::qWait(300);
        QVERIFY(!installation.appLog().join(u'\n').contains(QStringLiteral("version 1.0.0 started")));
        // Every old file is still there, in the program or in the backup.
        const auto backup = testsupport::snapshotTree(installation.workPath(QStringLiteral("backup")));
        QVERIFY(backup.contains(QStringLiteral("lib/core.dll")));

        // A recovery run completes the rollback.
        QCOMPARE(installation.runUpdater(installation.recoverArguments()).exitCode, 0);
        QCOMPARE(describeDifference(installation.treeOf(v1), installation.programTree()), QString());
        QCOMPARE(installation.journalState(), QStringLiteral("rolledback"));
    }

    void ninetySecondProbeRunsForReal()
    {
        if (qEnvironmentVariableIsEmpty("VELLUMIX_SLOW_TESTS"))
            QSKIP("the real 90-second probe runs in the slow suite (ctest -L slow)");
        Installation installation;
        installation.install(v1);
        AppVersion silent = v2With(QStringLiteral("never"));
        silent.runMs = 100000;
        installation.stageUpdate(silent);
        const RunResult run = installation.runUpdater(installation.applyArguments(), 200000);
        QCOMPARE(run.exitCode, 5);
        QCOMPARE(run.errorOutput, Msg::newVersionUnconfirmed);
        QCOMPARE(installation.journalState(), QStringLiteral("rollback-needed"));
        // The new version was not closed: it still runs. End it, then recover.
        QVERIFY(installation.waitForAppLog(QStringLiteral("version 2.0.0 started for its health probe")));
        const QString line = installation.appLog().filter(QStringLiteral("health probe")).constFirst();
        QCOMPARE(::kill(pid_t(line.section(u' ', -1).toInt()), 0), 0);
        ::kill(pid_t(line.section(u' ', -1).toInt()), SIGKILL);
        QCOMPARE(installation.runUpdater(installation.recoverArguments()).exitCode, 0);
        QCOMPARE(describeDifference(installation.treeOf(v1), installation.programTree()), QString());
    }
};

QTEST_GUILESS_MAIN(UpdaterEndToEnd)
#include "tst_updater_e2e.moc"
