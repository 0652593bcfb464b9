#include "interruption.h"
#include "interruption_p.h"
#include "publishtexts.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace vellumix::publish {

namespace {

std::atomic<int> g_signal{0};
// The partial folders, and the rename that ends one, under one lock: a forced removal never
// meets a folder that is being moved into place.
std::mutex g_mutex;
std::vector<std::string> g_partials;

} // namespace

void detail::noteTerminationSignal(int signal)
{
    g_signal.store(signal);
}

/*
    std::_Exit, not exit: the work in progress is still running on the other threads, and no
    destructor or exit handler may run under it. The lock is never released; a rename that waits
    for it waits until the process has ended.
*/
void detail::removePartialFoldersAndEnd(int signal)
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (const std::string &path : g_partials) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::_Exit(128 + signal);
}

void watchForTermination()
{
    detail::startWatchingForTermination();
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
            .arg(detail::signalDescription(signal));
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
