#pragma once

#include "coreerror.h"

#include <QString>

namespace vellumix {

// Refuses (LinkOnPath, naming the link) when `path`, or any directory above it up to the root of
// its volume, is a link, junction or other reparse point. A path that does not exist is still
// walked; its missing components pass. A relative path is taken against the current directory.
CoreError ensureNoLinksOnPath(const QString &path);

// Refuses `relativePath` when the update path policy rejects it (UnsafePath), or when `base` or
// any component from `base` down to the named file is a reparse point (LinkBelowBase, naming it).
// Directories above `base` are not tested.
CoreError ensureSafePathBelow(const QString &base, const QString &relativePath);

} // namespace vellumix
