#pragma once

#include <QString>

namespace vellumix {

// Refuses (throws the user's text) when `path`, or any directory above it up to the root of its
// volume, is a link, junction or other reparse point. A path that does not exist is still walked;
// its missing components pass. A relative path is taken against the current directory.
void ensureNoLinksOnPath(const QString &path);

// Refuses `relativePath` when the update path policy rejects it, or when `base` or any component
// from `base` down to the named file is a reparse point. Directories above `base` are not tested.
void ensureSafePathBelow(const QString &base, const QString &relativePath);

} // namespace vellumix
