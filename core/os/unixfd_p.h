// A file descriptor owned for the time of one operation, and an open() that retries on EINTR.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vellumix::os::detail {

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { if (m_fd >= 0) ::close(m_fd); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    // Closes now and reports a failure of close, which can carry a deferred write error.
    bool closeChecked() { return ::close(std::exchange(m_fd, -1)) == 0; }

private:
    int m_fd;
};

// open() with close-on-exec and without taking a controlling terminal.
inline int openRetrying(const char *name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(name, flags | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace vellumix::os::detail
