#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <unistd.h>

namespace testsupport {

QString failureOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const QString &message) {
        return message;
    }
    return kNoFailure;
}

void writeFile(const QString &root, const QString &relativePath, const QByteArray &contents)
{
    const QString path = root + u'/' + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Replaced, not rewritten in place: the file may be a program that is running.
    QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        qFatal("test set-up: cannot write %s", qPrintable(path));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

TreeSnapshot snapshotTree(const QString &root, const QStringList &skipTopLevel)
{
    TreeSnapshot snapshot;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (skipTopLevel.contains(relative.section(u'/', 0, 0)))
            continue;
        const QFileInfo info(path);
        if (info.isSymLink())
            snapshot.insert(relative, QStringLiteral("link -> ") + info.symLinkTarget());
        else if (info.isDir())
            snapshot.insert(relative, QStringLiteral("dir"));
        else if (!info.isFile()) // a pipe or a device, never read
            snapshot.insert(relative, QStringLiteral("special"));
        else
            snapshot.insert(relative, QStringLiteral("file ") + sha256Hex(readFile(path)));
    }
    return snapshot;
}

QString describeDifference(const TreeSnapshot &expected, const TreeSnapshot &actual)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            lines << QStringLiteral("missing: ") + it.key();
        else if (actual.value(it.key()) != it.value())
            lines << QStringLiteral("changed: ") + it.key() + QStringLiteral(" (") + it.value()
                    + QStringLiteral(" -> ") + actual.value(it.key()) + u')';
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("extra: ") + it.key() + QStringLiteral(" (") + it.value() + u')';
    }
    return lines.join(u'\n');
}

SmallDisk::SmallDisk(qint64 bytes)
{
    if (!isRoot() || !m_dir.isValid())
        return;
    QDir().mkpath(path());
    m_mounted = runProgram(QStringLiteral("mount"),
                           {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                            QStringLiteral("size=%1").arg(bytes), QStringLiteral("tmpfs"), path()})
        == 0;
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        runProgram(QStringLiteral("umount"), {QStringLiteral("-l"), path()});
}

void SmallDisk::fill(const QString &fileName)
{
    QFile filler(path() + u'/' + fileName);
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    const QByteArray block(64 * 1024, 'f');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    const QByteArray byte(1, 'f');
    while (filler.write(byte) == 1 && filler.flush()) {
    }
}

QStringList readLines(const QString &path)
{
    return QString::fromUtf8(readFile(path)).split(u'\n', Qt::SkipEmptyParts);
}

bool waitForLine(const QString &path, const QString &text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    do {
        for (const QString &line : readLines(path)) {
            if (line.contains(text))
                return true;
        }
        QThread::msleep(20);
    } while (timer.elapsed() < timeoutMs);
    return false;
}

QString journalStateAt(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object().value(QStringLiteral("state")).toString();
}

int runProgram(const QString &program, const QStringList &arguments, QByteArray *output,
               int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitCode();
}

bool isRoot()
{
    return ::geteuid() == 0;
}

} // namespace testsupport
