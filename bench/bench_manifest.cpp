// Loading the largest manifest the updater accepts: 19,999 entries, signed with the development
// key. Prints the time of loadUpdateManifest and the peak resident memory (getrusage ru_maxrss)
// of a process that does nothing else.
//
//   bench_manifest                 build the manifests and measure them
//   bench_manifest --make N F      (internal) write a manifest with paths of N characters to F
//   bench_manifest --load F        (internal) load F and print the figures
//
// Linux carries ru_maxrss across fork and exec, so a child starts with its parent's peak. The
// parent therefore never builds a manifest itself: it stays small, and the figure of a loading
// child is that child's own.
#include "coreedge.h"
#include "fileio.h"
#include "manifest.h"
#include "signing.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

using namespace vellumix;

namespace {

constexpr int kEntries = 19999;
constexpr int kRuns = 5;

long peakResidentKiB()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // KiB on Linux
}

// 19,999 entries whose paths have `pathLength` characters (before the two program names).
QByteArray manifestWithPaths(int pathLength)
{
    QList<testsupport::FileSpec> files = testsupport::requiredPrograms("bench");
    for (int i = files.size(); i < kEntries; ++i) {
        const QString unique = QStringLiteral("plugins/d%1/f%2.dll").arg(i % 97).arg(i);
        files.append({unique + QString(qMax(0, pathLength - int(unique.size())), u'x'),
                      QByteArray::number(i)});
    }
    return testsupport::signedEnvelope(testsupport::payloadFor(files, QStringLiteral("9.9.9"), 99));
}

int load(const QString &path)
{
    const long baseline = peakResidentKiB();
    const QByteArray envelope = orThrow(readFileLimited(path, kManifestMaxBytes));
    QList<double> millis;
    qsizetype files = 0;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer timer;
        timer.start();
        const UpdateManifest manifest = orThrow(loadUpdateManifest(envelope));
        millis.append(timer.nsecsElapsed() / 1e6);
        files = manifest.files.size();
    }
    std::sort(millis.begin(), millis.end());
    std::printf("  envelope %lld bytes, %lld entries\n", qlonglong(envelope.size()), qlonglong(files));
    std::printf("  loadUpdateManifest: best %.1f ms, median %.1f ms, worst %.1f ms (%d runs)\n",
                millis.first(), millis.at(kRuns / 2), millis.last(), kRuns);
    std::printf("  peak resident memory: %ld KiB (%ld KiB before reading the file)\n",
                peakResidentKiB(), baseline);
    return 0;
}

int make(int pathLength, const QString &path)
{
    const QByteArray envelope = manifestWithPaths(pathLength);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(envelope) != envelope.size())
        return 1;
    return 0;
}

int runSelf(const QStringList &arguments)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    return child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit
        ? child.exitCode()
        : 1;
}

int measure(const QString &label, int pathLength, const QString &file)
{
    if (runSelf({QStringLiteral("--make"), QString::number(pathLength), file}) != 0)
        return 1;
    std::printf("%s\n", qPrintable(label));
    std::fflush(stdout);
    return runSelf({QStringLiteral("--load"), file});
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    try {
        if (arguments.size() == 3 && arguments.at(1) == QStringLiteral("--load"))
            return load(arguments.at(2));
        if (arguments.size() == 4 && arguments.at(1) == QStringLiteral("--make"))
            return make(arguments.at(2).toInt(), arguments.at(3));
        if (testsupport::devSigningKey().isEmpty()) {
            std::fprintf(stderr, "needs the development signing key (configured without "
                                 "VELLUMIX_UPDATE_KEY_MODULUS)\n");
            return 1;
        }
        QTemporaryDir dir;
        // Short paths, as most releases have them, and paths of 120 characters: with 19,999
        // entries the envelope is then 8,373,305 bytes, just within its 8 MiB bound.
        const int longest = 120;
        return measure(QStringLiteral("19,999 entries, paths of about 25 characters:"), 0,
                       dir.filePath(QStringLiteral("short.json")))
            | measure(QStringLiteral("19,999 entries, paths of %1 characters (envelope near 8 MiB):")
                          .arg(longest),
                      longest, dir.filePath(QStringLiteral("long.json")));
    } catch (const QString &failure) {
        std::fprintf(stderr, "refused: %s\n", qPrintable(failure));
        return 1;
    }
}
