// The stage's own files on POSIX systems: the private stage folder, owners, modes and write-back.
#include "stagefile.h"
#include "unixtext_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vellumix::os {

namespace {

bool isFolder(const std::string &name)
{
    struct stat status;
    return ::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

/*
    The folders above the stage, made as any folder (0777 less the umask), one level at a time
    from the deepest that exists: a folder that appears meanwhile (another process making the same
    path) is taken as made.
*/
bool makeFolderWithParents(const std::string &name)
{
    if (::mkdir(name.c_str(), 0777) == 0 || errno == EISDIR)
        return true;
    if (errno == EEXIST)
        return isFolder(name);
    if (errno != ENOENT)
        return false;
    const std::size_t slash = name.find_last_of('/');
    if (slash == std::string::npos || slash < 1 || !makeFolderWithParents(name.substr(0, slash)))
        return false;
    if (::mkdir(name.c_str(), 0777) == 0)
        return true;
    return errno == EEXIST && isFolder(name);
}

// The folder that holds `name`, which is an absolute path (the stage always is).
std::string parentOf(const std::string &name)
{
    const std::size_t slash = name.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : name.substr(0, slash);
}

} // namespace

PrivateFolder makeOrCheckPrivateFolder(std::u16string_view path) noexcept
{
    PrivateFolder folder;
    if (path.empty() || path.find(u'\0') != std::u16string_view::npos) {
        folder.error = EINVAL;
        return folder;
    }
    try {
        const std::string name = detail::toUtf8(path);
        struct stat status;
        if (::lstat(name.c_str(), &status) != 0) {
            if (errno != ENOENT || !makeFolderWithParents(parentOf(name))
                || (::mkdir(name.c_str(), 0700) != 0 && errno != EEXIST)
                || ::lstat(name.c_str(), &status) != 0) {
                folder.error = errno;
                return folder;
            }
        }
        folder.owner = status.st_uid;
        folder.mode = status.st_mode & 07777;
        if (S_ISLNK(status.st_mode))
            folder.status = PrivateFolderStatus::Link;
        else if (!S_ISDIR(status.st_mode))
            folder.status = PrivateFolderStatus::NotAFolder;
        else if (status.st_uid != ::geteuid())
            folder.status = PrivateFolderStatus::OtherOwner;
        else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            folder.status = PrivateFolderStatus::OpenToOthers;
        else
            folder.status = PrivateFolderStatus::Private;
    } catch (...) {
        folder.error = ENOMEM;
    }
    return folder;
}

bool isOwnedByCurrentUser(int descriptor) noexcept
{
    struct stat status;
    return ::fstat(descriptor, &status) == 0 && status.st_uid == ::geteuid();
}

// One lstat of the installed file (a link counts as none), not one per question asked of it.
bool setStagedFileMode(std::u16string_view staged, std::u16string_view installed,
                       bool executable) noexcept
{
    if (staged.find(u'\0') != std::u16string_view::npos
        || installed.find(u'\0') != std::u16string_view::npos)
        return false;
    try {
        mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
        struct stat status;
        if (::lstat(detail::toUtf8(installed).c_str(), &status) == 0 && S_ISREG(status.st_mode))
            mode = (status.st_mode & 0777) | S_IRUSR | S_IWUSR;
        if (executable)
            mode |= S_IXUSR | S_IXGRP | S_IXOTH;
        return ::chmod(detail::toUtf8(staged).c_str(), mode) == 0;
    } catch (...) {
        return false;
    }
}

bool canStartWriteBack() noexcept
{
#ifdef __linux__
    return true;
#else
    return false;
#endif
}

bool startWriteBack(int descriptor, std::int64_t offset) noexcept
{
#ifdef __linux__
    return descriptor >= 0
        && ::sync_file_range(descriptor, offset, 0, SYNC_FILE_RANGE_WRITE) == 0;
#else
    (void)descriptor;
    (void)offset;
    return false;
#endif
}

bool canRemoveOpenFiles() noexcept
{
    return true;
}

} // namespace vellumix::os
