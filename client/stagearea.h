// The staging directory as the client fills it, and the work on its files: everything here runs
// on the client's worker thread, one call after another in the order they were posted.
//
//   STAGE/.vellumix-stage          marks a folder that the client made (others are never emptied)
//   STAGE/.download/<packed>.part  the packed bytes of a file (or of its delta) received so far
//                                  (resumed later)
//   STAGE/.download/<packed>.out   what they unpack to, remade on every try
//   STAGE/.download/<packed>.base  a delta's copy of the installed file it applies to, for as
//                                  long as the try runs (on Linux without a name once open)
//   STAGE/files/<path>             only files that were complete and verified when they came here
//   STAGE/manifest.json            the verified envelope, written last: the stage is then complete
#pragma once

#include "manifest.h"
#include "releasecheck.h"

#include <vellumix/updatefailure.h>

#include <QFile>
#include <QHash>
#include <QList>
#include <QLockFile>
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

// What became of a blob once its last byte arrived.
enum class BlobVerdict { Staged, Mismatch, Failed };

class BlobPipeline;

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

    // A try at one blob: replays what the .part file holds through the checks, then takes the
    // bytes as they arrive. `restart` empties the .part file first.
    UpdateFailure begin(const BlobJob &job, bool restart);
    UpdateFailure append(const QByteArray &packedSha256, const char *data, qint64 size);
    // Ends the try: on Staged the files are under files/ and the .part file is gone; on Mismatch
    // the .part file is gone too, so the next try starts from nothing.
    BlobVerdict complete(const QByteArray &packedSha256, UpdateFailure *failure);
    // Closes the files of a try that stops (cancel, a failed transfer); the .part file stays.
    void suspend(const QByteArray &packedSha256);
    // Ends a try whose bytes failed a check: its files are closed and removed.
    void discard(const QByteArray &packedSha256);
    // Reads a blob of a local feed (a folder or a mounted share) from where the .part file ends.
    UpdateFailure copyFromLocalFeed(const QByteArray &packedSha256, const QString &source);

    // Puts the verified envelope in place once every file is staged: the stage is complete.
    UpdateFailure finish(const QByteArray &envelope);

    // Removes a stage whose release needs it no more (installed, or no longer offered): only a
    // folder the client made and the user owns, and only while no download holds it. True when
    // it is gone (or was never there).
    static bool removeStage(const QString &stagingDirectory);

private:
    QString partPath(const QByteArray &packedSha256) const;
    QString outPath(const QByteArray &packedSha256) const;
    QString basePath(const QByteArray &packedSha256) const;
    void dropIfInvalid(const QByteArray &packedSha256, const UpdateFailure &failure) const;
    UpdateFailure placeFiles(const BlobJob &job);
    void setInstalledPermissions(const QString &staged, const QString &path) const;

    QString m_stage;
    QString m_programRoot;
    const std::atomic<bool> *m_cancelled;
    QHash<QByteArray, std::shared_ptr<BlobPipeline>> m_open;
    std::unique_ptr<QLockFile> m_lock; // held from prepare() for as long as the download runs
};

} // namespace vellumix
