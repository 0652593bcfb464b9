// Who owns a lock file: the name of this host as the lock policy's lock files (lockpolicy.h)
// record it, and how the name of the owner's program compares. Plain C++20 without Qt, like platform.h; no
// function here throws.
#pragma once

#include <string>

namespace vellumix::os {

// The host name that the lock files made on this machine record (Qt's lock file writes it): the
// COMPUTERNAME environment variable on Windows, the system's host name elsewhere. Empty when
// there is none.
std::u16string lockHostName() noexcept;

// True where program file names are compared without regard to case (Windows).
bool programNamesIgnoreCase() noexcept;

} // namespace vellumix::os
