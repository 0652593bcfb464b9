// The console on POSIX systems: a terminal shows UTF-8.
#include "console.h"

#include <unistd.h>

namespace vellumix::os {

bool isTerminal(std::FILE *stream) noexcept
{
    return stream && ::isatty(::fileno(stream)) != 0;
}

bool consoleUsesSystemCodePage() noexcept
{
    return false;
}

} // namespace vellumix::os
