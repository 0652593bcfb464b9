#include "stagefiles.h"

#include "osbridge.h"
#include "platform.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace vellumix {

namespace {

UpdateFailure unsafe(const QString &detail)
{
    return {UpdateFailureReason::StagingUnsafe, detail};
}

bool isLink(const QString &path)
{
    return os::linkStatus(osText(QDir::toNativeSeparators(path))) == os::LinkStatus::Link;
}

// Removes what stands at `path` as itself: a link is removed, not what it points to.
bool removeEntry(const QString &path)
{
#ifdef Q_OS_WIN
    return QFile::remove(path) || QDir().rmdir(path);
#else
    const QByteArray native = QFile::encodeName(path);
    return ::unlink(native.constData()) == 0 || errno == ENOENT;
#endif
}

} // namespace

#ifdef Q_OS_WIN

/*
    On Windows a folder made in the user's profile carries the profile's own access rules, which
    let no other user in; only links are refused here (a link to a folder is a reparse point, and
    making one needs a privilege that an ordinary user does not hold): the same as for a folder
    inside the stage.
*/
UpdateFailure makeOrCheckStageDirectory(const QString &stage)
{
    return makeStageSubdirectory(stage);
}

bool isPlainStageFile(const QString &path)
{
    const QFileInfo info(path);
    return !isLink(path) && info.isFile();
}

bool isOwnFile(const QFile &)
{
    return true;
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

#else

UpdateFailure makeOrCheckStageDirectory(const QString &stage)
{
    const QByteArray native = QFile::encodeName(stage);
    struct stat status;
    if (::lstat(native.constData(), &status) != 0) {
        if (errno != ENOENT || !QDir().mkpath(QFileInfo(stage).absolutePath())
            || (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            || ::lstat(native.constData(), &status) != 0)
            return {UpdateFailureReason::StagingWriteFailed,
                    QStringLiteral("cannot create %1: %2").arg(stage, QString::fromLocal8Bit(std::strerror(errno)))};
    }
    if (S_ISLNK(status.st_mode))
        return unsafe(QStringLiteral("%1 is a link").arg(stage));
    if (!S_ISDIR(status.st_mode))
        return unsafe(QStringLiteral("%1 is not a folder").arg(stage));
    if (status.st_uid != ::geteuid())
        return unsafe(QStringLiteral("%1 belongs to another user (%2)").arg(stage).arg(status.st_uid));
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return unsafe(QStringLiteral("%1 may be written by other users (mode %2)")
                          .arg(stage)
                          .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0')));
    return {};
}

bool isOwnFile(const QFile &file)
{
    struct stat status;
    return ::fstat(file.handle(), &status) == 0 && status.st_uid == ::geteuid();
}

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

#endif

UpdateFailure makeStageSubdirectory(const QString &path)
{
    if (isLink(path))
        return unsafe(QStringLiteral("%1 is a link").arg(path));
    if (!QDir().mkpath(path))
        return {UpdateFailureReason::StagingWriteFailed, QStringLiteral("cannot create %1").arg(path)};
    return {};
}

} // namespace vellumix
