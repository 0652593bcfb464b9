// vellumix-bench: the updater's apply sequence and install procedure on large, many, no-op and
// widest updates, beside the floor on the same bytes (openssl dgst, cp -r + sync). See
// docs/performance.md; bench/run.sh builds it and runs it in a temporary directory.
#include "coreedge.h"
#include "journalbench.h"
#include "measure.h"
#include "scenario.h"

#include "fileio.h"
#include "install.h"
#include "manifest.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace bench;

namespace {

constexpr double MiB = 1024.0 * 1024.0;

struct Run
{
    Figures updater;
    Figures install;      // the install procedure alone, in a process of its own
    double installS = 0;  // installUpdate itself, timed inside that process
    qint64 readBytes = 0; // what installUpdate read and wrote through system calls
    qint64 writtenBytes = 0;
    Figures digest;
    Figures copy;
    bool changed = true;

    double floorS() const { return changed ? 3 * digest.wallS + copy.wallS : digest.wallS; }
    double ratio() const { return updater.wallS / floorS(); }
};

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename F>
double medianOf(const QList<Run> &runs, F figure)
{
    QList<double> values;
    for (const Run &run : runs)
        values.append(figure(run));
    return median(values);
}

QByteArray journalStateOf(const QString &root)
{
    QFile file(root + QStringLiteral("/.vellumix-update/transaction.json"));
    if (!file.open(QIODevice::ReadOnly))
        return "<none>";
    return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("state")).toString().toUtf8();
}

void requireHealthy(const Figures &run, const QString &root, const char *what)
{
    const QByteArray state = journalStateOf(root);
    if (run.exitCode != 0 || state != "healthy") {
        std::fprintf(stderr, "vellumix-bench: %s ended with code %d, journal \"%s\"\n", what,
                     run.exitCode, state.constData());
        std::exit(1);
    }
}

// One run of the scenario: the floor, the whole apply sequence, and the install procedure alone.
Run runOnce(const Scenario &scenario, const QString &work, bool withInstallOnly)
{
    const QString root = work + QStringLiteral("/program");
    const QString stage = work + QStringLiteral("/stage");
    Run run;
    run.changed = scenario.changed;

    settle();
    run.digest = measureShell(QStringLiteral("find data -type f -print0 | xargs -0 openssl dgst -sha256"),
                              stage + QStringLiteral("/files"));
    settle();
    run.copy = measureShell(QStringLiteral("cp -r data ../../copy && sync"), stage + QStringLiteral("/files"));
    QDir(work + QStringLiteral("/copy")).removeRecursively();

    writeProgramRoot(scenario, root);
    settle();
    run.updater = measureWithPeak(updaterBinary(), {QStringLiteral("--root"), root,
                                                     QStringLiteral("--stage"), stage,
                                                     QStringLiteral("--quiet")}, work);
    requireHealthy(run.updater, root, "VellumixUpdater");

    if (withInstallOnly) {
        writeProgramRoot(scenario, root);
        settle();
        run.install = measure(QCoreApplication::applicationFilePath(),
                              {QStringLiteral("install-only"), root, stage}, work, true);
        const QList<QByteArray> words = run.install.output.simplified().split(' ');
        if (run.install.exitCode != 0 || words.size() != 4) {
            std::fprintf(stderr, "vellumix-bench: the install procedure failed\n");
            std::exit(1);
        }
        run.installS = words[0].toDouble();
        run.readBytes = words[1].toLongLong();
        run.writtenBytes = words[2].toLongLong();
        run.install.peakKiB = words[3].toLong();
    }
    return run;
}

void printRun(const Scenario &scenario, int index, const Run &run)
{
    std::printf("%-7s #%d  updater %7.2f s wall %7.2f s cpu (%5.2f user) %6.1f MiB peak | "
                "dgst %6.2f s  cp+sync %6.2f s  floor %7.2f s | ratio %5.2f\n",
                qPrintable(scenario.name), index + 1, run.updater.wallS, run.updater.cpuS(),
                run.updater.userS, double(run.updater.peakKiB) / 1024, run.digest.wallS,
                run.copy.wallS, run.floorS(), run.ratio());
    std::fflush(stdout);
}

// A number from a "name: value" line of /proc/self/<file>.
qint64 procSelfValue(const char *file, const char *name)
{
    QFile proc(QStringLiteral("/proc/self/") + QLatin1String(file));
    if (!proc.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : proc.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(qsizetype(qstrlen(name))).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// The figures of the install procedure alone, in the process of its own that runOnce starts.
int installOnly(const QString &root, const QString &stage)
{
    const auto ioCounters = [] {
        return std::pair{procSelfValue("io", "rchar:"), procSelfValue("io", "wchar:")};
    };
    try {
        const vellumix::UpdateManifest manifest = vellumix::orThrow(vellumix::loadUpdateManifest(
            vellumix::orThrow(vellumix::readFileLimited(stage + QStringLiteral("/manifest.json"),
                                                        vellumix::kManifestMaxBytes))));
        const auto before = ioCounters();
        QElapsedTimer timer;
        timer.start();
        vellumix::installUpdate(root, stage, manifest);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const auto after = ioCounters();
        // The peak of this process's own memory: what the process that started it held does not
        // count here, unlike in what wait4 reports (see measureWithPeak).
        std::printf("%.6f %lld %lld %lld\n", seconds, after.first - before.first,
                    after.second - before.second, procSelfValue("status", "VmHWM:"));
        return 0;
    } catch (const QString &message) {
        std::fprintf(stderr, "install failed: %s\n", qPrintable(message));
        return 1;
    }
}

QByteArray loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("?\n");
}

int usage()
{
    std::fprintf(stderr,
                 "usage: vellumix-bench run WORKDIR [--repeat N] [large|many|no-op|widest|journal]...\n"
                 "       vellumix-bench prepare large|many|no-op|widest DIR\n"
                 "           writes DIR/program and DIR/stage for running the updater by hand\n"
                 "           (under a profiler, for instance)\n");
    return 2;
}

int prepare(const QString &name, const QString &directory)
{
    for (const Scenario &scenario : standardScenarios()) {
        if (scenario.name != name)
            continue;
        const QString dir = QDir(directory).absolutePath();
        writeStagedUpdate(scenario, dir + QStringLiteral("/stage"));
        writeProgramRoot(scenario, dir + QStringLiteral("/program"));
        std::printf("%s --root %s/program --stage %s/stage --quiet\n", qPrintable(updaterBinary()),
                    qPrintable(dir), qPrintable(dir));
        return 0;
    }
    return usage();
}

int runBenchmark(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return usage();
    const QString work = QDir(arguments.first()).absolutePath();
    int repeat = 3;
    QStringList wanted;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == u"--repeat" && i + 1 < arguments.size())
            repeat = qMax(1, arguments[++i].toInt());
        else
            wanted.append(arguments[i]);
    }
    QDir().mkpath(work);
    // The stand-in application writes its notes here instead of onto the benchmark's output.
    qputenv("VELLUMIX_SAMPLE_LOG", QFile::encodeName(work + QStringLiteral("/app.log")));
    std::printf("load average before: %s", loadAverage().constData());

    struct Summary { Scenario scenario; StagedUpdate staged; QList<Run> runs; };
    QList<Summary> summaries;
    for (const Scenario &scenario : standardScenarios()) {
        if (!wanted.isEmpty() && !wanted.contains(scenario.name))
            continue;
        const QString stage = work + QStringLiteral("/stage");
        const StagedUpdate staged = writeStagedUpdate(scenario, stage);
        std::printf("\n%s: %d data files, %.1f MiB, manifest %d entries, %.2f MiB\n",
                    qPrintable(scenario.name), scenario.files, double(staged.dataBytes) / MiB,
                    staged.manifestEntries, double(staged.manifestBytes) / MiB);
        Summary summary{scenario, staged, {}};
        const bool withInstallOnly = scenario.name != u"widest";
        for (int i = 0; i < repeat; ++i) {
            summary.runs.append(runOnce(scenario, work, withInstallOnly));
            printRun(scenario, i, summary.runs.last());
        }
        summaries.append(summary);
        QDir(stage).removeRecursively();
        QDir(work + QStringLiteral("/program")).removeRecursively();
    }

    if (!summaries.isEmpty()) {
        std::printf("\nApply sequence (VellumixUpdater --root R --stage S --quiet), medians of %d runs:\n"
                    "scenario   wall s   cpu s  peak MiB   dgst s  cp+sync s  floor s  ratio  target\n",
                    repeat);
        for (const Summary &s : summaries) {
            const bool changed = s.scenario.changed;
            std::printf("%-8s %8.2f %7.2f %9.1f %8.2f %10.2f %8.2f %6.2f  %s\n",
                        qPrintable(s.scenario.name),
                        medianOf(s.runs, [](const Run &r) { return r.updater.wallS; }),
                        medianOf(s.runs, [](const Run &r) { return r.updater.cpuS(); }),
                        medianOf(s.runs, [](const Run &r) { return r.updater.peakKiB / 1024.0; }),
                        medianOf(s.runs, [](const Run &r) { return r.digest.wallS; }),
                        medianOf(s.runs, [](const Run &r) { return r.copy.wallS; }),
                        medianOf(s.runs, [](const Run &r) { return r.floorS(); }),
                        medianOf(s.runs, [](const Run &r) { return r.ratio(); }),
                        s.scenario.name == u"widest" ? "(see journal)"
                            : changed ? "<= 1.5 x (3 dgst + cp+sync)" : "<= 1.2 x dgst");
        }
        std::printf("\nInstall procedure alone (installUpdate in-process), medians:\n"
                    "scenario  install s  peak MiB  read MiB  written MiB  hashed MiB   dgst s  cp+sync s\n");
        for (const Summary &s : summaries) {
            if (s.scenario.name == u"widest")
                continue;
            // Installed copies are hashed once when current; three times otherwise (installed copy,
            // staged copy, the copy after installing). The two programs are current.
            const double data = double(s.staged.dataBytes) / MiB;
            std::printf("%-8s %10.2f %9.1f %9.1f %12.1f %11.1f %8.2f %10.2f\n",
                        qPrintable(s.scenario.name),
                        medianOf(s.runs, [](const Run &r) { return r.installS; }),
                        medianOf(s.runs, [](const Run &r) { return r.install.peakKiB / 1024.0; }),
                        medianOf(s.runs, [](const Run &r) { return r.readBytes / MiB; }),
                        medianOf(s.runs, [](const Run &r) { return r.writtenBytes / MiB; }),
                        s.scenario.changed ? 3 * data : data,
                        medianOf(s.runs, [](const Run &r) { return r.digest.wallS; }),
                        medianOf(s.runs, [](const Run &r) { return r.copy.wallS; }));
        }
    }
    if (wanted.isEmpty() || wanted.contains(QStringLiteral("journal")))
        runJournalBench(work);
    std::printf("\nload average after: %s", loadAverage().constData());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() == 3 && arguments[0] == u"install-only")
        return installOnly(arguments[1], arguments[2]);
    if (arguments.size() == 3 && arguments[0] == u"prepare")
        return prepare(arguments[1], arguments[2]);
    if (!arguments.isEmpty() && arguments[0] == u"run")
        return runBenchmark(arguments.mid(1));
    return usage();
}
