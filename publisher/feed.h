// The feed: the directory that a static web host serves to the applications.
//
//   FEED/blobs/<packedSha256>                  one packed file or delta, named by its digest,
//                                              shared by every release
//   FEED/<channel>/manifest.json               the signed envelope of the channel's current release
//   FEED/<channel>/releases/<sequence>.json    each manifest the channel published, never rewritten
//
// Publishing copies a stage's blobs first, then keeps the manifest in the channel's history, and
// replaces the channel's manifest last, so a client never sees a manifest whose blobs are
// missing. Pruning removes the blobs that neither a current manifest nor the last releases of a
// channel name. Refreshing re-signs a channel's current release with a new expiry.
#pragma once

#include "manifest.h"
#include "releaseinfo.h"
#include "updateprotocol.h"

#include <QDateTime>
#include <QStringList>

#include <optional>

namespace vellumix::publish {

struct PublishOptions
{
    QString stageDir;
    QString feedDir; // created when missing
    // The channel the stage was signed for, checked; empty: the stage's own channel (a stage that
    // names none is for "stable").
    QString channel;
    bool allowSameOrLower = false; // a deliberate rollback of the channel
    // Checks every manifest with this key instead of the one compiled in (as `verify --key`).
    std::optional<UpdateSigningKey> key;
};

struct PublishSummary
{
    QString channel;                         // the channel published into
    UpdateManifest manifest;                 // the release now current on the channel
    bool unchanged = false; // the channel offered this very release already, with all its blobs
    std::optional<qint32> previousSequence;  // the channel's release before, when it had one
    bool previousUnreadable = false;         // it had a manifest that could not be read or verified
    int blobsCopied = 0;   // new in the feed
    int blobsReplaced = 0; // present with the wrong bytes, written again
    int blobsKept = 0;     // present and verified, left untouched
    qint64 bytesWritten = 0; // packed bytes of the copied and replaced blobs
    qint64 bytesKept = 0;
    int deltaBlobs = 0;     // of the blobs above, the deltas the release lists
    int deltasChecked = 0;  // applied to their base from the feed before publishing
    int deltasUnchecked = 0; // their base is not in the feed
    QString historyPath;    // FEED/<channel>/releases/<sequence>.json
    bool historyWritten = false; // false: it held these very bytes already (a rollback)
    QString manifestPath;
    // Not empty: the release had been signed again while it was current, and the channel offers
    // it in that state (this kept file) rather than as staged.
    QString signedStatePath;
};

// Publishing the channel's current release again (the same manifest, byte for byte, or the same
// release signed again since by rollout or refresh) repairs any of its blobs that are missing or
// damaged and otherwise changes nothing: a retried job succeeds and a halt holds. A release signed
// again while it was current returns in its last signed state when it is published again later.
// Refuses (throws a QString, before anything in the feed changes) a stage that `verify` refuses
// (with the feed at hand, so each delta whose base the feed holds must give its file), a bad
// channel name, a stage signed for another channel (one that names none is taken as made for
// "stable"), another release under the channel's current sequence, a release whose sequence is
// lower than the channel's current one (unless allowSameOrLower), a release whose history file
// already holds other bytes, a last signed state whose expiry has passed, and a stage whose
// packed/ or deltas/ lacks a blob the feed does not already hold verified. Holds the feed's lock
// (FEED/.feed.lock) throughout; another publish or prune running on the same feed makes it refuse.
PublishSummary publishStage(const PublishOptions &options);

struct RefreshOptions
{
    QString feedDir;
    QString channel = protocol::kDefaultChannel;
    QString keyPath;       // the private update-signing key
    int expiresInDays = 0; // 1 to kMaxExpiryDays
};

struct RefreshSummary
{
    UpdateManifest manifest;                  // the channel's release as now signed
    std::optional<QDateTime> previousExpiry;  // none: it never expired
    QDateTime expires;
    QString manifestPath;
};

// Signs the channel's current release again with the expiry `expiresInDays` ahead: the same
// payload but for "expires" (and "channel", which it gains when an older tool left it out), so
// the same files and the same sequence. Replaces the channel's manifest as publish does, under
// the feed's lock; the release's history file stays as it was published. Refuses a channel
// without a manifest, one that does not verify with the key, and one signed for another channel.
RefreshSummary refreshChannel(const RefreshOptions &options);

struct RolloutOptions
{
    QString feedDir;
    QString channel = protocol::kDefaultChannel;
    QString keyPath; // the private update-signing key
    std::optional<int> percent = 100; // 0 halts the release; none: the percentage stays
    bool critical = false; // mark the release critical (a mark is never taken back)
    // When set, the release must be at this percentage still: a decision made on it is refused
    // once another run has changed it.
    std::optional<int> expectedPercent;
};

struct RolloutSummary
{
    UpdateManifest manifest; // the channel's release as now signed
    int previousPercent = 100;
    int percent = 100;
    bool previousCritical = false;
    bool critical = false;
    QString manifestPath;
    QString keptPath; // the new signed state beside the history; empty: the percentage was already so
    std::optional<QDateTime> since; // when the current percentage was signed: its step's start
};

// Signs the channel's current release again with another rollout percentage, or marks it critical,
// as refresh does with the expiry (the same checks, the same lock; everything else stays as
// signed). Each new signed state is also kept as FEED/<channel>/releases/<sequence>.signed-<n>.json,
// and refresh keeps its states the same way. The same percentage (and mark) again changes nothing.
RolloutSummary setRollout(const RolloutOptions &options);

// The rollout percentage of the channel's current manifest (100 when it names none), verified with
// `key` or the compiled-in key; its sequence into `sequence`. Throws a QString when it cannot be read.
int currentRolloutPercent(const QString &feedDir, const QString &channel,
                          const std::optional<UpdateSigningKey> &key, qint32 *sequence = nullptr);
// Release `sequence` of the channel's history as it was signed last (its last kept signed state,
// or its history file), verified as below; nothing when the history does not hold it.
std::optional<FeedRelease> lastStateOf(const QString &feedDir, const QString &channel,
                                       qint32 sequence, const std::optional<UpdateSigningKey> &key);
// The channel's current release, verified as above (its rollout state in `extras`).
FeedRelease currentFeedRelease(const QString &feedDir, const QString &channel,
                               const std::optional<UpdateSigningKey> &key);

inline constexpr int kDefaultPruneKeep = 3;

struct PruneSummary
{
    QStringList removed;       // the blobs removed (or, in a dry run, that would be)
    QStringList channels;      // the channels whose manifests were read
    int releasesKept = 0;      // history releases whose blobs were kept
    int blobsKept = 0;         // named by some channel
    qint64 bytesKept = 0;
    int blobsRemoved = 0;      // named by none
    qint64 bytesRemoved = 0;
    int leftoversRemoved = 0;  // temporary files of interrupted publishes
    QStringList missingBlobs;  // named by a channel but absent: the feed is damaged
    QStringList leftAlone;     // other names under blobs/ that prune does not know
};

// Removes the blobs (packed files and deltas) that neither a channel's current manifest nor the
// last `keep` releases of a channel's history name. Every manifest it reads is verified (with
// `key`, or the compiled-in one) before the first removal; one that cannot be, or a feed without
// any current manifest, stops it with nothing removed. History files stay, also the older ones.
// With `dryRun`, nothing is removed: the summary tells what would be.
PruneSummary pruneFeed(const QString &feedDir,
                       const std::optional<UpdateSigningKey> &key = std::nullopt,
                       int keep = kDefaultPruneKeep, bool dryRun = false);

} // namespace vellumix::publish
