// When the update interface checks, and what it remembers between runs: the time of the last
// check and the version the user skipped, per program root and user.
#pragma once

#include <QDateTime>
#include <QString>

namespace vellumix {

struct ScheduleRecord
{
    QDateTime lastCheck;           // when the last check was made (UTC); invalid: never
    QString skippedChannel;        // the channel of the skipped release
    qint32 skippedSequence = 0;    // 0: none skipped
    QString skippedVersion;
};

// The record's file: "<user data>/vellumix-update/interface/<hash of the program root>.json".
QString scheduleRecordPath(const QString &programRoot);
// An absent or unreadable record reads as an empty one: at worst a check is made early.
ScheduleRecord readScheduleRecord(const QString &path);
// Written whole and atomically; false when it could not be.
bool writeScheduleRecord(const QString &path, const ScheduleRecord &record);

/*
    The wait before the next check, in milliseconds. `jitter` (from -1 to 1) moves every interval by
    up to a tenth of it, and `draw` (from 0 to 1) places a first check that is due at start within
    `firstWithinMs` (at least a second after it): so a fleet of installations started at the same
    hour does not check in step. A check is due at start when there was none, when the last is an
    interval old, or when it lies in the future (the clock was set back).
*/
qint64 msUntilNextCheck(const QDateTime &lastCheck, const QDateTime &now, qint64 intervalMs,
                        double jitter, qint64 firstWithinMs, double draw);

} // namespace vellumix
