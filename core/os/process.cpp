// Process watching: what the Linux and Windows implementations share (the handle's ownership).
#include "platform.h"

#include <utility>

namespace vellumix::os {

ProcessHandle::~ProcessHandle()
{
    close();
}

ProcessHandle::ProcessHandle(ProcessHandle &&other) noexcept
    : m_native(std::exchange(other.m_native, kNone))
{
}

ProcessHandle &ProcessHandle::operator=(ProcessHandle &&other) noexcept
{
    if (this != &other) {
        close();
        m_native = std::exchange(other.m_native, kNone);
    }
    return *this;
}

} // namespace vellumix::os
