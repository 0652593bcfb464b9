#include "linkguard.h"

#include "osbridge.h"
#include "pathpolicy.h"

#include <QDir>
#include <QFileInfo>
#include <QStringView>

namespace vellumix {

namespace {

// A path whose attributes cannot be read (most often because it does not exist) passes: only an
// object that is known to be a reparse point is refused.
bool isReparsePoint(const QString &path)
{
    return os::linkStatus(osText(path)) == os::LinkStatus::Link;
}

} // namespace

CoreError ensureNoLinksOnPath(const QString &path)
{
    QString current = QFileInfo(path).absoluteFilePath();
    for (;;) {
        if (isReparsePoint(current))
            return {CoreError::LinkOnPath, current, {}};
        const QString parent = QFileInfo(current).absolutePath();
        // The root of a volume is its own parent. The length test only guards the loop's end
        // against a path form that would not shrink; such a parent has been tested once more.
        if (parent == current)
            return {};
        if (parent.size() >= current.size()) {
            if (isReparsePoint(parent))
                return {CoreError::LinkOnPath, parent, {}};
            return {};
        }
        current = parent;
    }
}

CoreError ensureSafePathBelow(const QString &base, const QString &relativePath)
{
    if (!isAllowedUpdatePath(relativePath))
        return {CoreError::UnsafePath, relativePath, {}};

    QString current = QDir(base).absolutePath();
    if (isReparsePoint(current))
        return {CoreError::LinkBelowBase, current, {}};
    /*
        A base that is the root of a volume ("/" or "C:/") already ends in a separator. Adding
        another would make "//name", which Windows reads as a network share: the components are
        joined with exactly one separator.
    */
    if (!current.endsWith(u'/'))
        current += u'/';
    const qsizetype rootLength = current.size();
    for (QStringView part : QStringView(relativePath).split(u'/')) {
        if (current.size() > rootLength)
            current += u'/';
        current += part;
        if (isReparsePoint(current))
            return {CoreError::LinkBelowBase, current, {}};
    }
    return {};
}

} // namespace vellumix
