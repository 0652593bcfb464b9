// Descriptors of the C runtime on Windows: the runtime's numbers over the system's handles.
#include "descriptors.h"

#include <io.h>

namespace vellumix::os {

/*
    A descriptor below 0 is refused here, before the runtime sees it: the runtime treats it as an
    invalid parameter, and its default handler for that ends the process.
*/
int duplicateDescriptor(int descriptor) noexcept
{
    if (descriptor < 0)
        return -1;
    return _dup(descriptor);
}

bool closeDescriptor(int descriptor) noexcept
{
    if (descriptor < 0)
        return false;
    return _close(descriptor) == 0;
}

} // namespace vellumix::os
