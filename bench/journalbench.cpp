#include "coreedge.h"
#include "journalbench.h"

#include "journal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSaveFile>

#include <cstdio>

namespace bench {

namespace {

using vellumix::GrowingJournal;
using vellumix::TransactionJournal;

constexpr double MiB = 1024.0 * 1024.0;

QString entryPath(int index)
{
    return QStringLiteral("data/d%1/f%2.bin")
        .arg(index / 500, 3, 10, QLatin1Char('0'))
        .arg(index, 5, 10, QLatin1Char('0'));
}

GrowingJournal freshJournal()
{
    return GrowingJournal(vellumix::newTransactionJournal(
        QStringLiteral("2.0.0"), 2, QStringLiteral("0f8c9a3e-1b2c-4d5e-8f90-a1b2c3d4e5f6")));
}

double secondsOf(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

// The install's sequence of journal writes for `entries` files: the new journal, one rewrite per
// entry, and "starting". `write` gets the journal after each change.
template <typename Write>
double timeJournalWrites(int entries, Write write)
{
    GrowingJournal journal = freshJournal();
    QElapsedTimer timer;
    timer.start();
    write(journal);
    for (int i = 0; i < entries; ++i) {
        journal.appendEntry(entryPath(i), true);
        write(journal);
    }
    journal.setState(vellumix::JournalState::starting);
    write(journal);
    return secondsOf(timer);
}

} // namespace

void runJournalBench(const QString &work)
{
    std::printf("\nJournal alone: the install's %s writes for N entries (new journal, one rewrite per "
                "entry, \"starting\")\n"
                "entries  final KiB  written MiB  whole-object s  incremental s  bytes s  bytes+flushes s"
                "  per write ms\n", "N + 2");
    for (int entries : {1000, 5000, 19997}) {
        qint64 written = 0;
        qsizetype finalSize = 0;
        const double incremental = timeJournalWrites(entries, [&](const GrowingJournal &journal) {
            const QByteArray bytes = journal.toJson();
            written += bytes.size();
            finalSize = bytes.size();
        });
        // Serializing the whole object on every write, as before: quadratic, so only the smaller
        // sizes are run.
        double whole = -1;
        if (entries <= 5000) {
            whole = timeJournalWrites(entries, [](const GrowingJournal &journal) {
                QJsonDocument(journal.object()).toJson(QJsonDocument::Compact);
            });
        }
        const QString root = work + QStringLiteral("/journal");
        QDir().mkpath(root + QStringLiteral("/.vellumix-update"));
        // The same bytes replaced through a save-file without any flush: what the bytes cost.
        const QString plainPath = root + QStringLiteral("/plain.json");
        const double bytesOnly = timeJournalWrites(entries, [&](const GrowingJournal &journal) {
            QSaveFile file(plainPath);
            if (!file.open(QIODevice::WriteOnly) || file.write(journal.toJson()) < 0 || !file.commit())
                std::fprintf(stderr, "vellumix-bench: cannot write %s\n", qPrintable(plainPath));
        });
        const double real = timeJournalWrites(entries, [&](const GrowingJournal &journal) {
            vellumix::orThrow(vellumix::writeTransactionJournal(root, journal));
        });
        QDir(root).removeRecursively();
        std::printf("%7d %10.1f %12.1f %15s %14.3f %8.2f %16.2f %13.2f\n", entries,
                    double(finalSize) / 1024, double(written) / MiB,
                    whole < 0 ? "-" : qPrintable(QString::number(whole, 'f', 3)), incremental,
                    bytesOnly, real, real / (entries + 2) * 1000);
        std::fflush(stdout);
    }
}

} // namespace bench
