// Watching for SIGTERM, SIGINT and SIGHUP on Linux.
#include "interruption_p.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace vellumix::publish::detail {

namespace {

// How long the work in progress has to stop by itself before its folders are removed from here.
constexpr int kGraceMilliseconds = 10000;

void watch(sigset_t watched)
{
    int signal = 0;
    if (sigwait(&watched, &signal) != 0)
        return;
    noteTerminationSignal(signal);
    for (int waited = 0; waited < kGraceMilliseconds; waited += 50) {
        const timespec step{0, 50 * 1000 * 1000};
        siginfo_t info;
        if (sigtimedwait(&watched, &info, &step) > 0)
            break; // a second signal: no more waiting
    }
    removePartialFoldersAndEnd(signal);
}

} // namespace

void startWatchingForTermination()
{
    static std::once_flag started;
    std::call_once(started, [] {
        sigset_t watched;
        sigemptyset(&watched);
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&watched, signal);
        // Blocked here, in every thread made from now on, and waited for by one thread alone.
        if (pthread_sigmask(SIG_BLOCK, &watched, nullptr) != 0)
            return;
        std::thread(watch, watched).detach();
    });
}

QString signalDescription(int signal)
{
    return QString::fromLocal8Bit(strsignal(signal));
}

} // namespace vellumix::publish::detail
