#include "interruption.h"
#include "publishtexts.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef Q_OS_WIN
#  include <csignal>
#  include <cstring>
#  include <ctime>
#  include <pthread.h>
#  include <unistd.h>
#endif

namespace vellumix::publish {

namespace {

std::atomic<int> g_signal{0};
// The partial folders, and the rename that ends one, under one lock: a forced removal never
// meets a folder that is being moved into place.
std::mutex g_mutex;
std::vector<std::string> g_partials;

#ifndef Q_OS_WIN
// How long the work in progress has to stop by itself before its folders are removed from here.
constexpr int kGraceMilliseconds = 10000;

void watch(sigset_t watched)
{
    int signal = 0;
    if (sigwait(&watched, &signal) != 0)
        return;
    g_signal.store(signal);
    for (int waited = 0; waited < kGraceMilliseconds; waited += 50) {
        const timespec step{0, 50 * 1000 * 1000};
        siginfo_t info;
        if (sigtimedwait(&watched, &info, &step) > 0)
            break; // a second signal: no more waiting
    }
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (const std::string &path : g_partials) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    _exit(128 + signal);
}
#endif

} // namespace

void watchForTermination()
{
#ifndef Q_OS_WIN
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
#endif
}

int terminationSignal()
{
    return g_signal.load();
}

void throwIfInterrupted()
{
    if (const int signal = terminationSignal())
        throw Texts::tr("stopped by signal %1 (%2); what was written is removed")
            .arg(signal)
#ifndef Q_OS_WIN
            .arg(QString::fromLocal8Bit(strsignal(signal)));
#else
            .arg(QString());
#endif
}

PartialFolder::PartialFolder(const QString &path) : m_path(path)
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_partials.push_back(QFile::encodeName(m_path).toStdString());
}

PartialFolder::~PartialFolder()
{
    if (!m_registered)
        return;
    const std::lock_guard<std::mutex> lock(g_mutex);
    const std::string path = QFile::encodeName(m_path).toStdString();
    g_partials.erase(std::remove(g_partials.begin(), g_partials.end(), path), g_partials.end());
}

bool PartialFolder::finish(const std::function<bool()> &rename)
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    throwIfInterrupted();
    if (!rename())
        return false;
    const std::string path = QFile::encodeName(m_path).toStdString();
    g_partials.erase(std::remove(g_partials.begin(), g_partials.end(), path), g_partials.end());
    m_registered = false;
    return true;
}

} // namespace vellumix::publish
