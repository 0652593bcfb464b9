#pragma once

#include <QString>

namespace vellumix {

// Whether a path from an update (relative to the program root, "/" separators) may be installed:
// it stays below the root by its name alone, is made of plain Windows names, names no device and
// no file of a kind that an update never installs. Pure: no file-system access, never throws.
bool isAllowedUpdatePath(const QString &path);

} // namespace vellumix
