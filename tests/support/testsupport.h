// Helpers shared by the tests: real trees in temporary directories, whole-tree snapshots,
// small tmpfs mounts for a full disk, and the message of a thrown failure.
#pragma once

#include "coreedge.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <functional>

namespace testsupport {

// The message a call throws, or "<no failure>" when it returns.
QString failureOf(const std::function<void()> &call);
inline const QString kNoFailure = QStringLiteral("<no failure>");

// Writes `contents` to `root`/`relativePath`, creating directories on the way.
void writeFile(const QString &root, const QString &relativePath, const QByteArray &contents);
QByteArray readFile(const QString &path);
QString sha256Hex(const QByteArray &bytes);

// A snapshot of everything below a directory: for each relative path, "dir", "link -> target",
// "special" (a pipe, a device) or "file <sha256>". Compare two snapshots to compare whole trees.
// Paths whose first component is in `skipTopLevel` are left out (for instance the work directory).
using TreeSnapshot = QMap<QString, QString>;
TreeSnapshot snapshotTree(const QString &root, const QStringList &skipTopLevel = {});
// A readable difference of two snapshots, empty when they are equal.
QString describeDifference(const TreeSnapshot &expected, const TreeSnapshot &actual);

// A tmpfs of the given size mounted on a fresh directory; unmounted when destroyed. Needs root:
// isMounted() is false otherwise and the test should skip.
class SmallDisk
{
public:
    explicit SmallDisk(qint64 bytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
    bool isMounted() const { return m_mounted; }
    QString path() const { return m_dir.path() + QStringLiteral("/disk"); }
    // Fills the disk with one file until no byte is left.
    void fill(const QString &fileName = QStringLiteral("filler"));

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};

// The lines of a text file (a log written by the stand-in application), without empty ones.
QStringList readLines(const QString &path);
// Waits until a line of the file contains `text`; answers whether one did within the time.
bool waitForLine(const QString &path, const QString &text, int timeoutMs);
// The "state" member of the journal file at `path`, empty when it cannot be read.
QString journalStateAt(const QString &path);

// Runs a program and returns its exit code (-1 when it could not run, crashed, or did not end
// within `timeoutMs`, when it is killed).
int runProgram(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
               int timeoutMs = 600000);
bool isRoot();

} // namespace testsupport
