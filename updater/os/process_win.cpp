// Process watching on Windows.
#include "platform.h"

#include <windows.h>

#include <utility>

namespace vellumix::os {

namespace {

HANDLE nativeOf(std::intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

/*
    kNone (-1) is also the value of GetCurrentProcess(), the pseudo-handle of this process. Such
    a handle needs no closing and waiting on it could never end, so it is never held: adopting it
    gives an empty handle, as adopting a null handle does.
*/
ProcessHandle ProcessHandle::adopt(std::intptr_t native) noexcept
{
    ProcessHandle handle;
    if (native != 0)
        handle.m_native = native;
    return handle;
}

/*
    An open handle keeps the process object alive, so the id cannot be given to another process
    while it is held. ERROR_INVALID_PARAMETER is the only answer that means "no process has this
    id"; any other error (access denied, out of resources) leaves the question open and is a
    failure. OpenProcess reports a failure with a null handle, which is never stored.
*/
OpenStatus ProcessHandle::open(std::uint32_t processId) noexcept
{
    close();
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER ? OpenStatus::NoSuchProcess
                                                         : OpenStatus::Failed;
    m_native = reinterpret_cast<std::intptr_t>(process);
    return OpenStatus::Opened;
}

WaitStatus ProcessHandle::wait(std::uint32_t timeoutMs) noexcept
{
    if (!isOpen())
        return WaitStatus::Failed;
    switch (WaitForSingleObject(nativeOf(m_native), timeoutMs)) {
    case WAIT_OBJECT_0:
        return WaitStatus::Ended;
    case WAIT_TIMEOUT:
        return WaitStatus::TimedOut;
    default:
        return WaitStatus::Failed;
    }
}

void ProcessHandle::close() noexcept
{
    if (isOpen())
        CloseHandle(nativeOf(std::exchange(m_native, kNone)));
}

// A process id stays taken while any handle to the process is open, which ProcessHandle holds;
// Windows needs nothing more.
void keepDescendantsObservable() noexcept
{
}

} // namespace vellumix::os
