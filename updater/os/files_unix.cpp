// Link test and flushes to stable storage on Linux.
#include "platform.h"
#include "unixtext_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vellumix::os {

namespace {

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { if (m_fd >= 0) ::close(m_fd); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }

private:
    int m_fd;
};

int openForFlush(std::u16string_view path, int extraFlags)
{
    const std::string name = detail::toUtf8(path);
    int fd;
    do {
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | extraFlags);
    } while (fd < 0 && errno == EINTR);
    return fd;
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
