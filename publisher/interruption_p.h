// The platform's part of interruption.h: interruption.cpp keeps the partial folders, and
// interruption_unix.cpp / interruption_win.cpp watch for the signals that end the process.
#pragma once

#include <QString>

namespace vellumix::publish::detail {

// The platform's part, once per process: from now on the signals that ask the process to end
// are watched for (see watchForTermination).
void startWatchingForTermination();

// The platform's name of a signal, such as "Terminated"; empty where it has none.
QString signalDescription(int signal);

// For the watcher: the signal that asks the process to end, seen by throwIfInterrupted.
void noteTerminationSignal(int signal);

// For the watcher, when the work in progress did not end in time: removes the folders still
// registered as partial and ends the process with 128 + `signal`. The folders' lock is held
// until the process has ended, so no folder is moved into place meanwhile.
[[noreturn]] void removePartialFoldersAndEnd(int signal);

} // namespace vellumix::publish::detail
