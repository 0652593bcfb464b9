// Opening the stage's files on POSIX systems: each file is opened as itself, and the
// descriptor's own fstat decides whether it is the stage's.
#include "stagefiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vellumix {

namespace {

// Removes what stands at `path` as itself: a link is removed, not what it points to.
bool removeEntry(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    return ::unlink(native.constData()) == 0 || errno == ENOENT;
}

} // namespace

bool isPlainStageFile(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode)
        && status.st_nlink == 1;
}

/*
    O_NOFOLLOW refuses a link at the last component, O_NONBLOCK keeps a pipe or a device from
    holding the open, and the descriptor's own fstat decides: only a regular file with this one
    name is the stage's. A second name would let the bytes written here land in a file elsewhere
    (a hard link needs no more than write access to this folder), so such a file is removed and
    replaced, and only then emptied: truncating it first would empty the other file.
*/
bool openStageFile(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error)
{
    const auto failed = [error](int code) {
        *error = QString::fromLocal8Bit(std::strerror(code));
        return false;
    };
    file.setFileName(path);
    const QByteArray native = QFile::encodeName(path);
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    if ((mode & QIODevice::ReadWrite) == QIODevice::ReadWrite)
        flags |= O_RDWR | O_CREAT;
    else if (mode & QIODevice::WriteOnly)
        flags |= O_WRONLY | O_CREAT;
    else
        flags |= O_RDONLY;
    /*
        A file that is to be emptied anyway is first made new: a file this call creates is a
        regular file with this one name and nothing in it, so none of the checks below is needed
        (and a stage's .out files are almost always new). Whatever stands at the path already,
        a link included (O_EXCL does not follow one), takes the way below.
    */
    if ((flags & O_CREAT) && (mode & QIODevice::Truncate)) {
        const int fd = ::open(native.constData(), (flags & ~O_NONBLOCK) | O_EXCL, 0600);
        if (fd >= 0) {
            if (file.open(fd, mode & ~QIODevice::Truncate, QFileDevice::AutoCloseHandle))
                return true;
            ::close(fd);
            *error = file.errorString();
            return false;
        }
        if (errno != EEXIST)
            return failed(errno);
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(native.constData(), flags, 0600);
        if (fd < 0) {
            if (errno == ELOOP && removeEntry(path))
                continue; // a link at the file's place
            return failed(errno);
        }
        struct stat status;
        const bool plain =
            ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1;
        if (!plain) {
            ::close(fd);
            if (!removeEntry(path))
                return failed(errno);
            continue;
        }
        if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0
            || ((mode & QIODevice::Truncate) && ::ftruncate(fd, 0) != 0)) {
            const int code = errno;
            ::close(fd);
            return failed(code);
        }
        if (file.open(fd, mode & ~QIODevice::Truncate, QFileDevice::AutoCloseHandle))
            return true;
        ::close(fd);
        *error = file.errorString();
        return false;
    }
    *error = QStringLiteral("something else keeps appearing at %1").arg(path);
    return false;
}

} // namespace vellumix
