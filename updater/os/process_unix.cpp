// Process watching on Linux with process file descriptors.
#include "platform.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

void keepDescendantsObservable() noexcept
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL);
}

} // namespace vellumix::os
