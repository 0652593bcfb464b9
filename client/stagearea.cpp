#include "stagearea.h"

#include "fileio.h"
#include "linkguard.h"
#include "lockpolicy.h"
#include "osbridge.h"
#include "platform.h"
#include "stagefile.h"
#include "stagefiles.h"
#include "updateprotocol.h"
#include "workdirectory.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSet>

namespace vellumix {

namespace {

const QString kMarker = QStringLiteral("/.vellumix-stage");
const QString kLock = QStringLiteral("/.vellumix-stage.lock");

// Any program that links the client downloads into a stage: the lock's owner runs the program its
// lock file names.
LockPolicy stageLockPolicy()
{
    return {QString(), kLockSettleMs};
}

const QString kDownloads = QStringLiteral("/.download");
const QString kFiles = u'/' + protocol::kStageFilesFolder;
const QString kManifest = u'/' + protocol::kManifestFileName;

} // namespace

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
    if (plan.failure = makeStageFolders(); !plan.failure.ok())
        return plan;
    if (plan.failure = lockStage(); !plan.failure.ok())
        return plan;

    QHash<QString, const ManifestFile *> wanted;
    QSet<QByteArray> wantedBlobs;
    for (const ManifestFile &file : files) {
        wanted.insert(file.path, &file);
        wantedBlobs.insert(file.packedSha256);
    }
    QSet<QByteArray> wantedParts = wantedBlobs;
    for (const ReleaseDelta &delta : deltas)
        wantedParts.insert(delta.packedSha256);
    QSet<QString> staged;
    if (plan.failure = keepVerifiedFiles(wanted, staged); !plan.failure.ok())
        return plan;
    if (plan.failure = dropLeftoverDownloads(wantedParts); !plan.failure.ok())
        return plan;
    planJobs(files, deltas, staged, wantedBlobs, plan);
    return plan;
}

// The stage folder with its marker and the folders inside it, made or checked.
UpdateFailure StageArea::makeStageFolders() const
{
    if (UpdateFailure failure = makeOrCheckStageDirectory(m_stage); !failure.ok())
        return failure;
    /*
        The client empties what it finds in a stage, so it only ever works in a folder it made
        itself: a folder that holds anything without the marker is refused, so that a staging
        directory named by mistake (a home folder, the program folder) loses nothing.
    */
    const QDir stage(m_stage);
    if (stage.exists() && !QFileInfo::exists(m_stage + kMarker)
        && !stage.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        return failed(UpdateFailureReason::StagingUnsafe,
                      QStringLiteral("%1 is not empty and was not made by the update "
                                     "client").arg(m_stage));
    // The marker comes before anything inside the folder: a run killed in between must not leave
    // a folder that the next run refuses as not its own.
    QFile marker;
    QString why;
    if (!openStageFile(marker, m_stage + kMarker, QIODevice::WriteOnly, &why))
        return failed(UpdateFailureReason::StagingWriteFailed,
                      QStringLiteral("cannot create %1%2: %3").arg(m_stage, kMarker, why));
    marker.close();
    // The program's uninstaller knows the program root only; the note there tells it which
    // stage to remove (once the marker is in place, since it removes only a marked folder).
    if (!m_programRoot.isEmpty())
        WorkDirectory::ofProgramRoot(m_programRoot).noteStageLocation(m_stage);
    for (const QString &folder : {kFiles, kDownloads}) {
        if (UpdateFailure failure = makeStageSubdirectory(m_stage + folder); !failure.ok())
            return failure;
    }
    return {};
}

// The stage's lock, taken for the whole download, and the end of the stage's completeness.
UpdateFailure StageArea::lockStage()
{
    /*
        One download at a time in a stage, for its whole length: two would remove each other's
        partial files and could mark the stage complete with a file missing. The lock is taken
        before anything in the stage changes; a second download is refused at once. A lock left by
        a process that has died, also one that names no owner because it died while making it, is
        taken over under the one lock policy once it has settled.
    */
    m_lock = std::make_unique<PolicyLock>(m_stage + kLock);
    if (m_lock->take(stageLockPolicy()) != PolicyLock::Result::Taken) {
        m_lock.reset();
        return failed(UpdateFailureReason::Busy,
                      QStringLiteral("another download into %1 is running").arg(m_stage));
    }
    // The stage stops counting as complete before any of its files changes.
    if ((QFileInfo(m_stage + kManifest).exists() || QFileInfo(m_stage + kManifest).isSymLink())
        && (!QFile::remove(m_stage + kManifest) || !os::flushDirectoryEntries(osText(m_stage))))
        return failed(UpdateFailureReason::StagingWriteFailed,
                      QStringLiteral("cannot remove %1%2").arg(m_stage, kManifest));
    return {};
}

// Files already staged: kept when complete and verified (listed in `staged`, by path), removed
// otherwise. Links are removed as links, never followed.
UpdateFailure StageArea::keepVerifiedFiles(const QHash<QString, const ManifestFile *> &wanted,
                                           QSet<QString> &staged) const
{
    const QDir filesDir(m_stage + kFiles);
    QDirIterator it(m_stage + kFiles, QDir::Files | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (m_cancelled->load())
            return failed(UpdateFailureReason::Cancelled, QString());
        const QFileInfo info(path);
        const QString relative = filesDir.relativeFilePath(path);
        const ManifestFile *file = wanted.value(relative);
        if (file && isPlainStageFile(path) && info.size() == file->size
            && fileSha256Hex(path) == file->sha256) {
            staged.insert(relative);
            continue;
        }
        if (!QFile::remove(path))
            return failed(UpdateFailureReason::StagingWriteFailed,
                          QStringLiteral("cannot remove %1").arg(path));
    }
    return {};
}

// Partial blobs: kept for the blobs still wanted (`wantedParts`), everything else goes.
UpdateFailure StageArea::dropLeftoverDownloads(const QSet<QByteArray> &wantedParts) const
{
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
        if (!removed)
            return failed(UpdateFailureReason::StagingWriteFailed,
                          QStringLiteral("cannot remove %1").arg(downloads.filePath(name)));
    }
    return {};
}

// The packed bytes of a blob that its .part file holds already (none when it holds more than
// the blob).
qint64 StageArea::heldBytesOf(const QByteArray &packedSha256, qint64 packedSize) const
{
    const QFileInfo part(partPath(packedSha256));
    return isPlainStageFile(part.filePath()) && part.size() <= packedSize ? part.size() : 0;
}

// The jobs for the files not `staged`: one per packed blob, a delta's where one may serve. The
// files already staged are counted.
void StageArea::planJobs(const QList<ManifestFile> &files,
                         const QHash<QString, ReleaseDelta> &deltas, const QSet<QString> &staged,
                         const QSet<QByteArray> &wantedBlobs, StagePlan &plan) const
{
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

/*
    No file mode travels in the manifest, and the updater installs a staged file with the staged
    copy's own permissions. Where permissions mean more than a read-only flag, a staged file
    therefore takes those of the installed file it replaces, and the two programs are always
    executable, so that an update never leaves a program that cannot start.
*/
void StageArea::setInstalledPermissions(const QString &staged, const QString &path) const
{
    os::setStagedFileMode(osText(staged), osText(QDir(m_programRoot).filePath(path)),
                          path == QLatin1String(kMainProgramPath)
                              || path == QLatin1String(kUpdaterProgramPath));
}

// Makes the folder of a staged file, once per download: the stage's folders are the client's
// own, and a folder made or found once is not asked for again.
bool StageArea::makeFolderOf(const QString &target) const
{
    const QString folder = QFileInfo(target).absolutePath();
    {
        const QMutexLocker locker(&m_foldersMutex);
        if (m_folders.contains(folder))
            return true;
    }
    if (!QDir().mkpath(folder))
        return false;
    const QMutexLocker locker(&m_foldersMutex);
    m_folders.insert(folder);
    return true;
}

// Moves the verified .out file to its place under files/ (and copies it to the other paths of
// the same content, each copy checked before it is renamed into place).
UpdateFailure StageArea::placeFiles(const BlobJob &job) const
{
    const QString filesDir = m_stage + kFiles;
    const QString out = outPath(job.packedSha256);
    QString first;
    for (const ManifestFile &file : job.files) {
        if (UpdateFailure f = unsafeStage(ensureSafePathBelow(filesDir, file.path)); !f.ok())
            return f;
        const QString target = filesDir + u'/' + file.path;
        if (file.sha256 != job.files.first().sha256 || file.size != job.files.first().size)
            return failed(UpdateFailureReason::DownloadInvalid,
                          QStringLiteral("%1 and %2 share a packed file but not their content")
                              .arg(job.files.first().path, file.path));
        if (!makeFolderOf(target))
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
        // What stands at the target is no verified file of this release (prepare removed those
        // that are not): it goes, as itself, only when there is one.
        if (!os::moveNoReplace(osText(out), osText(target))
            && (!QFile::remove(target) || !os::moveNoReplace(osText(out), osText(target))))
            return failed(UpdateFailureReason::StagingWriteFailed,
                          QStringLiteral("cannot move %1 to %2").arg(out, target));
        if (first.isEmpty())
            first = target;
    }
    return {};
}

void StageArea::releaseLock()
{
    m_lock.reset();
}

QString StageArea::voucherPath(const QString &stagingDirectory)
{
    return stagingDirectory + QStringLiteral("/.vellumix-fallback-of.json");
}

UpdateFailure StageArea::finish(const QByteArray &envelope, const QByteArray &voucher)
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
    // The voucher goes first, and one from an earlier release of the stage goes: the manifest is
    // only ever read beside the voucher that belongs to it.
    const QString voucherFile = voucherPath(m_stage);
    if (!voucher.isEmpty()) {
        if (const CoreError written = writeFileAtomic(voucherFile, voucher); !written.ok())
            return failed(UpdateFailureReason::StagingWriteFailed,
                          voucherFile + u' ' + written.describe());
    } else if (QFileInfo(voucherFile).exists() || QFileInfo(voucherFile).isSymLink()) {
        if (!QFile::remove(voucherFile))
            return failed(UpdateFailureReason::StagingWriteFailed,
                          QStringLiteral("cannot remove %1").arg(voucherFile));
    }
    if (const CoreError written = writeFileAtomic(m_stage + kManifest, envelope); !written.ok())
        return failed(UpdateFailureReason::StagingWriteFailed,
                      m_stage + kManifest + u' ' + written.describe());
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
        PolicyLock lock(stagingDirectory + kLock);
        if (lock.take(stageLockPolicy()) != PolicyLock::Result::Taken)
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
