// The console that a command-line program of the updater writes to. Plain C++20 without Qt, like
// platform.h; no function here throws.
#pragma once

#include <cstdio>

namespace vellumix::os {

// True when `stream` is connected to a terminal (a console window), not to a file or a pipe.
bool isTerminal(std::FILE *stream) noexcept;

// True when the console shows a program's bytes in a code page of the system rather than as
// UTF-8: a Windows console (code page 936 on a Chinese Windows, for one). Text for the person at
// the console is then written in that code page, as Qt writes its own warnings.
bool consoleUsesSystemCodePage() noexcept;

} // namespace vellumix::os
