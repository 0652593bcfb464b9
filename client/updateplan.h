// What a check found, as the client itself keeps it: the verified manifest and the files of it to
// fetch. UpdateInfo shows the application its figures; a download works from the plan itself.
#pragma once

#include "manifest.h"
#include "releasecheck.h"

#include <vellumix/updatefailure.h>
#include <vellumix/updateoutcome.h>

#include <QHash>
#include <QList>

#include <optional>

namespace vellumix {

class UpdatePlan
{
public:
    UpdateManifest manifest;          // verified; its envelope is staged last
    qint32 installedSequence = 0;
    bool available = false;           // newer than what is installed, not failed here
    UpdateOutcome failedHere;         // valid when it is newer but failed here before
    QList<ManifestFile> filesToFetch; // the files whose installed copy differs
    // Of those, the files whose installed copy is the base of one of the release's deltas, with
    // that delta (empty when the client is built without deltas).
    QHash<QString, ReleaseDelta> deltas;
    int filesAsDeltas = 0;            // files whose job fetches a delta rather than the blob
    qint64 fetchPackedBytes = 0;      // what travels (a blob shared by several files once)
    qint64 fetchUnpackedBytes = 0;
    qint64 releaseBytes = 0;
    qint64 releasePackedBytes = 0;

    // The rollout of the channel's current release: its percentage (100 when it names none),
    // and whether it is offered to this installation (false: newer than the installed release,
    // but this installation is outside its rollout, or the rollout is halted).
    int rolloutPercent = 100;
    bool offeredHere = true;
    qint32 currentSequence = 0;       // the channel's current release
    // Not offered here, and it names a fallback newer than the installed release: the check
    // fetches that release's history file next.
    std::optional<protocol::FallbackRelease> pendingFallback;
    // The plan describes that fallback; the current release's envelope vouches for it, and is
    // staged beside it so that the stage can be checked again before the updater starts.
    bool isFallback = false;
    QByteArray voucherEnvelope;
    // The release described is marked critical (a security fix every installation takes).
    bool critical = false;
};

// How a download ended, as the session reports it to the client.
struct DownloadReport
{
    UpdateFailure failure;
    qint64 bytesTransferred = 0;
    int filesFetched = 0;
    int filesFromDeltas = 0; // of those, the files that came as deltas
    int filesAlreadyStaged = 0;
};

} // namespace vellumix
