// Process watching on Linux with process file descriptors, and the program a process runs.
#include "platform.h"
#include "unixfd_p.h"
#include "unixtext_p.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <utility>

namespace vellumix::os {

ProcessHandle ProcessHandle::adopt(std::intptr_t native) noexcept
{
    ProcessHandle handle;
    handle.m_native = native;
    return handle;
}

/*
    A pidfd refers to one process for as long as it is open, so a process id that is reused after
    the open cannot be mistaken for the process that was opened. ESRCH is the only answer that
    means "no process has this id"; anything else (no pidfd support, no permission, too many open
    files) leaves the question open and is a failure.
*/
OpenStatus ProcessHandle::open(std::uint32_t processId) noexcept
{
    close();
    if (processId == 0 || processId > std::uint32_t(INT_MAX))
        return OpenStatus::NoSuchProcess;
    const long fd = ::syscall(SYS_pidfd_open, pid_t(processId), 0u);
    if (fd < 0)
        return errno == ESRCH ? OpenStatus::NoSuchProcess : OpenStatus::Failed;
    m_native = fd;
    return OpenStatus::Opened;
}

WaitStatus ProcessHandle::wait(std::uint32_t timeoutMs) noexcept
{
    if (!isOpen())
        return WaitStatus::Failed;
    pollfd entry{int(m_native), POLLIN, 0};
    const int timeout = timeoutMs > std::uint32_t(INT_MAX) ? INT_MAX : int(timeoutMs);
    int ready;
    do {
        ready = ::poll(&entry, 1, timeout);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return WaitStatus::Failed;
    if (ready == 0)
        return WaitStatus::TimedOut;
    return (entry.revents & POLLIN) ? WaitStatus::Ended : WaitStatus::Failed;
}

void ProcessHandle::close() noexcept
{
    if (isOpen())
        ::close(int(std::exchange(m_native, kNone)));
}

/*
    /proc/<id>/exe is the link to the program file that the process runs; it can be read for the
    processes of this user only. A program file replaced or removed while it runs keeps its link,
    with " (deleted)" after its name. For another user's process, or where the link is gone (an
    ended process not yet reaped), the command name is the answer: the first 15 bytes of the
    program's file name, unless the process has renamed itself.
*/
ProcessProgramName processProgramName(std::uint32_t processId) noexcept
{
    ProcessProgramName result;
    try {
        if (processId == 0 || processId > std::uint32_t(INT_MAX))
            return {ProgramNameStatus::NoSuchProcess, {}, false};
        if (::kill(pid_t(processId), 0) != 0 && errno == ESRCH)
            return {ProgramNameStatus::NoSuchProcess, {}, false};
        const std::string base = "/proc/" + std::to_string(processId);
        std::string target(4096, '\0');
        const ssize_t length = ::readlink((base + "/exe").c_str(), target.data(), target.size());
        if (length > 0 && std::size_t(length) < target.size()) {
            target.resize(std::size_t(length));
            static const std::string deleted = " (deleted)";
            if (target.size() > deleted.size()
                && target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
                target.resize(target.size() - deleted.size());
            result.fileName = detail::fromUtf8(target.substr(target.rfind('/') + 1));
        } else {
            detail::FileDescriptor comm(detail::openRetrying((base + "/comm").c_str(), O_RDONLY));
            char name[64] = {};
            ssize_t count = -1;
            if (comm.isValid()) {
                do {
                    count = ::read(comm.get(), name, sizeof name - 1);
                } while (count < 0 && errno == EINTR);
            }
            if (count <= 0)
                return result;
            std::string text(name, std::size_t(count));
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            result.fileName = detail::fromUtf8(text);
            result.cutShort = true;
        }
        if (!result.fileName.empty())
            result.status = ProgramNameStatus::Found;
        return result;
    } catch (...) {
        return {};
    }
}

void keepDescendantsObservable() noexcept
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL);
}

} // namespace vellumix::os
