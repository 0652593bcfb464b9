#include "measure.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QTemporaryFile>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

extern char **environ;

namespace bench {

namespace {

class Pipe
{
public:
    Pipe() { if (::pipe2(m_fds, O_CLOEXEC) != 0) m_fds[0] = m_fds[1] = -1; }
    ~Pipe() { closeRead(); closeWrite(); }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    int readEnd() const { return m_fds[0]; }
    int writeEnd() const { return m_fds[1]; }
    void closeRead() { if (m_fds[0] >= 0) ::close(std::exchange(m_fds[0], -1)); }
    void closeWrite() { if (m_fds[1] >= 0) ::close(std::exchange(m_fds[1], -1)); }

private:
    int m_fds[2];
};

class SpawnActions
{
public:
    SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
    SpawnActions(const SpawnActions &) = delete;
    SpawnActions &operator=(const SpawnActions &) = delete;
    posix_spawn_file_actions_t *get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

} // namespace

Figures measure(const QString &program, const QStringList &arguments, const QString &directory,
                bool capture)
{
    QList<QByteArray> storage{program.toLocal8Bit()};
    for (const QString &argument : arguments)
        storage.append(argument.toLocal8Bit());
    QList<char *> argv;
    for (QByteArray &argument : storage)
        argv.append(argument.data());
    argv.append(nullptr);

    Pipe output;
    SpawnActions actions;
    if (capture)
        posix_spawn_file_actions_adddup2(actions.get(), output.writeEnd(), STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const QByteArray dir = directory.toLocal8Bit();
    if (!directory.isEmpty())
        posix_spawn_file_actions_addchdir_np(actions.get(), dir.constData());

    Figures figures;
    QElapsedTimer wall;
    wall.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv.first(), actions.get(), nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "vellumix-bench: cannot start %s\n", argv.first());
        return figures;
    }
    output.closeWrite();
    char buffer[65536];
    for (ssize_t n; capture && (n = ::read(output.readEnd(), buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            figures.output.append(buffer, n);
        else if (errno != EINTR)
            break;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    figures.wallS = double(wall.nsecsElapsed()) / 1e9;
    figures.userS = seconds(usage.ru_utime);
    figures.systemS = seconds(usage.ru_stime);
    figures.peakKiB = usage.ru_maxrss;
    figures.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return figures;
}

Figures measureWithPeak(const QString &program, const QStringList &arguments,
                        const QString &directory)
{
    QTemporaryFile peak;
    if (!peak.open()) {
        std::fprintf(stderr, "vellumix-bench: cannot create a temporary file\n");
        return Figures();
    }
    Figures figures = measure(QStringLiteral("/usr/bin/time"),
                              QStringList{QStringLiteral("-f"), QStringLiteral("%M"),
                                          QStringLiteral("-o"), peak.fileName(), program}
                                  + arguments,
                              directory);
    figures.peakKiB = peak.readAll().trimmed().toLong();
    return figures;
}

Figures measureShell(const QString &commandLine, const QString &directory)
{
    return measure(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commandLine}, directory);
}

void settle()
{
    ::sync();
}

} // namespace bench
