// The checks a release must pass on the application's side, beyond the updater's own: the same
// signature, schema and path rules (the updater's code), then the members the updater ignores and
// the client holds it to. A check of the feed and the start of the updater for a stage both run
// them, so a stage swapped for another release after its download is refused as the feed's
// manifest would have been.
#pragma once

#include "manifest.h"
#include "rollout.h"

#include <vellumix/updatefailure.h>

#include <QDateTime>

namespace vellumix {

// A delta the release offers: the blob `packedSha256` (of `packedSize` bytes) turns the file
// content whose SHA-256 is `baseSha256` into the content of the file at `path`.
struct ReleaseDelta
{
    QString path;
    QByteArray baseSha256;
    QByteArray packedSha256;
    qint64 packedSize = 0;
};

struct ReleaseCheck
{
    UpdateFailure failure;
    UpdateManifest manifest;
    QList<ReleaseDelta> deltas;
    protocol::RolloutMembers rollout;
};

/*
    Verifies `envelope` with the compiled-in key and the updater's rules, then:
    - "channel": the channel it was signed for must be `channel` (a release staged before the
      member existed names none and counts as "stable"'s);
    - "expires": when present, a UTC time in ISO 8601; past it (`now`) the release is refused
      (ManifestExpired), so a mirror cannot hold its clients on an old release for ever;
    - "deltas": kept in `deltas` when well-formed (a file of the release, two digests of 64
      lower-case hex digits, a size from 1 to the largest file size); any other entry is left out,
      since a delta can only save bytes and the whole blob is always there;
    - "rollout", "critical", "fallback", "reports": kept in `rollout`; a malformed one refuses the
      release (ManifestRejected), as the release tool never signs one.
*/
ReleaseCheck checkRelease(const QByteArray &envelope, const QString &channel,
                          const QDateTime &now = QDateTime::currentDateTimeUtc());

/*
    The channel's fallback release, from its history file `envelope`, vouched for by `current`:
    the channel's current release, checked by checkRelease and passed, which names the fallback's
    sequence and the SHA-256 of exactly these bytes. Past its own "expires" it is still accepted:
    the current release, which has not expired, vouches for it. Everything else is checked as
    checkRelease checks it, and the sequence must be the one named.
*/
ReleaseCheck checkFallbackRelease(const QByteArray &envelope, const ReleaseCheck &current,
                                  const QString &channel,
                                  const QDateTime &now = QDateTime::currentDateTimeUtc());

} // namespace vellumix
