// bench_delta: binary deltas on real pairs of files (an old and a new version).
//
//   bench_delta OLD NEW [OLD NEW ...]
//
// For each pair: the delta's size against the file and against `zstd -19 --long
// --patch-from=OLD NEW` (when the zstd program is on the PATH), the time to make it, the speed of
// applying it as the client does (the old version mapped read-only, the frame in 64 KiB pieces,
// best of several runs) and the decoder's memory. The memory is measured in a child process that
// does nothing else: the decoder's own count (its context with the window, and the output piece)
// and the growth of the process's anonymous memory, which leaves out the mapped old version.
#include "zstddelta.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cstdio>

using namespace vellumix;

namespace {

constexpr qsizetype kPiece = 64 * 1024;

double mib(qint64 bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

// Anonymous resident memory of this process, in bytes (Linux); -1 elsewhere.
qint64 anonymousMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

struct Mapped
{
    QFile file;
    QByteArrayView bytes;
};

bool mapFile(Mapped &mapped, const QString &path)
{
    mapped.file.setFileName(path);
    if (!mapped.file.open(QIODevice::ReadOnly))
        return false;
    if (mapped.file.size() == 0)
        return true;
    const uchar *data = mapped.file.map(0, mapped.file.size());
    if (!data)
        return false;
    mapped.bytes = QByteArrayView(reinterpret_cast<const char *>(data), mapped.file.size());
    return true;
}

// Streams `frame` through a decoder; answers the decoder's peak memory, or -1 on failure.
qint64 applyStreaming(QByteArrayView base, QByteArrayView frame, qint64 size)
{
    DeltaDecoder decoder(base, size);
    qint64 peak = 0;
    quint64 touched = 0;
    const auto sink = [&](QByteArrayView out) {
        touched += quint8(out.back());
        return true;
    };
    for (qsizetype at = 0; at < frame.size(); at += kPiece) {
        if (!decoder.feed(frame.sliced(at, qMin(kPiece, frame.size() - at)), sink).ok())
            return -1;
        peak = qMax(peak, decoder.memoryUsage());
    }
    return decoder.finish().ok() && touched != quint64(-1) ? peak : -1;
}

// The child: applies once and reports the memory it took.
int memoryChild(const QString &basePath, const QString &framePath, qint64 size)
{
    Mapped base;
    QFile frameFile(framePath);
    if (!mapFile(base, basePath) || !frameFile.open(QIODevice::ReadOnly))
        return 2;
    const QByteArray frame = frameFile.readAll();
    const qint64 before = anonymousMemory();
    DeltaDecoder decoder(base.bytes, size);
    qint64 peak = 0;
    for (qsizetype at = 0; at < frame.size(); at += kPiece) {
        if (!decoder.feed(frame.sliced(at, qMin(kPiece, frame.size() - at)), {}).ok())
            return 1;
        peak = qMax(peak, decoder.memoryUsage());
    }
    const qint64 after = anonymousMemory();
    if (!decoder.finish().ok())
        return 1;
    std::printf("%lld %lld\n", static_cast<long long>(peak),
                static_cast<long long>(after - before));
    return 0;
}

qint64 zstdCommandSize(const QString &zstd, const QString &oldPath, const QString &newPath)
{
    QProcess process;
    process.start(zstd,
                  {QStringLiteral("-19"), QStringLiteral("--long"), QStringLiteral("-q"),
                   QStringLiteral("-c"), QStringLiteral("--patch-from=") + oldPath, newPath});
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return -1;
    return process.readAllStandardOutput().size();
}

bool benchPair(const QString &oldPath, const QString &newPath, const QString &zstd)
{
    Mapped base;
    QFile newFile(newPath);
    if (!mapFile(base, oldPath) || !newFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s or %s\n", qPrintable(oldPath), qPrintable(newPath));
        return false;
    }
    const QByteArray target = newFile.readAll();

    QElapsedTimer timer;
    timer.start();
    const DeltaResult made = makeDelta(base.bytes, target);
    const double makeSeconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("%s -> %s\n", qPrintable(oldPath), qPrintable(newPath));
    if (!made.status.ok()) {
        std::printf("  no delta: %s\n", qPrintable(made.status.detail));
        return true;
    }
    std::printf("  old %.2f MiB, new %.2f MiB, window 2^%d\n", mib(base.bytes.size()),
                mib(target.size()), made.windowLog);
    std::printf("  delta %lld bytes (%.2f%% of the new file), made in %.2f s\n",
                static_cast<long long>(made.frame.size()),
                100.0 * double(made.frame.size()) / double(qMax<qsizetype>(target.size(), 1)),
                makeSeconds);
    if (!zstd.isEmpty()) {
        const qint64 reference = zstdCommandSize(zstd, oldPath, newPath);
        if (reference > 0)
            std::printf("  zstd -19 --long --patch-from: %lld bytes; this delta is %+.2f%%\n",
                        static_cast<long long>(reference),
                        100.0 * double(made.frame.size() - reference) / double(reference));
    }

    // Throughput: best of five runs of at least 0.2 s each.
    double best = 0;
    qint64 peak = 0;
    for (int run = 0; run < 5; ++run) {
        int rounds = 0;
        timer.restart();
        do {
            peak = applyStreaming(base.bytes, made.frame, target.size());
            if (peak < 0) {
                std::printf("  applying failed\n");
                return false;
            }
            ++rounds;
        } while (timer.nsecsElapsed() < 200'000'000);
        best = qMax(best, mib(target.size()) * rounds / (double(timer.nsecsElapsed()) / 1e9));
    }
    std::printf("  apply (streaming, 64 KiB pieces): %.0f MiB/s of output\n", best);

    QTemporaryFile frameFile;
    if (frameFile.open() && frameFile.write(made.frame) == made.frame.size() && frameFile.flush()) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--memory-child"), oldPath, frameFile.fileName(),
                     QString::number(target.size())});
        const QList<QByteArray> figures = child.waitForFinished(-1) && child.exitCode() == 0
            ? child.readAllStandardOutput().trimmed().split(' ')
            : QList<QByteArray>();
        if (figures.size() == 2)
            std::printf("  decoder memory: %.2f MiB by its count, %.2f MiB anonymous memory growth "
                        "(the old version is mapped, not counted)\n",
                        mib(figures[0].toLongLong()), mib(figures[1].toLongLong()));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 4 && args[0] == QLatin1String("--memory-child"))
        return memoryChild(args[1], args[2], args[3].toLongLong());
    if (args.isEmpty() || args.size() % 2 != 0) {
        std::fprintf(stderr, "usage: bench_delta OLD NEW [OLD NEW ...]\n");
        return 2;
    }
    const QString zstd = QStandardPaths::findExecutable(QStringLiteral("zstd"));
    bool ok = true;
    for (qsizetype i = 0; i < args.size(); i += 2)
        ok = benchPair(args[i], args[i + 1], zstd) && ok;
    return ok ? 0 : 1;
}
