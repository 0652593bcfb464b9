// Link test, reading a small file without waiting on it, and flushes to stable storage on Linux.
#include "platform.h"
#include "unixfd_p.h"
#include "unixtext_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace vellumix::os {

using detail::FileDescriptor;

namespace {

int openForFlush(std::u16string_view path, int extraFlags)
{
    return detail::openRetrying(detail::toUtf8(path).c_str(), O_RDONLY | extraFlags);
}

} // namespace

/*
    Linux has no reparse points. What the updater must not follow here is a symbolic link, so a
    symbolic link counts as the reparse point; lstat looks at the link itself and never follows
    it. Bind mounts cannot be told apart from ordinary directories by lstat and are not refused.
*/
LinkStatus linkStatus(std::u16string_view path) noexcept
{
    // A NUL would cut the name short and test another path than the one given.
    if (path.empty() || path.find(u'\0') != std::u16string_view::npos)
        return LinkStatus::Unavailable;
    const std::string name = detail::toUtf8(path);
    struct stat info;
    if (::lstat(name.c_str(), &info) != 0)
        return LinkStatus::Unavailable;
    return S_ISLNK(info.st_mode) ? LinkStatus::Link : LinkStatus::NotALink;
}

/*
    The file is looked at with lstat (stat when a link is to be followed) before it is opened, so
    that a pipe, a device or a socket is never opened at all. Since something else could stand at
    the name by the time it is opened, the open itself does not wait either (O_NONBLOCK, which a
    regular file ignores) and does not follow a link that is to be refused (O_NOFOLLOW), and the
    object that was opened is checked again with fstat before a byte is read.
*/
FileRead readRegularFile(std::u16string_view path, std::size_t maxBytes, LinkAtName link,
                         std::string &contents) noexcept
{
    contents.clear();
    if (path.empty() || path.find(u'\0') != std::u16string_view::npos)
        return FileRead::Failed;
    try {
        const std::string name = detail::toUtf8(path);
        const bool follow = link == LinkAtName::Follow;
        struct stat info;
        if ((follow ? ::stat(name.c_str(), &info) : ::lstat(name.c_str(), &info)) != 0)
            return errno == ENOENT || errno == ENOTDIR ? FileRead::Missing : FileRead::Failed;
        if (!S_ISREG(info.st_mode))
            return FileRead::NotAFile;
        FileDescriptor file(detail::openRetrying(
            name.c_str(), O_RDONLY | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW)));
        if (!file.isValid()) {
            if (errno == ENOENT || errno == ENOTDIR)
                return FileRead::Missing;
            return errno == ELOOP ? FileRead::NotAFile : FileRead::Failed;
        }
        if (::fstat(file.get(), &info) != 0)
            return FileRead::Failed;
        if (!S_ISREG(info.st_mode))
            return FileRead::NotAFile;
        if (std::uint64_t(info.st_size) > maxBytes)
            return FileRead::TooLarge;
        // A file that grows while it is read is read up to one byte past the bound, no further.
        std::string bytes;
        char block[65536];
        for (;;) {
            const std::size_t room = maxBytes - std::min(maxBytes, bytes.size()) + 1;
            const ssize_t count = ::read(file.get(), block, std::min(sizeof block, room));
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                return FileRead::Failed;
            if (count == 0)
                break;
            bytes.append(block, std::size_t(count));
            if (bytes.size() > maxBytes)
                return FileRead::TooLarge;
        }
        contents.swap(bytes);
        return FileRead::Read;
    } catch (const std::bad_alloc &) {
        return FileRead::Failed;
    }
}

bool flushFileData(std::u16string_view path) noexcept
{
    FileDescriptor file(openForFlush(path, O_NOFOLLOW));
    return file.isValid() && ::fdatasync(file.get()) == 0;
}

bool flushOpenFile(int descriptor) noexcept
{
    if (descriptor < 0)
        return true;
    return ::fdatasync(descriptor) == 0;
}

bool flushDirectoryEntries(std::u16string_view directory) noexcept
{
    FileDescriptor dir(openForFlush(directory, O_DIRECTORY));
    return dir.isValid() && ::fsync(dir.get()) == 0;
}

bool flushFileSystem(std::u16string_view anyPathOnIt) noexcept
{
    FileDescriptor any(openForFlush(anyPathOnIt, 0));
    return any.isValid() && ::syncfs(any.get()) == 0;
}

} // namespace vellumix::os
