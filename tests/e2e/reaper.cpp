// Runs a program as a prompt reaper of every orphan below it, as init does on an ordinary Linux
// system: a detached process that ends is reaped at once and its id can be reused. The tests run
// the updater under it so that a watch of a detached program that relied on the id staying valid
// would fail here as it would in the field. The demo runs the application under it to learn the
// exit code of the updater that the application starts detached.
//
// Usage: reaper [--report FILE] PROGRAM [ARGUMENTS...]
//   Exits with the program's exit code as soon as the program ends. With --report, it instead
//   waits until every descendant has ended and writes one line per process to FILE:
//   "<name> <exit code>" (128 + signal for a process killed by a signal).
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int exitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The name of an ended process that has not been reaped yet.
std::string nameOf(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    char name[64] = {};
    if (FILE *file = std::fopen(path.c_str(), "r")) {
        if (!std::fgets(name, sizeof name, file))
            name[0] = '\0';
        std::fclose(file);
    }
    std::string result(name);
    if (!result.empty() && result.back() == '\n')
        result.pop_back();
    return result.empty() ? "?" : result;
}

} // namespace

int main(int argc, char **argv)
{
    int first = 1;
    FILE *report = nullptr;
    if (argc > 3 && std::strcmp(argv[1], "--report") == 0) {
        report = std::fopen(argv[2], "w");
        if (!report) {
            std::perror(argv[2]);
            return 2;
        }
        first = 3;
    }
    if (argc <= first) {
        std::fprintf(stderr, "usage: %s [--report FILE] PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL) != 0) {
        std::perror("prctl");
        return 2;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        ::execv(argv[first], argv + first);
        std::perror("execv");
        ::_exit(127);
    }
    int childCode = 2;
    for (;;) {
        siginfo_t info{};
        // Look at the ended process before reaping it, while its name can still be read.
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) {
            if (errno == EINTR)
                continue;
            break; // no descendant left
        }
        const pid_t pid = info.si_pid;
        const std::string name = report ? nameOf(pid) : std::string();
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid)
            continue;
        if (report) {
            std::fprintf(report, "%s %d\n", name.c_str(), exitCodeOf(status));
            std::fflush(report);
        }
        if (pid == child) {
            childCode = exitCodeOf(status);
            if (!report)
                return childCode;
        }
    }
    return childCode;
}
