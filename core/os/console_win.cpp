// The console on Windows, which shows a program's bytes in a code page of the system.
#include "console.h"

#include <io.h>

namespace vellumix::os {

bool isTerminal(std::FILE *stream) noexcept
{
    return stream && ::_isatty(::_fileno(stream)) != 0;
}

bool consoleUsesSystemCodePage() noexcept
{
    return true;
}

} // namespace vellumix::os
