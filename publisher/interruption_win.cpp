// Watching for the signals that end the process: on Windows, nothing is watched (see
// watchForTermination), so no signal is ever noted.
#include "interruption_p.h"

namespace vellumix::publish::detail {

void startWatchingForTermination()
{
}

QString signalDescription(int)
{
    return QString();
}

} // namespace vellumix::publish::detail
