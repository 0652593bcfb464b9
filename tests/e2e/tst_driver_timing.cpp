// The run sequence in this process with shortened waits, for the outcomes that take minutes with
// the program's own timing: a parent that outlives the wait, a new version that never confirms,
// and a confirmation that comes late. Also the command-line helpers.
#include "installation.h"
#include "messages.h"
#include "runsequence.h"
#include "workdirectory.h"

#include <QFileInfo>
#include <QTest>

#include <signal.h>

using namespace e2e;
using namespace vellumix;

namespace {

RunTiming shortTiming(int parentWaitMs, int probeTimeMs)
{
    RunTiming timing;
    timing.parentWaitMs = parentWaitMs;
    timing.probe.probeTimeMs = probeTimeMs;
    timing.probe.intervalMs = 100;
    return timing;
}

AppVersion version(const QString &text, qint32 sequence, const QString &behaviour = QStringLiteral("confirm"))
{
    AppVersion result;
    result.version = text;
    result.sequence = sequence;
    result.behaviour = behaviour;
    return result;
}

QStringList withProgram(const QStringList &arguments)
{
    return QStringList{QStringLiteral("VellumixUpdater")} + arguments;
}

} // namespace

class DriverTiming : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        VELLUMIX_REQUIRE_DEV_SIGNING_KEY();
        // The stand-in writes its log where the tests read it.
    }

    void optionValues_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("root");
        QTest::addColumn<bool>("recover");
        QTest::newRow("none") << QStringList{} << QString() << false;
        QTest::newRow("last argument") << QStringList{QStringLiteral("--root")} << QString() << false;
        QTest::newRow("first of two") << QStringList{QStringLiteral("--root"), QStringLiteral("a"), QStringLiteral("--root"), QStringLiteral("b")}
                                      << QStringLiteral("a") << false;
        QTest::newRow("value that looks like an option")
            << QStringList{QStringLiteral("--root"), QStringLiteral("--recover")} << QStringLiteral("--recover") << true;
        QTest::newRow("letter case counts")
            << QStringList{QStringLiteral("--Root"), QStringLiteral("a"), QStringLiteral("--RECOVER")} << QString() << false;
        QTest::newRow("flag anywhere")
            << QStringList{QStringLiteral("x"), QStringLiteral("--recover"), QStringLiteral("--root"), QStringLiteral("r")}
            << QStringLiteral("r") << true;
    }

    void optionValues()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, root);
        QFETCH(bool, recover);
        const QStringList all = withProgram(arguments);
        QCOMPARE(optionValue(all, QStringLiteral("--root")), root);
        QCOMPARE(hasFlag(all, QStringLiteral("--recover")), recover);
    }

    void parentOutlivesTheWait()
    {
        Installation installation;
        installation.install(version(QStringLiteral("1.0.0"), 1));
        installation.stageUpdate(version(QStringLiteral("2.0.0"), 2));
        Sleeper parent(30000);
        const auto before = testsupport::snapshotTree(installation.root());
        qputenv("VELLUMIX_SAMPLE_LOG", installation.root().toUtf8() + "/../app.log");
        const int code = runUpdater(
            withProgram(installation.applyArguments() << QStringLiteral("--parent") << QString::number(parent.pid())),
            shortTiming(300, 1000));
        QCOMPARE(code, 1);
        // Nothing changed but the note that tells the application's side this ending was
        // transient, naming the stage.
        auto after = testsupport::snapshotTree(installation.root());
        QVERIFY(after.remove(QStringLiteral(".vellumix-update/application-wait.json")) == 1);
        QCOMPARE(after, before);
        const std::optional<WorkDirectory::ApplicationWait> note =
            WorkDirectory::ofProgramRoot(installation.root()).applicationWait();
        QVERIFY(note);
        QCOMPARE(note->stage, QFileInfo(installation.stage()).absoluteFilePath());
        // The application may still run: it is not started a second time.
        QTest::qWait(300);
        QVERIFY(installation.appLog().isEmpty());
    }

    void newVersionNeverConfirms()
    {
        Installation installation;
        installation.install(version(QStringLiteral("1.0.0"), 1));
        AppVersion silent = version(QStringLiteral("2.0.0"), 2, QStringLiteral("never"));
        silent.runMs = 30000;
        installation.stageUpdate(silent);
        qputenv("VELLUMIX_SAMPLE_LOG", installation.root().toUtf8() + "/../app.log");
        const int code = runUpdater(withProgram(installation.applyArguments()), shortTiming(1000, 1500));
        QCOMPARE(code, 5);
        QCOMPARE(installation.journalState(), QStringLiteral("rollback-needed"));
        QCOMPARE(testsupport::describeDifference(installation.treeOf(silent), installation.programTree()), QString());
        // It was neither closed nor rolled back: it still runs.
        QVERIFY(installation.waitForAppLog(QStringLiteral("health probe")));
        const qint64 pid = installation.appLog().filter(QStringLiteral("health probe")).constFirst().section(u' ', -1).toLongLong();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid_t(pid), 0), 0);
        ::kill(pid_t(pid), SIGKILL);
        // The next recovery run rolls it back.
        QCOMPARE(runUpdater(withProgram(installation.recoverArguments()), shortTiming(1000, 1500)), 0);
        QCOMPARE(testsupport::describeDifference(installation.treeOf(version(QStringLiteral("1.0.0"), 1)),
                                                 installation.programTree()),
                 QString());
    }

    void lateConfirmationWithinTheTime()
    {
        Installation installation;
        installation.install(version(QStringLiteral("1.0.0"), 1));
        AppVersion late = version(QStringLiteral("2.0.0"), 2);
        late.delayMs = 700;
        installation.stageUpdate(late);
        qputenv("VELLUMIX_SAMPLE_LOG", installation.root().toUtf8() + "/../app.log");
        QCOMPARE(runUpdater(withProgram(installation.applyArguments()), shortTiming(1000, 3000)), 0);
        QCOMPARE(installation.journalState(), QStringLiteral("healthy"));
    }

    void confirmationAfterTheTimeIsTooLate()
    {
        Installation installation;
        installation.install(version(QStringLiteral("1.0.0"), 1));
        AppVersion late = version(QStringLiteral("2.0.0"), 2);
        late.delayMs = 2500;
        late.runMs = 0;
        installation.stageUpdate(late);
        qputenv("VELLUMIX_SAMPLE_LOG", installation.root().toUtf8() + "/../app.log");
        QCOMPARE(runUpdater(withProgram(installation.applyArguments()), shortTiming(1000, 800)), 5);
        QCOMPARE(installation.journalState(), QStringLiteral("rollback-needed"));
        QVERIFY(installation.waitForAppLog(QStringLiteral("confirmed its start")));
    }
};

QTEST_GUILESS_MAIN(DriverTiming)
#include "tst_driver_timing.moc"
