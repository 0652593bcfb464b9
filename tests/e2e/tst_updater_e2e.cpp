// The real VellumixUpdater binary against real program roots with the stand-in application:
// every exit code and the failure cases of the command line, the run sequence, the probe and
// the outcome reporting. The scenarios are the table of scenarios.cpp, which the Wine suite
// (tests/windows) runs with the Windows programs as well.
#include "installation.h"
#include "scenarios.h"

#include <QTest>

using namespace e2e;

class UpdaterEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { VELLUMIX_REQUIRE_DEV_SIGNING_KEY(); }

    void scenario_data() { addScenarioRows(); }

    void scenario()
    {
        QFETCH(int, scenario);
        const Scenario &row = updaterScenarios().at(scenario);
        if (!row.notNative.isEmpty())
            QSKIP(qPrintable(QStringLiteral("not on Linux: ") + row.notNative));
        Installation installation;
        runScenario(installation, row, Platform::Native);
    }

    void ninetySecondProbeRunsForReal()
    {
        if (qEnvironmentVariableIsEmpty("VELLUMIX_SLOW_TESTS"))
            QSKIP("the real 90-second probe runs in the slow suite (ctest -L slow)");
        Installation installation;
        runScenario(installation, scenarioNamed(QStringLiteral("probe"), QStringLiteral("the real 90-second probe")),
                    Platform::Native);
    }
};

QTEST_GUILESS_MAIN(UpdaterEndToEnd)
#include "tst_updater_e2e.moc"
