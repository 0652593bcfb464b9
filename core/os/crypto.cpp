// SHA-256 of a stream: what the Linux and Windows implementations share. A stream whose set-up
// or any call failed, or that has ended, takes nothing more: every later call answers false.
#include "platform.h"

namespace vellumix::os {

bool Sha256::isValid() const noexcept
{
    return m_state && m_usable;
}

bool Sha256::update(ByteView data) noexcept
{
    if (!isValid())
        return false;
    m_usable = hashData(*m_state, data);
    return m_usable;
}

bool Sha256::finish(Sha256Digest &out) noexcept
{
    if (!isValid())
        return false;
    m_usable = false;
    return finishHash(*m_state, out);
}

} // namespace vellumix::os
