// Link test and flushes to stable storage on Linux.
#include "platform.h"
#include "unixfd_p.h"
#include "unixtext_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
