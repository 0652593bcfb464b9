// Descriptors of the C runtime on Linux: the system's own file descriptors.
#include "descriptors.h"

#include <unistd.h>

namespace vellumix::os {

int duplicateDescriptor(int descriptor) noexcept
{
    if (descriptor < 0)
        return -1;
    return ::dup(descriptor);
}

/*
    Not retried on EINTR: on Linux the descriptor is released even when close is interrupted, and
    a second close could close a descriptor that another thread has opened meanwhile.
*/
bool closeDescriptor(int descriptor) noexcept
{
    if (descriptor < 0)
        return false;
    return ::close(descriptor) == 0;
}

} // namespace vellumix::os
