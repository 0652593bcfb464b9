#include "stagearea.h"

#include "fileio.h"
#include "linkguard.h"
#include "osbridge.h"
#include "platform.h"
#include "stagefiles.h"
#include "updateprotocol.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLockFile>
#include <QLoggingCategory>
#include <QSet>

#include <zlib.h>

#ifdef VELLUMIX_CLIENT_DELTAS
#include "zstddelta.h"
#endif

#include <cerrno>
#include <cstring>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcStage, "vellumix.client.stage", QtWarningMsg)

namespace vellumix {

namespace {

const QString kMarker = QStringLiteral("/.vellumix-stage");
const QString kLock = QStringLiteral("/.vellumix-stage.lock");
const QString kDownloads = QStringLiteral("/.download");
const QString kFiles = u'/' + protocol::kStageFilesFolder;
const QString kManifest = u'/' + protocol::kManifestFileName;
constexpr qint64 kPiece = 256 * 1024;

UpdateFailure failed(UpdateFailureReason reason, const QString &detail)
{
    return {reason, detail};
}

// Runs a guard of the updater; its thrown text becomes the detail of an unsafe stage.
template<typename Guard>
UpdateFailure guarded(Guard guard)
{
    try {
        guard();
    } catch (const QString &text) {
        return failed(UpdateFailureReason::StagingUnsafe, text);
    }
    return {};
}

#ifdef VELLUMIX_CLIENT_DELTAS
/*
    Opens an installed file for reading as itself. The guard that looked at its path came a moment
    before, and what is found at the path now is what counts: a link put there since is not
    followed (O_NOFOLLOW), a pipe does not hold the open (O_NONBLOCK), and only a regular file is
    read. Unlike a stage file, nothing found here is removed: the program folder is not ours.
*/
bool openInstalledFile(QFile &file, const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("not a file");
        return false;
    }
    file.setFileName(path);
    if (file.open(QIODevice::ReadOnly))
        return true;
    *error = file.errorString();
    return false;
#else
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        *error = QStringLiteral("not a file");
        return false;
    }
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    *error = file.errorString();
    return false;
#endif
}
#endif

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
    One try at one blob. The packed bytes are appended to the .part file as they arrive and, in
    the same pass, hashed and unpacked into the .out file, whose content is hashed too; the
    unpacked size is held to the manifest's "size" byte by byte, so a member that unpacks to more
    (a decompression bomb) stops at the first byte too many. Nothing is kept in memory beyond one
    piece. A try that resumes replays the .part file through the same checks first, so a file is
    only ever judged on all of its bytes. A delta's bytes go the same way, but are applied to the
    installed copy (a private copy of it in the stage, see openBase) instead of unpacked: memory
    is then the decoder's window (at most 128 MiB, about the size of the file) and a small
    constant.
*/
class BlobPipeline
{
public:
    BlobPipeline(BlobJob job, QString partPath, QString outPath, QString basePath,
                 QString programRoot)
        : m_job(std::move(job)), m_partPath(std::move(partPath)), m_outPath(std::move(outPath)),
          m_basePath(std::move(basePath)), m_programRoot(std::move(programRoot))
    {
    }
    ~BlobPipeline()
    {
        if (m_inflating)
            inflateEnd(&m_zlib);
#ifdef VELLUMIX_CLIENT_DELTAS
        m_decoder.reset(); // it reads the mapped copy to its end
#endif
#ifdef Q_OS_WIN
        // The copy keeps its name while it is open here (see openBase); closed, it goes.
        if (m_base.isOpen()) {
            m_base.close();
            QFile::remove(m_basePath);
        }
#endif
    }

    const BlobJob &job() const { return m_job; }

    UpdateFailure open(bool restart)
    {
        QString why;
        if (!openStageFile(m_part, m_partPath,
                           QIODevice::ReadWrite | (restart ? QIODevice::Truncate : QIODevice::OpenMode{}), &why))
            return writeFailure(m_partPath, why);
        if (!openStageFile(m_out, m_outPath, QIODevice::WriteOnly | QIODevice::Truncate, &why))
            return writeFailure(m_outPath, why);
        if (m_job.isDelta()) {
            if (const UpdateFailure f = openBase(); !f.ok())
                return f;
        } else {
            if (inflateInit2(&m_zlib, 16 + MAX_WBITS) != Z_OK)
                return failed(UpdateFailureReason::StagingWriteFailed, QStringLiteral("zlib"));
            m_inflating = true;
        }
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
        if (m_part.write(data, size) != size)
            return writeFailure(m_partPath, systemError());
        return take(data, size);
    }

    // Passed when every check holds; the .out file is then complete and closed.
    enum class Check { Passed, WriteFailed, Invalid };
    Check verify(QString *why)
    {
        const ManifestFile &file = m_job.files.first();
        m_part.close();
        const bool written = m_out.flush();
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
        if (UpdateFailure f = guarded([&] { ensureSafePathBelow(m_programRoot, file.path); });
            !f.ok())
            return invalid(QStringLiteral("the base: %1").arg(f.detail));
        const QString path = QDir(m_programRoot).filePath(file.path);
        QFile installed;
        if (QString why; !openInstalledFile(installed, path, &why))
            return invalid(QStringLiteral("cannot read the base %1: %2").arg(path, why));
        if (QString why;
            !openStageFile(m_base, m_basePath, QIODevice::ReadWrite | QIODevice::Truncate, &why))
            return writeFailure(m_basePath, why);
#ifndef Q_OS_WIN
        QFile::remove(m_basePath);
#endif
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
    QFile m_part;
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
    Sha256Hex m_packedHash;
    Sha256Hex m_contentHash;
    UpdateFailure m_broken;
};

StageArea::StageArea(QString stagingDirectory, QString programRoot,
                     const std::atomic<bool> *cancelled)
    : m_stage(QDir::cleanPath(QFileInfo(stagingDirectory).absoluteFilePath())),
      m_programRoot(std::move(programRoot)),
      m_cancelled(cancelled)
{
}

StageArea::~StageArea() = default;

QString StageArea::partPath(const QByteArray &packedSha256) const
{
    return m_stage + kDownloads + u'/' + QString::fromLatin1(packedSha256) + QStringLiteral(".part");
}

QString StageArea::outPath(const QByteArray &packedSha256) const
{
    return m_stage + kDownloads + u'/' + QString::fromLatin1(packedSha256) + QStringLiteral(".out");
}

QString StageArea::basePath(const QByteArray &packedSha256) const
{
    return m_stage + kDownloads + u'/' + QString::fromLatin1(packedSha256) + QStringLiteral(".base");
}

StagePlan StageArea::prepare(const QList<ManifestFile> &files,
                             const QHash<QString, ReleaseDelta> &deltas)
{
    StagePlan plan;
    plan.failure = makeOrCheckStageDirectory(m_stage);
    if (!plan.failure.ok())
        return plan;
    /*
        The client empties what it finds in a stage, so it only ever works in a folder it made
        itself: a folder that holds anything without the marker is refused, so that a staging
        directory named by mistake (a home folder, the program folder) loses nothing.
    */
    const QDir stage(m_stage);
    if (stage.exists() && !QFileInfo::exists(m_stage + kMarker)
        && !stage.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        plan.failure = failed(UpdateFailureReason::StagingUnsafe,
                              QStringLiteral("%1 is not empty and was not made by the update "
                                             "client").arg(m_stage));
        return plan;
    }
    // The marker comes before anything inside the folder: a run killed in between must not leave
    // a folder that the next run refuses as not its own.
    QFile marker;
    QString why;
    if (!openStageFile(marker, m_stage + kMarker, QIODevice::WriteOnly, &why)) {
        plan.failure = failed(UpdateFailureReason::StagingWriteFailed,
                              QStringLiteral("cannot create %1%2: %3").arg(m_stage, kMarker, why));
        return plan;
    }
    marker.close();
    for (const QString &folder : {kFiles, kDownloads}) {
        if (plan.failure = makeStageSubdirectory(m_stage + folder); !plan.failure.ok())
            return plan;
    }
    /*
        One download at a time in a stage, for its whole length: two would remove each other's
        partial files and could mark the stage complete with a file missing. The lock is taken
        before anything in the stage changes; a second download is refused at once, and a lock
        left by a process that has died is taken over.
    */
    m_lock = std::make_unique<QLockFile>(m_stage + kLock);
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        m_lock.reset();
        plan.failure = failed(UpdateFailureReason::Busy,
                              QStringLiteral("another download into %1 is running").arg(m_stage));
        return plan;
    }
    // The stage stops counting as complete before any of its files changes.
    if (QFileInfo(m_stage + kManifest).exists() || QFileInfo(m_stage + kManifest).isSymLink()) {
        if (!QFile::remove(m_stage + kManifest)
            || !os::flushDirectoryEntries(osText(m_stage))) {
            plan.failure = failed(UpdateFailureReason::StagingWriteFailed,
                                  QStringLiteral("cannot remove %1%2").arg(m_stage, kManifest));
            return plan;
        }
    }

    QHash<QString, const ManifestFile *> wanted;
    QSet<QByteArray> wantedBlobs;
    for (const ManifestFile &file : files) {
        wanted.insert(file.path, &file);
        wantedBlobs.insert(file.packedSha256);
    }
    QSet<QByteArray> wantedParts = wantedBlobs;
    for (const ReleaseDelta &delta : deltas)
        wantedParts.insert(delta.packedSha256);
    // Files already staged: kept when complete and verified, removed otherwise. Links are removed
    // as links, never followed.
    QSet<QString> staged;
    const QDir filesDir(m_stage + kFiles);
    QDirIterator it(m_stage + kFiles, QDir::Files | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (m_cancelled->load()) {
            plan.failure = failed(UpdateFailureReason::Cancelled, QString());
            return plan;
        }
        const QFileInfo info(path);
        const QString relative = filesDir.relativeFilePath(path);
        const ManifestFile *file = wanted.value(relative);
        if (file && isPlainStageFile(path) && info.size() == file->size
            && fileSha256Hex(path) == file->sha256) {
            staged.insert(relative);
            continue;
        }
        if (!QFile::remove(path)) {
            plan.failure = failed(UpdateFailureReason::StagingWriteFailed,
                                  QStringLiteral("cannot remove %1").arg(path));
            return plan;
        }
    }
    // Partial blobs: kept for the blobs still wanted, everything else goes.
    QDir downloads(m_stage + kDownloads);
    const QStringList leftovers = downloads.entryList(QDir::AllEntries | QDir::System
                                                      | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : leftovers) {
        const QString path = downloads.filePath(name);
        const bool wantedPart = name.endsWith(QStringLiteral(".part"))
            && wantedParts.contains(name.chopped(5).toLatin1()) && isPlainStageFile(path);
        if (wantedPart)
            continue;
        const bool removed = QFileInfo(path).isDir() && !QFileInfo(path).isSymLink()
            ? QDir(path).removeRecursively()
            : downloads.remove(name);
        if (!removed) {
            plan.failure = failed(UpdateFailureReason::StagingWriteFailed,
                                  QStringLiteral("cannot remove %1").arg(downloads.filePath(name)));
            return plan;
        }
    }

    const auto heldBytesOf = [this](const QByteArray &packedSha256, qint64 packedSize) {
        const QFileInfo part(partPath(packedSha256));
        return isPlainStageFile(part.filePath()) && part.size() <= packedSize ? part.size() : 0;
    };
    QSet<QByteArray> deltaBlobs;
    QHash<QByteArray, qsizetype> jobIndex;
    QSet<QByteArray> stagedBlobs; // a blob shared by several staged files counts once
    for (const ManifestFile &file : files) {
        if (staged.contains(file.path)) {
            ++plan.filesAlreadyStaged;
            if (!stagedBlobs.contains(file.packedSha256)) {
                stagedBlobs.insert(file.packedSha256);
                plan.bytesAlreadyStaged += file.packedSize;
            }
            continue;
        }
        const qsizetype index = jobIndex.value(file.packedSha256, -1);
        if (index >= 0) {
            plan.jobs[index].files.append(file);
            continue;
        }
        BlobJob job;
        job.packedSha256 = file.packedSha256;
        job.packedSize = file.packedSize;
        job.files = {file};
        /*
            The delta of the job's first file, unless part of the whole blob is held already (an
            earlier try fell back to it) or its blob is named by another job too: each job has a
            .part file of its own.
        */
        const auto delta = deltas.constFind(file.path);
        if (delta != deltas.constEnd() && heldBytesOf(file.packedSha256, file.packedSize) == 0
            && !wantedBlobs.contains(delta->packedSha256) && !deltaBlobs.contains(delta->packedSha256)) {
            deltaBlobs.insert(delta->packedSha256);
            job.packedSha256 = delta->packedSha256;
            job.packedSize = delta->packedSize;
            job.baseSha256 = delta->baseSha256;
        }
        job.heldBytes = heldBytesOf(job.packedSha256, job.packedSize);
        jobIndex.insert(file.packedSha256, plan.jobs.size());
        plan.jobs.append(job);
    }
    return plan;
}

UpdateFailure StageArea::begin(const BlobJob &job, bool restart)
{
    auto pipeline = std::make_shared<BlobPipeline>(job, partPath(job.packedSha256),
                                                   outPath(job.packedSha256),
                                                   basePath(job.packedSha256), m_programRoot);
    m_open.insert(job.packedSha256, pipeline);
    const UpdateFailure result = pipeline->open(restart);
    if (!result.ok()) {
        m_open.remove(job.packedSha256);
        pipeline.reset();
        dropIfInvalid(job.packedSha256, result);
    }
    return result;
}

UpdateFailure StageArea::append(const QByteArray &packedSha256, const char *data, qint64 size)
{
    auto pipeline = m_open.value(packedSha256);
    if (!pipeline)
        return {}; // the try was stopped; its late bytes are dropped
    const UpdateFailure result = pipeline->append(data, size);
    if (!result.ok()) {
        m_open.remove(packedSha256);
        pipeline.reset();
        dropIfInvalid(packedSha256, result);
    }
    return result;
}

/*
    Bytes that failed a check are not kept for a later try: a .part file is replayed through the
    same checks before a try resumes, so one that holds them would fail every later download of
    the update in the same way, even once the server serves the right bytes. The next try of the
    blob starts from nothing. (The files are closed by now, so they can be removed on Windows.)
*/
void StageArea::dropIfInvalid(const QByteArray &packedSha256, const UpdateFailure &failure) const
{
    if (failure.reason != UpdateFailureReason::DownloadInvalid)
        return;
    QFile::remove(partPath(packedSha256));
    QFile::remove(outPath(packedSha256));
}

void StageArea::suspend(const QByteArray &packedSha256)
{
    m_open.remove(packedSha256);
}

void StageArea::discard(const QByteArray &packedSha256)
{
    m_open.remove(packedSha256);
    dropIfInvalid(packedSha256, {UpdateFailureReason::DownloadInvalid, QString()});
}

BlobVerdict StageArea::complete(const QByteArray &packedSha256, UpdateFailure *failure)
{
    const auto pipeline = m_open.take(packedSha256);
    if (!pipeline) {
        *failure = failed(UpdateFailureReason::StagingWriteFailed, QStringLiteral("no open try"));
        return BlobVerdict::Failed;
    }
    QString why;
    if (const BlobPipeline::Check check = pipeline->verify(&why); check != BlobPipeline::Check::Passed) {
        QFile::remove(outPath(packedSha256));
        if (check == BlobPipeline::Check::WriteFailed) {
            *failure = failed(UpdateFailureReason::StagingWriteFailed, why);
            return BlobVerdict::Failed;
        }
        QFile::remove(partPath(packedSha256));
        *failure = failed(UpdateFailureReason::DownloadInvalid,
                          QStringLiteral("blob %1 (%2): %3")
                              .arg(QString::fromLatin1(packedSha256),
                                   pipeline->job().files.first().path, why));
        return BlobVerdict::Mismatch;
    }
    if (pipeline->job().isDelta())
        qCDebug(lcStage) << "delta of" << pipeline->job().files.first().path << "applied; decoder"
                         << pipeline->peakDecoderMemory() << "bytes at most";
    *failure = placeFiles(pipeline->job());
    if (!failure->ok())
        return BlobVerdict::Failed;
    QFile::remove(partPath(packedSha256));
    return BlobVerdict::Staged;
}

/*
    No file mode travels in the manifest, and the updater installs a staged file with the staged
    copy's own permissions. Where permissions mean more than a read-only flag, a staged file
    therefore takes those of the installed file it replaces, and the two programs are always
    executable, so that an update never leaves a program that cannot start.
*/
void StageArea::setInstalledPermissions(const QString &staged, const QString &path) const
{
#ifdef Q_OS_WIN
    Q_UNUSED(staged);
    Q_UNUSED(path);
#else
    const QFileInfo installed(QDir(m_programRoot).filePath(path));
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (installed.isFile() && !installed.isSymLink())
        permissions = installed.permissions() | QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (path == QLatin1String(kMainProgramPath) || path == QLatin1String(kUpdaterProgramPath))
        permissions |= QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QFile::setPermissions(staged, permissions);
#endif
}

// Moves the verified .out file to its place under files/ (and copies it to the other paths of
// the same content, each copy checked before it is renamed into place).
UpdateFailure StageArea::placeFiles(const BlobJob &job)
{
    const QString filesDir = m_stage + kFiles;
    const QString out = outPath(job.packedSha256);
    QString first;
    for (const ManifestFile &file : job.files) {
        if (UpdateFailure f = guarded([&] { ensureSafePathBelow(filesDir, file.path); }); !f.ok())
            return f;
        const QString target = filesDir + u'/' + file.path;
        if (file.sha256 != job.files.first().sha256 || file.size != job.files.first().size)
            return failed(UpdateFailureReason::DownloadInvalid,
                          QStringLiteral("%1 and %2 share a packed file but not their content")
                              .arg(job.files.first().path, file.path));
        if (!QDir().mkpath(QFileInfo(target).absolutePath()))
            return failed(UpdateFailureReason::StagingWriteFailed,
                          QStringLiteral("cannot create the folder of %1").arg(target));
        if (!first.isEmpty()) {
            // Another path with the same content: a copy beside the first, checked, then moved.
            QFile::remove(out);
            if (!QFile::copy(first, out) || fileSha256Hex(out) != file.sha256)
                return failed(UpdateFailureReason::StagingWriteFailed,
                              QStringLiteral("cannot copy %1").arg(first));
        }
        setInstalledPermissions(out, file.path);
        QFile::remove(target);
        if (!os::moveNoReplace(osText(out), osText(target)))
            return failed(UpdateFailureReason::StagingWriteFailed,
                          QStringLiteral("cannot move %1 to %2").arg(out, target));
        if (first.isEmpty())
            first = target;
    }
    return {};
}

UpdateFailure StageArea::copyFromLocalFeed(const QByteArray &packedSha256, const QString &source)
{
    const auto pipeline = m_open.value(packedSha256);
    if (!pipeline)
        return {};
    const QFileInfo info(source);
    QFile file(source);
    // Only an ordinary file is read: a pipe or a device in a feed folder would block or never end.
    if (!info.exists())
        return failed(UpdateFailureReason::ServerRefused, QStringLiteral("%1 does not exist").arg(source));
    if (!info.isFile() || !file.open(QIODevice::ReadOnly) || !file.seek(pipeline->packedBytes()))
        return failed(UpdateFailureReason::FeedUnreachable, QStringLiteral("cannot read %1").arg(source));
    QByteArray piece(kPiece, Qt::Uninitialized);
    for (;;) {
        if (m_cancelled->load())
            return failed(UpdateFailureReason::Cancelled, QString());
        const qint64 n = file.read(piece.data(), piece.size());
        if (n < 0)
            return failed(UpdateFailureReason::FeedUnreachable,
                          QStringLiteral("cannot read %1: %2").arg(source, file.errorString()));
        if (n == 0)
            return {};
        if (UpdateFailure f = append(packedSha256, piece.constData(), n); !f.ok())
            return f;
    }
}

UpdateFailure StageArea::finish(const QByteArray &envelope)
{
    /*
        The manifest is what makes the stage complete for the updater and for the next download,
        so the staged files must be on stable storage before it is: one flush of the file system
        rather than one per file.
    */
    if (!os::flushFileSystem(osText(m_stage)))
        return failed(UpdateFailureReason::StagingWriteFailed,
                      QStringLiteral("cannot flush %1").arg(m_stage));
    if (const UpdateFailure unsafe = makeOrCheckStageDirectory(m_stage); !unsafe.ok())
        return unsafe;
    try {
        writeFileAtomic(m_stage + kManifest, envelope);
    } catch (const QString &text) {
        return failed(UpdateFailureReason::StagingWriteFailed, m_stage + kManifest + u' ' + text);
    }
    QDir(m_stage + kDownloads).removeRecursively();
    return {};
}

/*
    The path comes from the client's own record, yet it is treated as a guess: what is removed must
    be a stage this client made (its marker), owned by this user and written by nobody else, and
    no download may be filling it. Links inside are removed as links, never followed.
*/
bool StageArea::removeStage(const QString &stagingDirectory)
{
    if (stagingDirectory.isEmpty() || QFileInfo(stagingDirectory).isRelative())
        return false;
    const QFileInfo info(stagingDirectory);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (!makeOrCheckStageDirectory(stagingDirectory).ok()
        || !isPlainStageFile(stagingDirectory + kMarker))
        return false;
    {
        QLockFile lock(stagingDirectory + kLock);
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0))
            return false;
        const QDir stage(stagingDirectory);
        const QFileInfoList entries = stage.entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        for (const QFileInfo &entry : entries) {
            if (entry.fileName() == kLock.mid(1) || entry.fileName() == kMarker.mid(1))
                continue;
            const bool removed = entry.isDir() && !entry.isSymLink()
                ? QDir(entry.filePath()).removeRecursively()
                : QFile::remove(entry.filePath());
            if (!removed)
                return false;
        }
        // The marker goes last: a stage cut short here is still one the client may empty.
        if (!QFile::remove(stagingDirectory + kMarker))
            return false;
    }
    return QDir().rmdir(stagingDirectory);
}

} // namespace vellumix
