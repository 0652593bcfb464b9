// Who owns a lock file: the name of this host as the maker of a lock file (QLockFile) writes it,
// and how the name of the owner's program compares. Plain C++20 without Qt, like platform.h; no
// function here throws.
#pragma once

#include <string>

namespace vellumix::os {

// The host name that QLockFile writes into the lock files it makes on this machine: the
// COMPUTERNAME environment variable on Windows, the system's host name elsewhere. Empty when
// there is none.
std::u16string lockHostName() noexcept;

// True where program file names are compared without regard to case (Windows).
bool programNamesIgnoreCase() noexcept;

} // namespace vellumix::os
