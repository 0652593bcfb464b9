// A stage asked to end by a signal (SIGTERM from a CI runner or systemd, Ctrl+C, a closed
// terminal) leaves no partial folder behind, as it leaves none when it fails.
#pragma once

#include <QString>

#include <functional>

namespace vellumix::publish {

/*
    For the program, once: from now on SIGTERM, SIGINT and SIGHUP ask the work in progress to
    stop (it looks with throwIfInterrupted and removes what it wrote as on any failure). Should it
    not have ended the process a few seconds later (a long delta being made), or should a second
    signal come, the folders still registered as partial are removed here and the process ends
    with 128 + the signal. A process that uses the library without calling this keeps its own
    signal handling. Does nothing on Windows.
*/
void watchForTermination();

// 0, or the signal that asked the process to end.
int terminationSignal();

// Throws the tool's text when a signal asked the process to end.
void throwIfInterrupted();

// A folder being built under a temporary name, which must not outlive the process: registered
// while it exists under that name.
class PartialFolder
{
public:
    explicit PartialFolder(const QString &path);
    ~PartialFolder();
    PartialFolder(const PartialFolder &) = delete;
    PartialFolder &operator=(const PartialFolder &) = delete;

    /*
        Runs `rename` (the move of the finished folder to its name) so that a termination never
        removes the folder half-way through it; the folder is no longer partial once `rename`
        answers true. A termination that came before refuses (throws) without renaming.
    */
    bool finish(const std::function<bool()> &rename);

private:
    QString m_path;
    bool m_registered = true;
};

} // namespace vellumix::publish
