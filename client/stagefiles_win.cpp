// Opening the stage's files on Windows: what stands at a file's place is looked at before the
// file is opened, and whatever is no file there is removed.
#include "stagefiles.h"

#include "osbridge.h"
#include "platform.h"

#include <QDir>
#include <QFileInfo>

namespace vellumix {

namespace {

bool isLink(const QString &path)
{
    return os::linkStatus(osText(QDir::toNativeSeparators(path))) == os::LinkStatus::Link;
}

// Removes what stands at `path` as itself: a link is removed, not what it points to.
bool removeEntry(const QString &path)
{
    return QFile::remove(path) || QDir().rmdir(path);
}

} // namespace

bool isPlainStageFile(const QString &path)
{
    const QFileInfo info(path);
    return !isLink(path) && info.isFile();
}

bool openStageFile(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error)
{
    if ((isLink(path) || (QFileInfo::exists(path) && !QFileInfo(path).isFile()))
        && !removeEntry(path)) {
        *error = QStringLiteral("cannot remove %1").arg(path);
        return false;
    }
    file.setFileName(path);
    if (file.open(mode))
        return true;
    *error = file.errorString();
    return false;
}

} // namespace vellumix
