// Opening a file that is not the client's own as what it is now, on Windows: what stands at the
// name is looked at first, and only a file is opened.
#include "regularfile.h"

#include <QFileInfo>

namespace vellumix {

RegularFileOpen openRegularFile(QFile &file, const QString &path, bool followLink, QString *error)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        *error = QStringLiteral("does not exist");
        return RegularFileOpen::Missing;
    }
    if (!info.isFile() || (!followLink && info.isSymLink())) {
        *error = QStringLiteral("not a file");
        return RegularFileOpen::NotAFile;
    }
    file.setFileName(path);
    if (file.open(QIODevice::ReadOnly))
        return RegularFileOpen::Opened;
    *error = file.errorString();
    return RegularFileOpen::Failed;
}

} // namespace vellumix
