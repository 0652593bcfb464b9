// The staging directory as the client fills it: what a download finds there (prepare), where
// one blob's files lie (the work on them is BlobPipeline's, driven by a StageSink), and the
// manifest last. Runs on the download's lanes; prepare and finish on the first.
//
//   STAGE/.vellumix-stage          marks a folder that the client made (others are never emptied)
//   STAGE/.download/<packed>.part  the packed bytes of a file (or of its delta) received so far
//                                  (resumed later): a large blob's and a delta's as they come,
//                                  a small blob's only once a try of it was cut short
//   STAGE/.download/<packed>.out   what they unpack to, remade on every try
//   STAGE/.download/<packed>.base  a delta's copy of the installed file it applies to, for as
//                                  long as the try runs (on Linux without a name once open)
//   STAGE/files/<path>             only files that were complete and verified when they came here
//   STAGE/manifest.json            the verified envelope, written last: the stage is then complete
#pragma once

#include "lockpolicy.h"
#include "manifest.h"
#include "releasecheck.h"

#include <vellumix/updatefailure.h>

#include <QFile>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>

namespace vellumix {

// One packed blob to fetch and the files that unpack from it (more than one when the release
// holds the same content at several paths). The blob is either the files' own packed blob or a
// delta that turns the installed copy of the first file (whose content is `baseSha256`) into
// their content.
struct BlobJob
{
    QByteArray packedSha256; // what travels: the files' packed blob, or the delta
    qint64 packedSize = 0;
    QList<ManifestFile> files;
    qint64 heldBytes = 0; // packed bytes already in the .part file
    QByteArray baseSha256; // a delta's job: the content of the installed copy it applies to

    bool isDelta() const { return !baseSha256.isEmpty(); }
    // The same files from their own packed blob, from nothing.
    BlobJob wholeBlob() const
    {
        BlobJob job;
        job.packedSha256 = files.first().packedSha256;
        job.packedSize = files.first().packedSize;
        job.files = files;
        return job;
    }
};

struct StagePlan
{
    UpdateFailure failure;
    QList<BlobJob> jobs;
    int filesAlreadyStaged = 0;
    qint64 bytesAlreadyStaged = 0; // packed bytes of those files
};

class StageArea
{
public:
    // `programRoot` is the installation the stage is for: staged files take the permissions of
    // the installed files they replace.
    StageArea(QString stagingDirectory, QString programRoot, const std::atomic<bool> *cancelled);
    ~StageArea();

    // Makes the stage ready for `files` (the files to fetch): drops the old manifest, keeps the
    // verified files, removes everything else, and lists the blobs still to fetch. A job whose
    // first file has a delta in `deltas` (by path) fetches the delta.
    StagePlan prepare(const QList<ManifestFile> &files,
                      const QHash<QString, ReleaseDelta> &deltas = {});

    // The files of one blob's try (see BlobPipeline): the packed bytes received so far, what
    // they unpack to, and a delta's copy of its base.
    QString partPath(const QByteArray &packedSha256) const;
    QString outPath(const QByteArray &packedSha256) const;
    QString basePath(const QByteArray &packedSha256) const;
    const QString &programRoot() const { return m_programRoot; }
    // Removes the files of a try whose bytes failed a check (`failure` DownloadInvalid).
    void dropIfInvalid(const QByteArray &packedSha256, const UpdateFailure &failure) const;
    // Moves a verified blob's .out file to its place under files/ (and copies it to the other
    // paths of the same content).
    UpdateFailure placeFiles(const BlobJob &job) const;

    // Puts the verified envelope in place once every file is staged: the stage is complete.
    // `voucher`: for a fallback release, the envelope of the channel's current release that
    // vouches for it, kept beside it (voucherPath); empty for any other release.
    UpdateFailure finish(const QByteArray &envelope, const QByteArray &voucher = QByteArray());
    // Where a stage keeps the envelope that vouches for its fallback release.
    static QString voucherPath(const QString &stagingDirectory);

    // Removes a stage whose release needs it no more (installed, or no longer offered): only a
    // folder the client made and the user owns, and only while no download holds it. True when
    // it is gone (or was never there).
    static bool removeStage(const QString &stagingDirectory);

    // The end of the download: another may fill the stage from now on.
    void releaseLock();

private:
    // The steps of prepare.
    UpdateFailure makeStageFolders() const;
    UpdateFailure lockStage();
    UpdateFailure keepVerifiedFiles(const QHash<QString, const ManifestFile *> &wanted,
                                    QSet<QString> &staged) const;
    UpdateFailure dropLeftoverDownloads(const QSet<QByteArray> &wantedParts) const;
    void planJobs(const QList<ManifestFile> &files, const QHash<QString, ReleaseDelta> &deltas,
                  const QSet<QString> &staged, const QSet<QByteArray> &wantedBlobs,
                  StagePlan &plan) const;
    qint64 heldBytesOf(const QByteArray &packedSha256, qint64 packedSize) const;

    void setInstalledPermissions(const QString &staged, const QString &path) const;
    bool makeFolderOf(const QString &target) const;

    QString m_stage;
    QString m_programRoot;
    const std::atomic<bool> *m_cancelled;
    std::unique_ptr<PolicyLock> m_lock; // held from prepare() for as long as the download runs
    // The folders below files/ made (or found) in this download; the lanes place files at once.
    mutable QMutex m_foldersMutex;
    mutable QSet<QString> m_folders;
};

} // namespace vellumix
