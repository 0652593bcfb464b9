// Copy without overwriting, and move by rename only, on Linux.
#include "platform.h"
#include "unixfd_p.h"
#include "unixtext_p.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

namespace vellumix::os {

using detail::FileDescriptor;
using detail::openRetrying;

namespace {

bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

bool copyByReadWrite(int from, int to)
{
    static constexpr std::size_t kBlock = 1 << 20;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBlock]);
    if (!buffer)
        return false;
    for (;;) {
        const ssize_t n = ::read(from, buffer.get(), kBlock);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!writeAll(to, buffer.get(), std::size_t(n)))
            return false;
    }
}

/*
    copy_file_range lets the kernel copy (or share extents, on file systems that can) without the
    data passing through this process. Where the kernel or the file system does not offer it for
    this pair of files it fails before copying anything, and the plain loop takes over.
*/
bool copyContents(int from, int to, off_t size)
{
    off_t done = 0;
    while (done < size) {
        const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, std::size_t(size - done), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && done == 0
            && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
            return copyByReadWrite(from, to);
        if (n < 0)
            return false;
        if (n == 0)
            break; // the source shrank while it was copied; the loop below copies what is left
        done += n;
    }
    return copyByReadWrite(from, to);
}

} // namespace

bool copyFileExclusive(std::u16string_view from, std::u16string_view to) noexcept
{
    try {
        const std::string source = detail::toUtf8(from);
        const std::string target = detail::toUtf8(to);
        FileDescriptor in(openRetrying(source.c_str(), O_RDONLY));
        struct stat info;
        if (!in.isValid() || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
            return false;
        const mode_t mode = info.st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID);
        // O_EXCL with O_CREAT also refuses a symbolic link standing at the target.
        FileDescriptor out(openRetrying(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
        if (!out.isValid())
            return false;
        const bool copied = copyContents(in.get(), out.get(), info.st_size)
            && ::fchmod(out.get(), mode) == 0 && out.closeChecked();
        if (!copied)
            ::unlink(target.c_str());
        return copied;
    } catch (...) {
        return false;
    }
}

bool moveNoReplace(std::u16string_view from, std::u16string_view to) noexcept
{
    try {
        const std::string source = detail::toUtf8(from);
        const std::string target = detail::toUtf8(to);
        if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EINVAL && errno != ENOSYS)
            return false;
        /*
            A file system without RENAME_NOREPLACE: test, then rename. The updater holds its lock
            on the program root, so nothing of its own can slip in between.
        */
        struct stat info;
        if (::lstat(target.c_str(), &info) == 0 || errno != ENOENT)
            return false;
        return ::rename(source.c_str(), target.c_str()) == 0;
    } catch (...) {
        return false;
    }
}

} // namespace vellumix::os
