// Descriptors of the C runtime: the small numbers that Qt's QFileDevice::handle() gives and that
// C libraries (zlib's gzdopen among them) take, on Windows as on Linux. Plain C++20 without Qt,
// like platform.h.
#pragma once

namespace vellumix::os {

// A second descriptor for what `descriptor` has open, for a library that closes the descriptor it
// is given while its owner (a QFile, standard input) keeps its own. -1 when it cannot be made,
// among others for a descriptor below 0.
int duplicateDescriptor(int descriptor) noexcept;

// Closes a descriptor that was never handed on; false when it was not open (below 0 among them).
bool closeDescriptor(int descriptor) noexcept;

} // namespace vellumix::os
