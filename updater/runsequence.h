// The run of VellumixUpdater: command line, lock, parent wait, and the apply or recovery sequence.
#pragma once

#include "lockpolicy.h"
#include "probe.h"

#include <QString>
#include <QStringList>

namespace vellumix {

struct RunTiming
{
    int parentWaitMs = 300000; // how long the application's process may take to end
    int lockSettleMs = kLockSettleMs; // how old a lock file that names no owner must be to count as abandoned
    ProbeTiming probe;
};

// The value of an option: the argument after its first exact occurrence, empty when there is
// none or when the option is the last argument.
QString optionValue(const QStringList &arguments, const QString &name);
// Whether a flag is given: any argument equal to it exactly.
bool hasFlag(const QStringList &arguments, const QString &name);

// One whole run over the program's arguments (the first is the program's path); answers the
// process exit code. The application object must exist; no event loop is run.
int runUpdater(const QStringList &arguments, const RunTiming &timing = {});

} // namespace vellumix
