// The updater killed, or failed with an I/O error, just before each system call by which it
// changes the disk, and what the program root looks like afterwards.
//
// Crash rule: after the kill, a recovery run ("--recover") is not blocked by the killed run's
// lock (exit 0), and the program tree equals the old tree exactly, or the new tree exactly when
// the journal had reached "healthy".
//
// Error rule, for one injected error (EIO, ENOSPC, EACCES, EBUSY) at one call:
//   exit 0  only with the new tree and the journal "healthy" (the error hit a call whose failure
//           changes nothing, such as the flush of the lock file);
//   exit 1  with the old tree and a finished journal, or with the new tree when the journal on
//           disk already says "healthy" (the error hit a write after the confirmation, such as the
//           installed record or the directory flush after the "healthy" journal);
//   exit 3  with the old tree, only when the error hit the lock file itself;
//   exit 4  (the new version ends unconfirmed) with the old tree;
//   exit 6  with every replaced old file still in place or in the backup, unchanged;
// and after any of them a recovery run ends with 0 and leaves the old tree (or the new one after
// "healthy"). Nothing else passes: no other exit code, no exit 0 with a wrong tree, no lost file.
//
// Crashes of the rollback itself: an apply interrupted at a few points (in the middle of the
// backup moves, in the middle of the copies, just after "starting"), then its recovery killed
// before each of the recovery's own mutating calls; and an apply whose copy fails with an I/O
// error, its rollback killed before each call from the error on (the rollback after a new version
// that ends unconfirmed is killed at each of its calls by the crash sweep's second scenario).
// Rule: the next recovery ends with 0, without waiting out a stale time (the lock is tried once,
// so a helper lock left by the killed run would end it with 3), with the journal "rolledback",
// the old tree and no lock file left.
#include "faultrig.h"
#include "messages.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

using namespace fault;

Q_DECLARE_METATYPE(fault::NewVersion)

namespace {

const QString kHealthy = QStringLiteral("healthy");

bool isUnfinished(const QString &state)
{
    return state == u"installing" || state == u"starting" || state == u"rollback-needed";
}

QString describe(const QString &call, int occurrence, const QString &action, const InjectedRun &run)
{
    return QStringLiteral("%1 #%2 (%3): exit %4, hit: %5\n  %6")
        .arg(call)
        .arg(occurrence)
        .arg(action)
        .arg(run.result.exitCode)
        .arg(run.injectedCall.left(220), run.result.errorOutput.left(300));
}

// The recovery after a fault: not blocked by the lock, and the tree that the journal says.
QString checkRecovery(const ReferenceUpdate &update, const e2e::Installation &installation)
{
    const e2e::RunResult recovery = installation.runUpdater(installation.recoverArguments());
    if (recovery.exitCode != 0)
        return QStringLiteral("recovery ended with %1 (%2)").arg(recovery.exitCode).arg(recovery.errorOutput);
    const QString state = installation.journalState();
    if (isUnfinished(state))
        return QStringLiteral("journal still \"%1\" after the recovery").arg(state);
    const QString difference = updateBecameHealthy(installation) ? differenceFromNew(update, installation)
                                                                 : differenceFromOld(update, installation);
    if (!difference.isEmpty())
        return QStringLiteral("after the recovery (journal \"%1\"):\n%2").arg(state, difference);
    const QStringList locks = QDir(installation.workPath(QString()))
                                  .entryList({QStringLiteral("installer.lock*")}, QDir::AllEntries | QDir::Hidden);
    if (!locks.isEmpty())
        return QStringLiteral("the recovery run left lock files: ") + locks.join(QStringLiteral(", "));
    return QString();
}

// The recovery after a killed rollback: as above, and the update is rolled back.
QString checkRolledBack(const ReferenceUpdate &update, const e2e::Installation &installation)
{
    const QString problem = checkRecovery(update, installation);
    if (!problem.isEmpty() || installation.journalState() == u"rolledback")
        return problem;
    return QStringLiteral("journal \"%1\" after the recovery").arg(installation.journalState());
}

// A fresh program root with the reference update run under `faults` and killed by the last of
// them, its journal in `state`; null, with the reason in `problem`, when the run went otherwise.
std::unique_ptr<e2e::Installation> interruptedApply(const ReferenceUpdate &update,
                                                    const QList<Injection> &faults,
                                                    const QString &state, QString *problem)
{
    auto installation = update.freshInstallation();
    const InjectedRun run = runInjected(*installation, update.applyArguments(*installation), faults);
    if (run.reached && run.result.exitCode == -1 && installation->journalState() == state)
        return installation;
    *problem = QStringLiteral("the apply interrupted at %1 #%2 ended with %3, the journal \"%4\"")
                   .arg(faults.last().call)
                   .arg(faults.last().occurrence)
                   .arg(run.result.exitCode)
                   .arg(installation->journalState());
    return nullptr;
}

int middleOf(const QList<int> &occurrences)
{
    return occurrences.isEmpty() ? 0 : occurrences.at(occurrences.size() / 2);
}

QString checkErrorOutcome(const ReferenceUpdate &update, const e2e::Installation &installation,
                          const InjectedRun &run)
{
    const QString state = installation.journalState();
    const bool healthy = updateBecameHealthy(installation);
    const auto oldOrHealthyNew = [&]() {
        if (healthy)
            return differenceFromNew(update, installation);
        if (isUnfinished(state))
            return QStringLiteral("journal left \"%1\"").arg(state);
        return differenceFromOld(update, installation);
    };
    switch (run.result.exitCode) {
    case 0:
        if (!healthy)
            return QStringLiteral("exit 0 with the journal \"%1\"").arg(state);
        return differenceFromNew(update, installation);
    case 1:
        return oldOrHealthyNew();
    case 3:
        if (!run.injectedCall.contains(QStringLiteral("installer.lock")))
            return QStringLiteral("exit 3 without a fault on the lock");
        return differenceFromOld(update, installation);
    case 4:
        if (state != u"rolledback")
            return QStringLiteral("exit 4 with the journal \"%1\"").arg(state);
        return differenceFromOld(update, installation);
    case 6: {
        const QString lost = lostOldFiles(update, installation);
        if (!lost.isEmpty())
            return QStringLiteral("exit 6 and lost: ") + lost;
        // The text is missing only when the fault also hit its write to standard error.
        if (!run.result.errorOutput.isEmpty() && !run.result.errorOutput.contains(Msg::backupKeptTail))
            return QStringLiteral("exit 6 without the backup line");
        return QString();
    }
    default:
        return QStringLiteral("unexpected exit code");
    }
}

struct Tally
{
    int tried = 0;
    int unreached = 0;
    QMap<int, int> exitCodes;
    QStringList failures;
};

} // namespace

class FaultSweep : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        if (!haveStrace())
            QSKIP("needs strace");
        qInfo("%s sweep", fullSweep() ? "full" : "sampled (VELLUMIX_FAULT_SWEEP=full for every occurrence)");
    }

    void crashSweep_data() { scenarios(); }

    void crashSweep()
    {
        QFETCH(NewVersion, behaviour);
        Scratch scratch;
        const ReferenceUpdate update(behaviour);
        const auto plan = checkedPlan(update, behaviour);
        QVERIFY(!plan.isEmpty());

        Tally tally;
        QElapsedTimer timer;
        timer.start();
        for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
            for (int occurrence : occurrencesToTry(it.value())) {
                const auto installation = update.freshInstallation();
                const InjectedRun run = runInjected(*installation, update.applyArguments(*installation),
                                                    it.key(), QStringLiteral("signal=KILL"), occurrence);
                if (!run.reached) {
                    ++tally.unreached;
                    continue;
                }
                ++tally.tried;
                QString problem = run.result.exitCode == -1 ? QString()
                                                            : QStringLiteral("the updater was not killed");
                if (problem.isEmpty())
                    problem = checkRecovery(update, *installation);
                if (!problem.isEmpty())
                    tally.failures << describe(it.key(), occurrence, QStringLiteral("kill"), run) + u'\n' + problem;
            }
        }
        qInfo("crash points tried: %d (not reached: %d), calls: %s, %.1f s", tally.tried,
              tally.unreached, qPrintable(QStringList(plan.keys()).join(u' ')), timer.elapsed() / 1000.0);
        QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join(u'\n')));
        QVERIFY(tally.tried > 0);
    }

    void errorSweep_data() { scenarios(); }

    void errorSweep()
    {
        QFETCH(NewVersion, behaviour);
        Scratch scratch;
        const ReferenceUpdate update(behaviour);
        const auto plan = checkedPlan(update, behaviour);
        QVERIFY(!plan.isEmpty());

        const QStringList errors{QStringLiteral("EIO"), QStringLiteral("ENOSPC"),
                                 QStringLiteral("EACCES"), QStringLiteral("EBUSY")};
        Tally tally;
        QElapsedTimer timer;
        timer.start();
        int turn = 0;
        for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
            for (int occurrence : occurrencesToTry(it.value())) {
                // The sampled sweep takes the errors in turn; the full sweep tries each of them,
                // once at the occurrence alone and once from it on (a disk that stays broken).
                QList<QPair<QString, bool>> faults;
                if (fullSweep()) {
                    for (const QString &error : errors)
                        faults << qMakePair(error, false) << qMakePair(error, true);
                } else {
                    faults << qMakePair(errors.at(turn % errors.size()), turn % 3 == 2);
                    ++turn;
                }
                for (const auto &[error, persistent] : faults)
                    tryError(update, it.key(), occurrence, error, persistent, tally);
            }
        }
        QStringList outcomes;
        for (auto code = tally.exitCodes.cbegin(); code != tally.exitCodes.cend(); ++code)
            outcomes << QStringLiteral("exit %1: %2").arg(code.key()).arg(code.value());
        qInfo("error points tried: %d (not reached: %d); %s; %.1f s", tally.tried, tally.unreached,
              qPrintable(outcomes.join(QStringLiteral(", "))), timer.elapsed() / 1000.0);
        QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join(u'\n')));
        QVERIFY(tally.tried > 0);
    }

    void recoveryCrashSweep_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("state");
        // The apply is killed at the middle occurrence of the call in an undisturbed apply. prctl
        // changes nothing and comes once, right after the journal says "starting": the updater
        // makes itself the subreaper of the new version it is about to start.
        QTest::newRow("apply killed in the middle of the backup moves") << "renameat2" << "installing";
        QTest::newRow("apply killed in the middle of the copies") << "copy_file_range" << "installing";
        QTest::newRow("apply killed just after \"starting\"") << "prctl" << "starting";
    }

    void recoveryCrashSweep()
    {
        QFETCH(QString, call);
        QFETCH(QString, state);
        Scratch scratch;
        const ReferenceUpdate update(NewVersion::Confirms);
        const int applyOccurrence = middleOf(mutatingOccurrences(update).value(call));
        const QList<Injection> interruption{
            {call, QStringLiteral("signal=KILL"), applyOccurrence == 0 ? 1 : applyOccurrence}};

        // The recovery's own calls, from an undisturbed recovery of the interrupted apply.
        QString problem;
        const auto undisturbed = interruptedApply(update, interruption, state, &problem);
        QVERIFY2(undisturbed, qPrintable(problem));
        const auto plan = mutatingOccurrences(*undisturbed, undisturbed->recoverArguments());
        QCOMPARE(undisturbed->journalState(), QStringLiteral("rolledback"));
        QCOMPARE(differenceFromOld(update, *undisturbed), QString());
        QVERIFY(!plan.isEmpty());

        Tally tally;
        QElapsedTimer timer;
        timer.start();
        for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
            for (int occurrence : occurrencesToTry(it.value())) {
                const auto installation = interruptedApply(update, interruption, state, &problem);
                if (!installation) {
                    tally.failures << problem;
                    continue;
                }
                const InjectedRun run = runInjected(*installation, installation->recoverArguments(),
                                                    it.key(), QStringLiteral("signal=KILL"), occurrence);
                tallyKilledRollback(update, *installation, it.key(), occurrence, run, tally);
            }
        }
        reportKilledRollbacks("recovery", tally, plan, timer);
    }

    void rollbackCrashSweep_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("lastCopy");
        QTest::newRow("EIO in the middle of the copies") << "EIO" << false;
        QTest::newRow("ENOSPC at the last copy") << "ENOSPC" << true;
    }

    void rollbackCrashSweep()
    {
        QFETCH(QString, error);
        QFETCH(bool, lastCopy);
        Scratch scratch;
        const ReferenceUpdate update(NewVersion::Confirms);
        const QString copy = QStringLiteral("copy_file_range");
        const QList<int> copies = mutatingOccurrences(update).value(copy);
        QVERIFY(copies.size() > 2);
        const Injection ioError{copy, QStringLiteral("error=") + error, lastCopy ? copies.last() : middleOf(copies)};

        // The calls from the error on: the removal of the failed copy, the rollback, the final
        // text. The rollback copies nothing, so the kill never shares its call with the error.
        const auto undisturbed = update.freshInstallation();
        auto plan = mutatingOccurrences(*undisturbed, update.applyArguments(*undisturbed), {ioError}, true);
        QCOMPARE(undisturbed->journalState(), QStringLiteral("rolledback"));
        QCOMPARE(differenceFromOld(update, *undisturbed), QString());
        QVERIFY(!plan.isEmpty());
        QVERIFY(!plan.contains(copy));

        Tally tally;
        QElapsedTimer timer;
        timer.start();
        for (auto it = plan.cbegin(); it != plan.cend(); ++it) {
            for (int occurrence : occurrencesToTry(it.value())) {
                const auto installation = update.freshInstallation();
                const InjectedRun run =
                    runInjected(*installation, update.applyArguments(*installation),
                                {ioError, {it.key(), QStringLiteral("signal=KILL"), occurrence}});
                tallyKilledRollback(update, *installation, it.key(), occurrence, run, tally);
            }
        }
        reportKilledRollbacks("rollback", tally, plan, timer);
    }

private:
    static void tallyKilledRollback(const ReferenceUpdate &update, const e2e::Installation &installation,
                                    const QString &call, int occurrence, const InjectedRun &run, Tally &tally)
    {
        if (!run.reached) {
            ++tally.unreached;
            return;
        }
        ++tally.tried;
        const QString problem = run.result.exitCode == -1 ? checkRolledBack(update, installation)
                                                          : QStringLiteral("the run was not killed");
        if (!problem.isEmpty())
            tally.failures << describe(call, occurrence, QStringLiteral("kill"), run) + u'\n' + problem;
    }

    static void reportKilledRollbacks(const char *what, const Tally &tally,
                                      const QMap<QString, QList<int>> &plan, const QElapsedTimer &timer)
    {
        qInfo("%s crash points tried: %d (not reached: %d), calls: %s, %.1f s", what, tally.tried,
              tally.unreached, qPrintable(QStringList(plan.keys()).join(u' ')), timer.elapsed() / 1000.0);
        QVERIFY2(tally.failures.isEmpty(), qPrintable(tally.failures.join(u'\n')));
        QVERIFY(tally.tried > 0);
    }

    static void scenarios()
    {
        QTest::addColumn<NewVersion>("behaviour");
        QTest::newRow("new version confirms") << NewVersion::Confirms;
        QTest::newRow("new version crashes, rolled back in the same run") << NewVersion::Crashes;
    }

    // The mutating calls of an undisturbed run, after checking that run's own outcome.
    static QMap<QString, QList<int>> checkedPlan(const ReferenceUpdate &update, NewVersion behaviour)
    {
        const auto installation = update.freshInstallation();
        const e2e::RunResult run = installation->runUpdater(update.applyArguments(*installation));
        const bool confirms = behaviour == NewVersion::Confirms;
        if (run.exitCode != (confirms ? 0 : 4)) {
            qWarning("undisturbed run: exit %d %s", run.exitCode, qPrintable(run.errorOutput));
            return {};
        }
        const QString difference =
            confirms ? differenceFromNew(update, *installation) : differenceFromOld(update, *installation);
        if (!difference.isEmpty()) {
            qWarning("undisturbed run: %s", qPrintable(difference));
            return {};
        }
        return mutatingOccurrences(update);
    }

    static void tryError(const ReferenceUpdate &update, const QString &call, int occurrence,
                         const QString &error, bool persistent, Tally &tally)
    {
        const auto installation = update.freshInstallation();
        const QString action = QStringLiteral("error=") + error;
        const InjectedRun run = runInjected(*installation, update.applyArguments(*installation), call,
                                            action, occurrence, persistent);
        if (!run.reached) {
            ++tally.unreached;
            return;
        }
        ++tally.tried;
        ++tally.exitCodes[run.result.exitCode];
        QString problem = checkErrorOutcome(update, *installation, run);
        if (problem.isEmpty())
            problem = checkRecovery(update, *installation);
        if (!problem.isEmpty())
            tally.failures << describe(call, occurrence, action + (persistent ? QStringLiteral(" from here on") : QString()), run)
                    + u'\n' + problem;
    }
};

QTEST_GUILESS_MAIN(FaultSweep)
#include "tst_fault_sweep.moc"
