#pragma once

#include <QString>
#include <QStringView>

namespace vellumix {

// Whether a path from an update (relative to the program root, "/" separators) may be installed:
// it stays below the root by its name alone, is made of plain Windows names, names no device and
// no file of a kind that an update never installs. Pure: no file-system access, never throws.
bool isAllowedUpdatePath(const QString &path);

// The form in which Windows compares a path: two paths of an update with the same key name one
// file on NTFS, so an update may hold only one of them.
QString updatePathKey(QStringView path);

} // namespace vellumix
