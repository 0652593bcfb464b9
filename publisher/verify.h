// Checking an existing stage the way the updater will: the manifest with the updater's own code,
// then every staged file against its digest and size.
#pragma once

#include "manifest.h"
#include "releaseinfo.h"

#include <QStringList>

#include <optional>

namespace vellumix::publish {

struct StageReport
{
    UpdateManifest manifest;
    qint64 totalSize = 0;
    int filesStaged = 0; // entries with a copy under files/
    int filesPacked = 0; // entries with a packed form under packed/
    ReleaseExtras extras; // the channel, expiry and deltas the payload names
    int deltasChecked = 0;   // applied to their base from the feed and found to give the file
    int deltasUnchecked = 0; // with a feed: the base is not in it (or this build has no deltas)
    QStringList problems; // staged files that do not match, or do not belong; empty when sound
};

// Throws the updater's own text when it would refuse the manifest: the bounded read, the
// envelope or the payload. With `key`, the signature is checked against that key instead of the
// one compiled in (and so are the feed's releases). Problems with the staged files and delta
// blobs, a malformed member the updater does not read and an expiry that has passed are listed
// in the report. With `feedDir`, each delta whose base content the channel's releases in that
// feed still hold is applied to it and must give the file's digest and size.
StageReport verifyStage(const QString &stageDir,
                        const std::optional<UpdateSigningKey> &key = std::nullopt,
                        const QString &feedDir = QString());

} // namespace vellumix::publish
