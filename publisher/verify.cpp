#include "verify.h"
#include "numbertext.h"
#include "packing.h"

#include "fileio.h"
#include "osbridge.h"
#include "updateprotocol.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>

namespace vellumix::publish {

namespace {

constexpr qsizetype kReadChunk = 1024 * 1024;

struct Measured
{
    bool readable = false;
    qint64 size = 0;
    QByteArray sha256;
};

Measured measure(const QString &location)
{
    QFile file(location);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return {true, file.size(), hash.result().toHex()};
}

// The packed form must be the recorded bytes and unpack to the recorded content.
QString packedProblem(const QString &location, const ManifestFile &entry)
{
    QFile file(location);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("packed/%1: cannot be read").arg(entry.path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    GzipUnpacker unpacker;
    bool wellFormed = true;
    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    qint64 size = 0;
    for (qint64 count; (count = file.read(buffer.data(), buffer.size())) > 0;) {
        hash.addData(QByteArrayView(buffer.constData(), count));
        wellFormed = unpacker.add(buffer.constData(), count) && wellFormed;
        size += count;
    }
    if (size != entry.packedSize || hash.result().toHex() != entry.packedSha256)
        return QStringLiteral("packed/%1: %2 bytes, SHA-256 %3; the manifest says %4 bytes, %5")
            .arg(entry.path, grouped(size), QString::fromLatin1(hash.result().toHex()),
                 grouped(entry.packedSize), QString::fromLatin1(entry.packedSha256));
    if (!unpacker.finish() || !wellFormed || unpacker.contentSize() != entry.size
        || unpacker.contentSha256Hex() != entry.sha256)
        return QStringLiteral("packed/%1: does not unpack to the file's content").arg(entry.path);
    return QString();
}

// Every file below `dir`, relative, with "/" separators; links are reported as problems.
QStringList filesBelow(const QString &dir, const QString &label, QStringList &problems)
{
    QStringList found;
    if (!QFileInfo(dir).isDir())
        return found;
    const QDir root(QFileInfo(dir).absoluteFilePath());
    QDirIterator it(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString location = it.next();
        const QString path = root.relativeFilePath(location);
        if (os::linkStatus(osText(location)) == os::LinkStatus::Link)
            problems << QStringLiteral("%1/%2: is a symbolic link; the updater refuses it")
                            .arg(label, path);
        else if (!QFileInfo(location).isDir())
            found << path;
    }
    return found;
}

} // namespace

StageReport verifyStage(const QString &stageDir, const std::optional<UpdateSigningKey> &key)
{
    StageReport report;
    const QByteArray envelope =
        readFileLimited(stageDir + u'/' + protocol::kManifestFileName, kManifestMaxBytes);
    report.manifest = key ? loadUpdateManifest(envelope, *key) : loadUpdateManifest(envelope);

    QHash<QString, const ManifestFile *> entries;
    for (const ManifestFile &entry : std::as_const(report.manifest.files)) {
        entries.insert(entry.path, &entry);
        report.totalSize += entry.size;
    }

    const QString filesDir = stageDir + u'/' + protocol::kStageFilesFolder;
    for (const QString &path : filesBelow(filesDir, QStringLiteral("files"), report.problems)) {
        const ManifestFile *entry = entries.value(path);
        if (!entry) {
            report.problems << QStringLiteral("files/%1: not in the manifest").arg(path);
            continue;
        }
        ++report.filesStaged;
        const Measured staged = measure(filesDir + u'/' + path);
        if (!staged.readable)
            report.problems << QStringLiteral("files/%1: cannot be read").arg(path);
        else if (staged.sha256 != entry->sha256 || staged.size != entry->size)
            report.problems << QStringLiteral("files/%1: %2 bytes, SHA-256 %3; the manifest says "
                                              "%4 bytes, %5")
                                   .arg(path, grouped(staged.size), QString::fromLatin1(staged.sha256),
                                        grouped(entry->size), QString::fromLatin1(entry->sha256));
    }

    const QString packedDir = stageDir + QStringLiteral("/packed");
    for (const QString &path : filesBelow(packedDir, QStringLiteral("packed"), report.problems)) {
        const ManifestFile *entry = entries.value(path);
        if (!entry) {
            report.problems << QStringLiteral("packed/%1: not in the manifest").arg(path);
            continue;
        }
        ++report.filesPacked;
        const QString problem = packedProblem(packedDir + u'/' + path, *entry);
        if (!problem.isEmpty())
            report.problems << problem;
    }
    return report;
}

} // namespace vellumix::publish
