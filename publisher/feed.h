// The feed: the directory that a static web host serves to the applications.
//
//   FEED/blobs/<packedSha256>      one packed file, named by its digest, shared by every release
//   FEED/<channel>/manifest.json   the signed envelope of the channel's current release
//
// Publishing copies a stage's blobs first and replaces the channel's manifest last, so a client
// never sees a manifest whose blobs are missing. Pruning removes the blobs no channel names.
#pragma once

#include "manifest.h"
#include "updateprotocol.h"

#include <QStringList>

#include <optional>

namespace vellumix::publish {

struct PublishOptions
{
    QString stageDir;
    QString feedDir; // created when missing
    QString channel = protocol::kDefaultChannel;
    bool allowSameOrLower = false; // a deliberate rollback of the channel
    // Checks every manifest with this key instead of the one compiled in (as `verify --key`).
    std::optional<UpdateSigningKey> key;
};

struct PublishSummary
{
    UpdateManifest manifest;                 // the release now current on the channel
    std::optional<qint32> previousSequence;  // the channel's release before, when it had one
    bool previousUnreadable = false;         // it had a manifest that could not be read or verified
    int blobsCopied = 0;   // new in the feed
    int blobsReplaced = 0; // present with the wrong bytes, written again
    int blobsKept = 0;     // present and verified, left untouched
    qint64 bytesWritten = 0; // packed bytes of the copied and replaced blobs
    qint64 bytesKept = 0;
    QString manifestPath;
};

// Refuses (throws a QString, before anything in the feed changes) a stage that `verify` refuses,
// a bad channel name, a release whose sequence is not greater than the channel's current one
// (unless allowSameOrLower), and a stage whose packed/ lacks a blob the feed does not already hold
// verified. Holds the feed's lock (FEED/.feed.lock) throughout; another publish or prune running
// on the same feed makes it refuse.
PublishSummary publishStage(const PublishOptions &options);

struct PruneSummary
{
    QStringList channels;      // the channels whose manifests were read
    int blobsKept = 0;         // named by some channel
    qint64 bytesKept = 0;
    int blobsRemoved = 0;      // named by none
    qint64 bytesRemoved = 0;
    int leftoversRemoved = 0;  // temporary files of interrupted publishes
    QStringList missingBlobs;  // named by a channel but absent: the feed is damaged
    QStringList leftAlone;     // other names under blobs/ that prune does not know
};

// Removes the blobs no channel's manifest names. Every channel manifest is read and verified
// (with `key`, or the compiled-in one) before the first removal; one that cannot be, or a feed
// without any, stops it with nothing removed.
PruneSummary pruneFeed(const QString &feedDir,
                       const std::optional<UpdateSigningKey> &key = std::nullopt);

} // namespace vellumix::publish
