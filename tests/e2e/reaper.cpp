// Runs a program as a prompt reaper of every orphan below it, as init does on an ordinary Linux
// system: a detached process that ends is reaped at once and its id can be reused. The tests run
// the updater under it so that a watch of a detached program that relied on the id staying valid
// would fail here as it would in the field.
//
// Usage: reaper PROGRAM [ARGUMENTS...]; exits with the program's exit code.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARGUMENTS...]\n", argv[0]);
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
        ::execv(argv[1], argv + 1);
        std::perror("execv");
        ::_exit(127);
    }
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(-1, &status, 0);
        if (reaped < 0 && errno == EINTR)
            continue;
        if (reaped < 0)
            return 2;
        if (reaped == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}
