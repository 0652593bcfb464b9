// The start of the new version and its health probe.
#pragma once

#include "healthrecord.h"
#include "journal.h"

#include <QByteArray>
#include <QString>

namespace vellumix {

struct ProbeTiming
{
    int probeTimeMs = 90000; // from just after the start of the new version
    int intervalMs = 300;    // between two checks of the health file
};

// Starts the new Vellumix.exe with its one-time token and waits for its confirmation in the health
// file. Confirmed: the journal becomes "healthy" and the installed record is written (exit code
// 0). Ended without confirming: rolled back, the previous version is started (exit code 4). Still
// running unconfirmed when the time is up: the journal becomes "rollback-needed" (exit code 5).
// The texts of 4 and 5 are shown here. Failures are thrown.
int probeNewVersion(const QString &programRoot, const QString &token, const QString &version,
                    qint32 sequence, TransactionJournal &journal, ProbeTiming timing = {});

} // namespace vellumix
