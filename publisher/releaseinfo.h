// What the release tool reads of a signed release beyond the updater's rules: the channel it was
// signed for, when its manifest expires and the deltas of its files, and the releases a feed
// keeps under <channel>/releases/.
#pragma once

#include "manifest.h"
#include "rollout.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>

#include <optional>

namespace vellumix::publish {

// One delta of a release: a blob that turns the content `baseSha256` into the content of the file
// at `path` (whose digest and size are the file entry's).
struct DeltaEntry
{
    QString path;
    QByteArray baseSha256;
    QByteArray packedSha256; // the delta blob's digest and size
    qint64 packedSize = 0;

    friend bool operator==(const DeltaEntry &, const DeltaEntry &) = default;
};

using protocol::FallbackRelease;

// The signed members beside the manifest's own: the rollout's (protocol/rollout.h) and these.
struct ReleaseExtras : protocol::RolloutMembers
{
    QString channel;                  // empty when the payload names none (an older tool made it)
    std::optional<QDateTime> expires; // UTC; none: the manifest never expires
    QList<DeltaEntry> deltas;
    // UTC: when the rollout's current percentage was signed ("rollout": {"since"}); none: as
    // staged, so every report of the release belongs to it.
    std::optional<QDateTime> rolloutSince;
};

// Throws the release tool's text unless `url` is an https URL fit to receive outcome reports.
void checkReportsUrl(const QString &url);

// The days an expiry may lie ahead: 1 to 3,650 (ten years).
inline constexpr int kMaxExpiryDays = 3650;

// Throws the release tool's text unless `channel` is a valid channel name and `expiresInDays`
// lies in the expiry's range (0, no expiry, allowed only when `expiryOptional`).
void checkChannelAndExpiry(const QString &channel, int expiresInDays, bool expiryOptional);

// The verified payload of a manifest that loadUpdateManifest accepted: the bytes its signature
// covers are the ones in its envelope, so they are decoded again here without a key.
QByteArray payloadBytesOf(const UpdateManifest &manifest);

// The members above, from a manifest that loadUpdateManifest accepted. Throws a QString naming
// the member when one is malformed: a channel that breaks the channel rule, an expiry in another
// form than "2027-01-07T12:00:00Z", a delta for a file the release does not have, against the
// file's own content, listed twice, or with a malformed digest or size, a rollout percentage
// outside 0 to 100 or a time it was signed in another form than the expiry's, a fallback that is
// not an earlier sequence with a digest, a reports address that is not https.
ReleaseExtras readReleaseExtras(const UpdateManifest &manifest);

// A manifest without a channel was made by a tool that did not write one; it is taken as made
// for "stable" only, the default channel of every tool that published it. For any other channel
// it has to be staged again.
bool isSignedForChannel(const ReleaseExtras &extras, const QString &channel);

// "2027-01-07T12:00:00Z": whole seconds, UTC.
QString expiryText(const QDateTime &expires);
// `days` after `now`, in whole seconds.
QDateTime expiryAfterDays(int days, const QDateTime &now = QDateTime::currentDateTimeUtc());

// {"payload": base64, "signature": base64}, compact: the bytes of a manifest.json.
QByteArray envelopeOf(const QByteArray &payload, const QByteArray &signature);

// A release the feed holds: its file, its verified manifest and the members above.
struct FeedRelease
{
    QString file;
    UpdateManifest manifest;
    ReleaseExtras extras;
};

// The sequences of the files FEED/<channel>/releases/<sequence>.json, greatest first. Other names
// in that folder are not releases and are left out.
QList<qint32> releaseHistory(const QString &feedDir, const QString &channel);

// Reads a manifest file with the updater's bounded read and checks it with the updater's own code
// (against `key`, or the compiled-in key), then the members above. With `sequence`, the release
// must carry that sequence (a history file holds the release its name says). Throws a QString
// that names the file.
FeedRelease loadFeedRelease(const QString &file, const std::optional<UpdateSigningKey> &key,
                            std::optional<qint32> sequence = std::nullopt);

} // namespace vellumix::publish
