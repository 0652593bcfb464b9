// Opening a file that is not the client's own as what it is now, on POSIX systems: the open
// never waits, and the descriptor's own fstat decides.
#include "regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vellumix {

RegularFileOpen openRegularFile(QFile &file, const QString &path, bool followLink, QString *error)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(),
                    O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        *error = QString::fromLocal8Bit(std::strerror(code));
        if (code == ENOENT || code == ENOTDIR)
            return RegularFileOpen::Missing;
        return code == ELOOP ? RegularFileOpen::NotAFile : RegularFileOpen::Failed;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        *error = QStringLiteral("not a file");
        return RegularFileOpen::NotAFile;
    }
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return RegularFileOpen::Opened;
    ::close(fd);
    *error = file.errorString();
    return RegularFileOpen::Failed;
}

} // namespace vellumix
