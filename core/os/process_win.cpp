// Process watching on Windows, and the program a process runs.
#include "platform.h"

#include <windows.h>

#include <string>
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

/*
    PROCESS_QUERY_LIMITED_INFORMATION is granted for nearly every process, also those of other
    users and elevated ones, which the fuller query rights are not. The image name is the
    program's full path in Win32 form; only its last component is kept.
*/
ProcessProgramName processProgramName(std::uint32_t processId) noexcept
{
    ProcessProgramName result;
    try {
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
        if (!process) {
            if (GetLastError() == ERROR_INVALID_PARAMETER)
                result.status = ProgramNameStatus::NoSuchProcess;
            return result;
        }
        std::wstring image(32768, L'\0');
        DWORD length = DWORD(image.size());
        const BOOL named = QueryFullProcessImageNameW(process, 0, image.data(), &length);
        CloseHandle(process);
        if (!named || length == 0)
            return result;
        image.resize(length);
        const std::size_t slash = image.find_last_of(L"\\/");
        const std::wstring name = slash == std::wstring::npos ? image : image.substr(slash + 1);
        result.fileName.assign(name.begin(), name.end());
        if (!result.fileName.empty())
            result.status = ProgramNameStatus::Found;
        return result;
    } catch (...) {
        return {};
    }
}

// A process id stays taken while any handle to the process is open, which ProcessHandle holds;
// Windows needs nothing more.
void keepDescendantsObservable() noexcept
{
}

} // namespace vellumix::os
