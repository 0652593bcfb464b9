// Runs a command as a child process and measures it: wall time, the CPU time and peak memory
// that wait4 reports for the child (its own and that of the children it waited for).
#pragma once

#include <QString>
#include <QStringList>

namespace bench {

struct Figures
{
    double wallS = 0;
    double userS = 0;
    double systemS = 0;
    long peakKiB = 0; // see measureWithPeak
    int exitCode = -1;
    QByteArray output; // standard output, when captured

    double cpuS() const { return userS + systemS; }
};

// Runs `program` with `arguments` in `directory`. Standard output is captured when `capture` is
// set and dropped otherwise; standard error goes through.
Figures measure(const QString &program, const QStringList &arguments,
                const QString &directory = QString(), bool capture = false);

/*
    The same, with the peak memory of that program alone. What wait4 reports as the peak of a child
    also covers the process it was spawned from: the child starts on its parent's memory, which
    counts until it runs another program. The benchmark holds whole manifests, so the program is
    started through /usr/bin/time, whose own small memory is all the measured program starts from.
*/
Figures measureWithPeak(const QString &program, const QStringList &arguments,
                        const QString &directory);

// Runs a shell command line in `directory`.
Figures measureShell(const QString &commandLine, const QString &directory);

// Flushes the file systems, so that what the set-up wrote is not paid for by the next command.
void settle();

} // namespace bench
