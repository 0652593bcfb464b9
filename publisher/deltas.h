// Deltas made at staging: a changed file of the new release as a zstd frame against its content in
// one of the channel's last releases, so that a client holding that content downloads the frame
// instead of the whole packed file. The earlier contents come from the feed: its release
// manifests, verified, and their blobs, checked and unpacked.
#pragma once

#include "releaseinfo.h"

#include <functional>

namespace vellumix::publish {

// Whether this build can make and apply deltas (it was built with libzstd).
bool deltasAvailable();

inline constexpr int kDefaultDeltaDepth = 3;
inline constexpr int kMaxDeltaDepth = 50;
// The window of a delta, as a power of two: at most 2^27 = 128 MiB, the largest a client decodes.
// A file whose old or new version is larger than the window gets no delta.
inline constexpr int kMinDeltaWindowLog = 10;
inline constexpr int kMaxDeltaWindowLog = 27;

/*
    A delta is kept only when it is clearly smaller than the packed file it replaces: at most 90%
    of its size and at least 1 KiB smaller. Every delta adds an entry of about 200 bytes to the
    manifest that every client downloads, and a client that finds no use for a delta downloads
    the whole file anyway.
*/
bool isDeltaWorthKeeping(qint64 deltaSize, qint64 packedSize);

// A delta made for the stage, with what it is weighed against.
struct DeltaRecord
{
    DeltaEntry entry;
    qint32 baseSequence = 0;     // the newest release that had the base content at that path
    qint64 wholePackedSize = 0;  // the packed size of the file it replaces
};

/*
    The manifest has to stay within its bound. Drops deltas of the oldest bases first (the lowest
    baseSequence; of two with the same base release, the later in the list) until
    `envelopeSize(deltas)` is at most `limit`, keeping the order of the rest. Returns how many it
    dropped; all of them when even none fit.
*/
int trimDeltasToFit(QList<DeltaRecord> &deltas, qint64 limit,
                    const std::function<qint64(const QList<DeltaRecord> &)> &envelopeSize);

// An earlier content of a file, as a release of the feed names it.
struct DeltaBase
{
    QByteArray sha256;
    qint64 size = 0;
    QByteArray packedSha256;
    qint64 packedSize = 0;
    qint32 sequence = 0; // the newest release read that had it
};

// The channel's earlier releases in a feed: the last `depth` with a sequence below `sequence`,
// from FEED/<channel>/releases/ and the channel's current manifest (which covers a feed published
// before the release history was kept).
class DeltaBases
{
public:
    // Reads and verifies each release (with `key`, or the compiled-in key); one that cannot be
    // verified, or that was signed for another channel, stops it with a QString naming the file.
    DeltaBases(const QString &feedDir, const QString &channel, qint32 sequence, int depth,
               const std::optional<UpdateSigningKey> &key);

    // The sequences read, greatest first.
    const QList<qint32> &sequences() const { return m_sequences; }
    // The distinct earlier contents at `path` other than `sha256`, newest release first.
    QList<DeltaBase> basesFor(const QString &path, const QByteArray &sha256) const;
    // Any earlier content with this digest, at whatever path.
    std::optional<DeltaBase> find(const QByteArray &sha256) const;

    /*
        The content of a base, from its blob in the feed: the packed bytes checked against the
        digest and size the release names, unpacked and checked against the content's. Nothing
        when the feed has no such blob (pruned); throws a QString when it holds other bytes.
    */
    std::optional<QByteArray> contentOf(const DeltaBase &base) const;

private:
    QString m_feedDir;
    QList<qint32> m_sequences;
    QHash<QString, QList<DeltaBase>> m_byPath;
    QHash<QByteArray, DeltaBase> m_byContent;
};

// The frame that turns `base` into `target` with a window of at most 2^windowLog, or an empty
// array and the reason in `why` (a version larger than the window, a failure of the codec).
QByteArray makeDeltaFrame(const QByteArray &base, const QByteArray &target, int windowLog,
                          QString *why);

// Empty when `frame` applied to `base` gives `size` bytes with the SHA-256 `sha256`; otherwise
// what went wrong. Applied with the client's window limit.
QString deltaApplyProblem(const QByteArray &base, const QByteArray &frame, qint64 size,
                          const QByteArray &sha256);

} // namespace vellumix::publish
