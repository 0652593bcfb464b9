#include "verify.h"
#include "publishtexts.h"
#include "deltas.h"
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
#include <QSet>

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
        return Texts::tr("packed/%1: cannot be read").arg(entry.path);
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
        return Texts::tr("packed/%1: %2 bytes, SHA-256 %3; the manifest says %4 bytes, %5")
            .arg(entry.path, grouped(size), QString::fromLatin1(hash.result().toHex()),
                 grouped(entry.packedSize), QString::fromLatin1(entry.packedSha256));
    if (!unpacker.finish() || !wellFormed || unpacker.contentSize() != entry.size
        || unpacker.contentSha256Hex() != entry.sha256)
        return Texts::tr("packed/%1: does not unpack to the file's content").arg(entry.path);
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
            problems << Texts::tr("%1/%2: is a symbolic link; the updater refuses it")
                            .arg(label, path);
        else if (!QFileInfo(location).isDir())
            found << path;
    }
    return found;
}

/*
    Each delta blob must be under deltas/ with the digest and size the manifest names, and nothing
    else may be there. With a feed, a delta whose base is found among the channel's releases is
    applied to it: a delta that does not give the file would make every client that tries it
    download the file again.
*/
void checkDeltas(const QString &stageDir, const QString &feedDir,
                 const std::optional<UpdateSigningKey> &key, StageReport &report)
{
    const UpdateManifest &manifest = report.manifest;
    const QString deltasDir = stageDir + QStringLiteral("/deltas");
    QSet<QString> listed;
    for (const DeltaEntry &delta : std::as_const(report.extras.deltas))
        listed.insert(QString::fromLatin1(delta.packedSha256));
    for (const QString &name : filesBelow(deltasDir, QStringLiteral("deltas"), report.problems)) {
        if (!listed.contains(name))
            report.problems << Texts::tr("deltas/%1: not in the manifest").arg(name);
    }
    if (report.extras.deltas.isEmpty())
        return;

    std::optional<DeltaBases> bases;
    if (!feedDir.isEmpty()) {
        const QString channel = report.extras.channel.isEmpty() ? protocol::kDefaultChannel
                                                                : report.extras.channel;
        try {
            bases.emplace(feedDir, channel, manifest.sequence, kMaxDeltaDepth, key);
        } catch (const QString &failure) {
            report.problems << Texts::tr("the deltas cannot be checked against the feed: %1")
                                   .arg(failure);
        }
    }
    QHash<QString, const ManifestFile *> entries;
    for (const ManifestFile &entry : manifest.files)
        entries.insert(entry.path, &entry);

    for (const DeltaEntry &delta : std::as_const(report.extras.deltas)) {
        const QString label = Texts::tr("deltas/%1 (the delta of %2)")
                                  .arg(QString::fromLatin1(delta.packedSha256), delta.path);
        QFile blob(deltasDir + u'/' + QString::fromLatin1(delta.packedSha256));
        if (!blob.open(QIODevice::ReadOnly)) {
            report.problems << Texts::tr("%1: missing").arg(label);
            continue;
        }
        // Read only when it has the size named, so a wrong file costs no memory.
        const QByteArray frame = blob.size() == delta.packedSize ? blob.readAll() : QByteArray();
        const QByteArray digest = QCryptographicHash::hash(frame, QCryptographicHash::Sha256).toHex();
        if (blob.size() != delta.packedSize || digest != delta.packedSha256) {
            report.problems << Texts::tr("%1: %2 bytes, SHA-256 %3; the manifest says %4 bytes, "
                                         "%5")
                                   .arg(label, grouped(blob.size()),
                                        frame.size() == blob.size() ? QString::fromLatin1(digest)
                                                                    : Texts::tr("not taken"),
                                        grouped(delta.packedSize),
                                        QString::fromLatin1(delta.packedSha256));
            continue;
        }
        if (!bases)
            continue;
        const std::optional<DeltaBase> base = bases->find(delta.baseSha256);
        if (!base || !deltasAvailable()) {
            ++report.deltasUnchecked;
            continue;
        }
        try {
            const std::optional<QByteArray> old = bases->contentOf(*base);
            if (!old) {
                ++report.deltasUnchecked;
                continue;
            }
            const ManifestFile &target = *entries.value(delta.path);
            const QString problem = deltaApplyProblem(*old, frame, target.size, target.sha256);
            if (!problem.isEmpty())
                report.problems << Texts::tr("%1 does not give the file from its base %2: %3")
                                       .arg(label, QString::fromLatin1(delta.baseSha256), problem);
            else
                ++report.deltasChecked;
        } catch (const QString &failure) {
            report.problems << QStringLiteral("%1: %2").arg(label, failure);
        }
    }
}

} // namespace

StageReport verifyStage(const QString &stageDir, const std::optional<UpdateSigningKey> &key,
                        const QString &feedDir)
{
    StageReport report;
    const QByteArray envelope =
        orRefuse(readFileLimited(stageDir + u'/' + protocol::kManifestFileName, kManifestMaxBytes));
    report.manifest =
        orRefuse(key ? loadUpdateManifest(envelope, *key) : loadUpdateManifest(envelope));

    QHash<QString, const ManifestFile *> entries;
    for (const ManifestFile &entry : std::as_const(report.manifest.files)) {
        entries.insert(entry.path, &entry);
        report.totalSize += entry.size;
    }

    const QString filesDir = stageDir + u'/' + protocol::kStageFilesFolder;
    for (const QString &path : filesBelow(filesDir, QStringLiteral("files"), report.problems)) {
        const ManifestFile *entry = entries.value(path);
        if (!entry) {
            report.problems << Texts::tr("files/%1: not in the manifest").arg(path);
            continue;
        }
        ++report.filesStaged;
        const Measured staged = measure(filesDir + u'/' + path);
        if (!staged.readable)
            report.problems << Texts::tr("files/%1: cannot be read").arg(path);
        else if (staged.sha256 != entry->sha256 || staged.size != entry->size)
            report.problems << Texts::tr("files/%1: %2 bytes, SHA-256 %3; the manifest says "
                                         "%4 bytes, %5")
                                   .arg(path, grouped(staged.size), QString::fromLatin1(staged.sha256),
                                        grouped(entry->size), QString::fromLatin1(entry->sha256));
    }

    const QString packedDir = stageDir + QStringLiteral("/packed");
    for (const QString &path : filesBelow(packedDir, QStringLiteral("packed"), report.problems)) {
        const ManifestFile *entry = entries.value(path);
        if (!entry) {
            report.problems << Texts::tr("packed/%1: not in the manifest").arg(path);
            continue;
        }
        ++report.filesPacked;
        const QString problem = packedProblem(packedDir + u'/' + path, *entry);
        if (!problem.isEmpty())
            report.problems << problem;
    }

    try {
        report.extras = readReleaseExtras(report.manifest);
    } catch (const QString &problem) {
        report.problems << problem;
        return report;
    }
    if (report.extras.expires && *report.extras.expires <= QDateTime::currentDateTimeUtc())
        report.problems << Texts::tr("the manifest expired at %1; clients refuse it (stage "
                                     "the release again)")
                               .arg(expiryText(*report.extras.expires));
    checkDeltas(stageDir, feedDir, key, report);
    return report;
}

} // namespace vellumix::publish
