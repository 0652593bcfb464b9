// Who owns a lock file, on POSIX systems.
#include "lockowner.h"
#include "unixtext_p.h"

#include <unistd.h>

namespace vellumix::os {

// What Qt reports as the machine's host name (QSysInfo::machineHostName), which its lock file
// writes.
std::u16string lockHostName() noexcept
{
    char name[512];
    if (::gethostname(name, sizeof name) != 0)
        return {};
    name[sizeof name - 1] = '\0';
    try {
        return detail::fromUtf8(name);
    } catch (...) {
        return {};
    }
}

bool programNamesIgnoreCase() noexcept
{
    return false;
}

} // namespace vellumix::os
