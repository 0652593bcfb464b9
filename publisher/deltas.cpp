#include "deltas.h"
#include "publishtexts.h"
#include "numbertext.h"
#include "packing.h"
#include "updateprotocol.h"

#include "osbridge.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <algorithm>
#include <numeric>

#if VELLUMIX_PUBLISH_HAVE_DELTA
#include "zstddelta.h"
#endif

namespace vellumix::publish {

bool deltasAvailable()
{
    return VELLUMIX_PUBLISH_HAVE_DELTA != 0;
}

bool isDeltaWorthKeeping(qint64 deltaSize, qint64 packedSize)
{
    return deltaSize * 10 <= packedSize * 9 && packedSize - deltaSize >= 1024;
}

int trimDeltasToFit(QList<DeltaRecord> &deltas, qint64 limit,
                    const std::function<qint64(const QList<DeltaRecord> &)> &envelopeSize)
{
    if (envelopeSize(deltas) <= limit)
        return 0;
    // The order in which they go: oldest base release first; within one release, from the end.
    QList<qsizetype> order(deltas.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        const qint32 sa = deltas.at(a).baseSequence;
        const qint32 sb = deltas.at(b).baseSequence;
        return sa != sb ? sa < sb : a > b;
    });
    auto without = [&](qsizetype dropped) {
        QList<bool> gone(deltas.size(), false);
        for (qsizetype i = 0; i < dropped; ++i)
            gone[order.at(i)] = true;
        QList<DeltaRecord> kept;
        for (qsizetype i = 0; i < deltas.size(); ++i) {
            if (!gone.at(i))
                kept.append(deltas.at(i));
        }
        return kept;
    };
    // The size only shrinks as more go: the fewest that must go, by halving.
    qsizetype low = 1;
    qsizetype high = deltas.size();
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (envelopeSize(without(middle)) <= limit)
            high = middle;
        else
            low = middle + 1;
    }
    deltas = without(high);
    return int(high);
}

DeltaBases::DeltaBases(const QString &feedDir, const QString &channel, qint32 sequence, int depth,
                       const std::optional<UpdateSigningKey> &key)
    : m_feedDir(feedDir)
{
    if (!QFileInfo(feedDir).isDir())
        throw Texts::tr("the feed %1 does not exist").arg(feedDir);
    const QDir feed(feedDir);
    QMap<qint32, FeedRelease> releases; // the candidates, by sequence

    // The current manifest stands for its release when the history lacks it (a feed published
    // before the history was kept); the history's copy is the one published, so it wins.
    const QString current = feed.filePath(protocol::feedManifestPath(channel));
    if (QFileInfo::exists(current) || QFileInfo(current).isSymLink()) {
        FeedRelease release = loadFeedRelease(current, key);
        if (release.manifest.sequence < sequence)
            releases.insert(release.manifest.sequence, release);
    }
    QList<qint32> wanted;
    for (const qint32 candidate : releaseHistory(feedDir, channel)) {
        if (candidate < sequence)
            wanted.append(candidate);
    }
    for (const qint32 candidate : std::as_const(releases).keys())
        wanted.append(candidate);
    std::sort(wanted.begin(), wanted.end(), std::greater<>());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    wanted = wanted.mid(0, depth);

    for (const qint32 wantedSequence : std::as_const(wanted)) {
        const QString history = feed.filePath(protocol::feedReleasePath(channel, wantedSequence));
        if (QFileInfo::exists(history) || QFileInfo(history).isSymLink())
            releases.insert(wantedSequence, loadFeedRelease(history, key, wantedSequence));
        const FeedRelease release = releases.value(wantedSequence);
        m_sequences.append(wantedSequence);
        for (const ManifestFile &file : release.manifest.files) {
            const DeltaBase base{file.sha256, file.size, file.packedSha256, file.packedSize,
                                 wantedSequence};
            QList<DeltaBase> &atPath = m_byPath[file.path];
            if (std::none_of(atPath.cbegin(), atPath.cend(),
                             [&](const DeltaBase &known) { return known.sha256 == file.sha256; }))
                atPath.append(base);
            if (!m_byContent.contains(file.sha256))
                m_byContent.insert(file.sha256, base);
        }
    }
}

QList<DeltaBase> DeltaBases::basesFor(const QString &path, const QByteArray &sha256) const
{
    QList<DeltaBase> bases;
    for (const DeltaBase &base : m_byPath.value(path)) {
        if (base.sha256 != sha256)
            bases.append(base);
    }
    return bases;
}

std::optional<DeltaBase> DeltaBases::find(const QByteArray &sha256) const
{
    const auto it = m_byContent.constFind(sha256);
    if (it == m_byContent.cend())
        return std::nullopt;
    return *it;
}

std::optional<QByteArray> DeltaBases::contentOf(const DeltaBase &base) const
{
    const QString blob =
        QDir(m_feedDir).filePath(protocol::feedBlobPath(QString::fromLatin1(base.packedSha256)));
    const QFileInfo info(blob);
    if (!info.exists() && !info.isSymLink())
        return std::nullopt;
    QFile file(blob);
    if (os::linkStatus(osText(blob)) != os::LinkStatus::NotALink || !info.isFile()
        || info.size() != base.packedSize)
        throw Texts::tr("the blob %1 is not the %2 bytes its release names")
            .arg(blob, grouped(base.packedSize));
    if (!file.open(QIODevice::ReadOnly))
        throw Texts::tr("cannot read %1: %2").arg(blob, file.errorString());
    const QByteArray packed = file.readAll();
    if (packed.size() != base.packedSize
        || QCryptographicHash::hash(packed, QCryptographicHash::Sha256).toHex() != base.packedSha256)
        throw Texts::tr("the blob %1 does not have the digest its name says").arg(blob);
    QByteArray content;
    if (!unpackWhole(packed, base.size, &content) || content.size() != base.size
        || QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex() != base.sha256)
        throw Texts::tr("the blob %1 does not unpack to the content its release names")
            .arg(blob);
    return content;
}

#if VELLUMIX_PUBLISH_HAVE_DELTA

QByteArray makeDeltaFrame(const QByteArray &base, const QByteArray &target, int windowLog,
                          QString *why)
{
    DeltaOptions options;
    options.windowLogLimit = windowLog;
    DeltaResult made = makeDelta(base, target, options);
    if (!made.status.ok()) {
        *why = made.status.detail;
        return QByteArray();
    }
    return made.frame;
}

QString deltaApplyProblem(const QByteArray &base, const QByteArray &frame, qint64 size,
                          const QByteArray &sha256)
{
    const DeltaApplyResult applied = applyDelta(base, frame, size, kMaxDeltaWindowLog);
    if (!applied.status.ok())
        return QStringLiteral("%1 (%2)").arg(deltaErrorName(applied.status.error),
                                             applied.status.detail);
    if (QCryptographicHash::hash(applied.output, QCryptographicHash::Sha256).toHex() != sha256)
        return Texts::tr("it yields other content than the file's");
    return QString();
}

#else

QByteArray makeDeltaFrame(const QByteArray &, const QByteArray &, int, QString *why)
{
    *why = Texts::tr("this build of vellumix-publish has no delta support (libzstd)");
    return QByteArray();
}

QString deltaApplyProblem(const QByteArray &, const QByteArray &, qint64, const QByteArray &)
{
    return Texts::tr("this build of vellumix-publish has no delta support (libzstd)");
}

#endif

} // namespace vellumix::publish
