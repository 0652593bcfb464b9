#include "blobpipeline.h"

#include "linkguard.h"
#include "platform.h"
#include "regularfile.h"
#include "stagefile.h"
#include "stagefiles.h"

#include <QDir>
#include <QFile>

#include <zlib.h>

#ifdef VELLUMIX_CLIENT_DELTAS
#include "zstddelta.h"
#endif

#include <cerrno>
#include <cstring>

namespace vellumix {

namespace {

constexpr qint64 kPiece = 256 * 1024;
// The .out file's write-back to the disk is started after every this many bytes, and at its end.
constexpr qint64 kWriteBackStep = 8 * 1024 * 1024;

class Sha256Hex
{
public:
    bool add(const char *data, qint64 size)
    {
        return m_hash.update(os::ByteView(reinterpret_cast<const std::uint8_t *>(data),
                                          std::size_t(size)));
    }
    QByteArray finish()
    {
        os::Sha256Digest digest;
        if (!m_hash.finish(digest))
            return QByteArray();
        return QByteArray(reinterpret_cast<const char *>(digest.data()), qsizetype(digest.size()))
            .toHex();
    }

private:
    os::Sha256 m_hash;
};

} // namespace

/*
    One try at one blob. The packed bytes are kept as they arrive and, in the same pass, hashed
    and unpacked into the .out file, whose content is hashed too; the
    unpacked size is held to the manifest's "size" byte by byte, so a member that unpacks to more
    (a decompression bomb) stops at the first byte too many. Nothing is kept in memory beyond one
    piece. A try that resumes replays the .part file through the same checks first, so a file is
    only ever judged on all of its bytes. A delta's bytes go the same way, but are applied to the
    installed copy (a private copy of it in the stage, see openBase) instead of unpacked: memory
    is then the decoder's window (at most 128 MiB, about the size of the file) and a small
    constant.

    Where the packed bytes are kept: they are only needed again when a try is cut short, to go on
    from them instead of fetching them again. For a large blob that is worth a file written as
    the bytes come (the .part file, which survives the process). A small blob is kept in memory
    and written to its .part file only when its try ends without its checks (keepForResume): a
    file created per blob costs more than the blob's bytes (on small releases the creates were a
    third of the client's time), and a blob that comes in one answer, as almost all do, then
    costs one file, its .out. A process that dies loses the small blobs it held, which the next
    download fetches whole, as it fetches any blob without a .part file. Deltas always keep a
    .part file: one at a time, and its base copy costs a file anyway.
*/
class BlobPipeline::Work
{
public:
    Work(BlobJob job, QString partPath, QString outPath, QString basePath,
                 QString programRoot, bool hasPart)
        : m_job(std::move(job)), m_partPath(std::move(partPath)), m_outPath(std::move(outPath)),
          m_basePath(std::move(basePath)), m_programRoot(std::move(programRoot)),
          m_usesPart(hasPart || m_job.isDelta() || m_job.packedSize > kHeldInMemory)
    {
    }
    ~Work()
    {
        if (m_inflating)
            inflateEnd(&m_zlib);
#ifdef VELLUMIX_CLIENT_DELTAS
        m_decoder.reset(); // it reads the mapped copy to its end
#endif
        // Where the copy keeps its name while it is open here (see openBase), it goes once closed.
        if (!os::canRemoveOpenFiles() && m_base.isOpen()) {
            m_base.close();
            QFile::remove(m_basePath);
        }
    }

    const BlobJob &job() const { return m_job; }

    bool usesPartFile() const { return m_usesPart; }

    UpdateFailure open(bool restart)
    {
        QString why;
        if (m_usesPart
            && !openStageFile(m_part, m_partPath,
                              QIODevice::ReadWrite | (restart ? QIODevice::Truncate : QIODevice::OpenMode{}), &why))
            return writeFailure(m_partPath, why);
        if (!m_usesPart)
            m_held.reserve(m_job.packedSize);
        if (!openStageFile(m_out, m_outPath, QIODevice::WriteOnly | QIODevice::Truncate, &why))
            return writeFailure(m_outPath, why);
        if (m_job.isDelta()) {
            if (const UpdateFailure f = openBase(); !f.ok())
                return f;
        } else {
            if (inflateInit2(&m_zlib, 16 + MAX_WBITS) != Z_OK)
                return failed(UpdateFailureReason::StagingWriteFailed, QStringLiteral("zlib"));
            m_inflating = true;
            // The gzip trailer's CRC-32 is not computed: the packed bytes are checked against
            // their SHA-256 and the unpacked ones against theirs, which say more (a twentieth of
            // a large download's processor time went to the CRC).
            inflateValidate(&m_zlib, 0);
        }
        if (!m_usesPart)
            return {};
        // Replay what an earlier try received; a .part file longer than the blob is dropped.
        if (m_part.size() > m_job.packedSize && !m_part.resize(0))
            return writeFailure(m_partPath, systemError());
        QByteArray piece(kPiece, Qt::Uninitialized);
        for (;;) {
            const qint64 n = m_part.read(piece.data(), piece.size());
            if (n < 0)
                return writeFailure(m_partPath, systemError());
            if (n == 0)
                break;
            if (const UpdateFailure f = take(piece.constData(), n); !f.ok())
                return f;
        }
        return {};
    }

    qint64 packedBytes() const { return m_packedBytes; }

    UpdateFailure append(const char *data, qint64 size)
    {
        if (m_packedBytes + size > m_job.packedSize)
            return invalid(QStringLiteral("longer than its %1 bytes").arg(m_job.packedSize));
        if (!m_usesPart)
            m_held.append(data, size);
        else if (m_part.write(data, size) != size)
            return writeFailure(m_partPath, systemError());
        const UpdateFailure result = take(data, size);
        if (result.ok() && m_unpackedBytes - m_writeBackFrom >= kWriteBackStep)
            startWriteBack();
        return result;
    }

    UpdateFailure keepForResume()
    {
        if (m_usesPart || m_held.isEmpty())
            return {};
        QString why;
        QFile part;
        if (!openStageFile(part, m_partPath, QIODevice::WriteOnly | QIODevice::Truncate, &why))
            return writeFailure(m_partPath, why);
        if (part.write(m_held) != m_held.size() || !part.flush())
            return writeFailure(m_partPath, systemError());
        m_held.clear();
        return {};
    }

    Check verify(QString *why)
    {
        const ManifestFile &file = m_job.files.first();
        m_part.close();
        const bool written = m_out.flush();
        if (written && m_writeBackFrom > 0)
            startWriteBack();
        m_out.close();
        if (!written) {
            *why = QStringLiteral("cannot write %1: %2").arg(m_outPath, systemError());
            return Check::WriteFailed;
        }
        if (m_packedBytes != m_job.packedSize)
            *why = QStringLiteral("%1 bytes instead of %2").arg(m_packedBytes).arg(m_job.packedSize);
        else if (m_packedHash.finish() != m_job.packedSha256)
            *why = QStringLiteral("the packed digest differs");
        else if (!m_job.isDelta() && !m_ended)
            *why = QStringLiteral("the gzip stream is truncated");
        else if (const QString problem = deltaProblem(); !problem.isEmpty())
            *why = problem;
        else if (m_unpackedBytes != file.size)
            *why = QStringLiteral("unpacks to %1 bytes instead of %2").arg(m_unpackedBytes).arg(file.size);
        else if (m_contentHash.finish() != file.sha256)
            *why = QStringLiteral("the unpacked digest differs");
        else
            return Check::Passed;
        return Check::Invalid;
    }

    const UpdateFailure &brokenBy() const { return m_broken; }
    // The most a delta's decoder held while this try applied it.
    qint64 peakDecoderMemory() const { return m_peakMemory; }

private:
    /*
        The stage's files reach the disk before its manifest is written: one flush of the whole
        file system when the download ends (StageArea::finish). Left to that flush, all of a
        release's bytes are written then, with the download waiting (85 ms for 140 MB here). So
        the write-back of a large .out file is started as it grows and when it is complete,
        while the rest still arrives; the flush at the end finds little left. Durability is the
        same: this only starts writes, and the flush still waits for them. Files smaller than
        one step are left to the flush: started one by one, the writes of thousands of small
        files cost more CPU than the flush of all of them (1.4 -> 1.6 s on the small release).
        The .part file is not written back early: it is removed once its blob is in place.
    */
    void startWriteBack()
    {
        if (os::canStartWriteBack()) {
            if (!m_out.flush())
                return; // the flush in verify reports it
            os::startWriteBack(m_out.handle(), m_writeBackFrom);
        }
        m_writeBackFrom = m_unpackedBytes;
    }

    UpdateFailure writeFailure(const QString &path, const QString &why)
    {
        return m_broken = failed(UpdateFailureReason::StagingWriteFailed,
                                 QStringLiteral("%1: %2").arg(path, why));
    }
    // The system's reason for the call that just failed (a file opened from a descriptor has no
    // text of its own for it: "Unknown error").
    static QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }
    UpdateFailure invalid(const QString &why)
    {
        return m_broken = failed(UpdateFailureReason::DownloadInvalid,
                                 QStringLiteral("blob %1 (%2): %3")
                                     .arg(QString::fromLatin1(m_job.packedSha256),
                                          m_job.files.first().path, why));
    }

    /*
        The base of a delta: the installed copy of the first file, opened as itself (a link at or
        below the program root is refused, as the updater refuses one). Its content must still be
        the one the check found: a file that changed since fails the delta.

        zstd decodes against the whole base at one address, for as long as the delta streams in.
        The installed file is not ours: mapped, a file cut short meanwhile (truncated, or copied
        over, which truncates first) would end the process with SIGBUS at the decoder's next read
        of it, and one rewritten in place would change under the decoder. So the base is read
        once, in pieces, hashed as it is read and written to a copy in the stage, and the decoder
        reads the copy, mapped: the digest is of exactly the bytes the copy holds, and whatever
        happens to the installed file after that cannot reach the delta. Memory stays as it was
        with the installed file mapped (the copy's pages are file pages, which the kernel may drop
        and read again; nothing the size of the base is allocated); the copy costs the base's
        size on the stage's disk while the delta is applied, and one more write of it. Where the
        system allows, the copy has no name from the moment it is open (Linux), so no other
        process can open it; on Windows, which refuses to cut a mapped file, it keeps its name
        until it is closed.
    */
    UpdateFailure openBase()
    {
#ifdef VELLUMIX_CLIENT_DELTAS
        const ManifestFile &file = m_job.files.first();
        if (UpdateFailure f = unsafeStage(ensureSafePathBelow(m_programRoot, file.path)); !f.ok())
            return invalid(QStringLiteral("the base: %1").arg(f.detail));
        const QString path = QDir(m_programRoot).filePath(file.path);
        QFile installed;
        // Opened as itself (a link put at its place since the guard looked is not followed), and
        // only a regular file: nothing found in the program folder is removed, it is not ours.
        if (QString why; openRegularFile(installed, path, false, &why) != RegularFileOpen::Opened)
            return invalid(QStringLiteral("cannot read the base %1: %2").arg(path, why));
        if (QString why;
            !openStageFile(m_base, m_basePath, QIODevice::ReadWrite | QIODevice::Truncate, &why))
            return writeFailure(m_basePath, why);
        if (os::canRemoveOpenFiles())
            QFile::remove(m_basePath);
        // No base is larger than a delta's window (the release tool makes no delta then).
        constexpr qint64 kLargestBase = qint64(1) << kDeltaDefaultWindowLogLimit;
        Sha256Hex baseHash;
        QByteArray piece(kPiece, Qt::Uninitialized);
        qint64 size = 0;
        for (;;) {
            const qint64 n = installed.read(piece.data(), piece.size());
            if (n < 0)
                return invalid(QStringLiteral("cannot read the base %1: %2").arg(path, installed.errorString()));
            if (n == 0)
                break;
            size += n;
            if (size > kLargestBase)
                return invalid(QStringLiteral("the base %1 changed since the check").arg(path));
            if (!baseHash.add(piece.constData(), n))
                return invalid(QStringLiteral("cannot hash the base"));
            if (m_base.write(piece.constData(), n) != n)
                return writeFailure(m_basePath, systemError());
        }
        if (baseHash.finish() != m_job.baseSha256)
            return invalid(QStringLiteral("the base %1 changed since the check").arg(path));
        if (!m_base.flush())
            return writeFailure(m_basePath, systemError());
        const uchar *bytes = size > 0 ? m_base.map(0, size) : nullptr;
        if (size > 0 && !bytes)
            return writeFailure(m_basePath, QStringLiteral("cannot map: ") + m_base.errorString());
        m_decoder = std::make_unique<DeltaDecoder>(
            QByteArrayView(reinterpret_cast<const char *>(bytes), size), file.size);
        return {};
#else
        return invalid(QStringLiteral("this build applies no deltas"));
#endif
    }

    // Why the delta's output is not whole, empty when it is (or the job is no delta's).
    QString deltaProblem() const
    {
#ifdef VELLUMIX_CLIENT_DELTAS
        if (m_decoder) {
            if (const DeltaStatus status = m_decoder->finish(); !status.ok())
                return QStringLiteral("the delta does not apply: %1 (%2)")
                    .arg(deltaErrorName(status.error), status.detail);
        }
#endif
        return QString();
    }

    // Applies packed bytes of a delta: the content comes out bounded by the file's size.
    UpdateFailure applyDelta(const char *data, qint64 size)
    {
#ifdef VELLUMIX_CLIENT_DELTAS
        bool written = true;
        const DeltaStatus status =
            m_decoder->feed(QByteArrayView(data, size), [&](QByteArrayView out) {
                written = m_contentHash.add(out.data(), out.size())
                    && m_out.write(out.data(), out.size()) == out.size();
                m_unpackedBytes += out.size();
                return written;
            });
        m_peakMemory = qMax(m_peakMemory, m_decoder->memoryUsage());
        if (!written)
            return writeFailure(m_outPath, systemError());
        if (!status.ok())
            return invalid(QStringLiteral("the delta does not apply: %1 (%2)")
                               .arg(deltaErrorName(status.error), status.detail));
        return {};
#else
        Q_UNUSED(data);
        Q_UNUSED(size);
        return invalid(QStringLiteral("this build applies no deltas"));
#endif
    }

    // Hashes and unpacks packed bytes that are already in the .part file.
    UpdateFailure take(const char *data, qint64 size)
    {
        m_packedBytes += size;
        if (!m_packedHash.add(data, size))
            return invalid(QStringLiteral("cannot hash"));
        if (m_job.isDelta())
            return applyDelta(data, size);
        if (m_ended)
            return invalid(QStringLiteral("bytes after the end of the gzip stream"));
        m_zlib.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        m_zlib.avail_in = uInt(size);
        char out[64 * 1024];
        while (m_zlib.avail_in > 0 && !m_ended) {
            m_zlib.next_out = reinterpret_cast<Bytef *>(out);
            m_zlib.avail_out = sizeof out;
            const int result = inflate(&m_zlib, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
                return invalid(QStringLiteral("not a valid gzip stream"));
            const qint64 produced = qint64(sizeof out) - m_zlib.avail_out;
            if (m_unpackedBytes + produced > m_job.files.first().size)
                return invalid(QStringLiteral("unpacks to more than its %1 bytes")
                                   .arg(m_job.files.first().size));
            m_unpackedBytes += produced;
            if (produced > 0
                && (!m_contentHash.add(out, produced) || m_out.write(out, produced) != produced))
                return writeFailure(m_outPath, systemError());
            if (result == Z_STREAM_END)
                m_ended = true;
            else if (result == Z_BUF_ERROR && produced == 0)
                break;
        }
        if (m_ended && m_zlib.avail_in > 0)
            return invalid(QStringLiteral("bytes after the end of the gzip stream"));
        return {};
    }

    BlobJob m_job;
    QString m_partPath;
    QString m_outPath;
    QString m_basePath;
    QString m_programRoot;
    bool m_usesPart;
    QFile m_part;
    QByteArray m_held; // the packed bytes of a small blob, without a .part file
    QFile m_out;
    QFile m_base; // a delta's copy of its base, mapped; it outlives the decoder that reads it
#ifdef VELLUMIX_CLIENT_DELTAS
    std::unique_ptr<DeltaDecoder> m_decoder;
#endif
    qint64 m_peakMemory = 0;
    z_stream m_zlib{};
    bool m_inflating = false;
    bool m_ended = false;
    qint64 m_packedBytes = 0;
    qint64 m_unpackedBytes = 0;
    qint64 m_writeBackFrom = 0; // of the .out file, where the write-back not yet started begins
    Sha256Hex m_packedHash;
    Sha256Hex m_contentHash;
    UpdateFailure m_broken;
};

BlobPipeline::BlobPipeline(BlobJob job, QString partPath, QString outPath, QString basePath,
                           QString programRoot, bool hasPart)
    : d(std::make_unique<Work>(std::move(job), std::move(partPath), std::move(outPath),
                               std::move(basePath), std::move(programRoot), hasPart))
{
}

BlobPipeline::~BlobPipeline() = default;

const BlobJob &BlobPipeline::job() const
{
    return d->job();
}

UpdateFailure BlobPipeline::open(bool restart)
{
    return d->open(restart);
}

UpdateFailure BlobPipeline::append(const char *data, qint64 size)
{
    return d->append(data, size);
}

UpdateFailure BlobPipeline::keepForResume()
{
    return d->keepForResume();
}

bool BlobPipeline::usesPartFile() const
{
    return d->usesPartFile();
}

BlobPipeline::Check BlobPipeline::verify(QString *why)
{
    return d->verify(why);
}

qint64 BlobPipeline::peakDecoderMemory() const
{
    return d->peakDecoderMemory();
}

} // namespace vellumix
