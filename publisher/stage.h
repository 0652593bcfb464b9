// Building a staging directory from a release folder: files/, packed/ and the signed
// manifest.json.
#pragma once

#include "deltas.h"
#include "releaseinfo.h"
#include "updateprotocol.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace vellumix::publish {

struct StageOptions
{
    QString releaseDir;   // the program root of the new version, as it is to be installed
    QString version;      // the payload's "version"
    qint64 sequence = 0;  // the payload's "sequence"
    QString notes;        // the payload's "notes"
    QString keyPath;      // PEM private key that signs the manifest
    QString outDir;       // the stage to create; must not exist yet
    QString installedDir; // optional: an installed program root; only files that differ are staged
    QString channel = protocol::kDefaultChannel; // the payload's "channel"
    int expiresInDays = 0; // the payload's "expires" lies this many days ahead; 0: never expires
    // Optional: a feed; each changed file gets deltas against its contents in the channel's last
    // `deltaDepth` releases there, each made with a window of at most 2^deltaWindowLog bytes. It
    // must be a folder: one that holds nothing of the channel yet (its first release) gives no
    // deltas and no fallback; a path that does not exist is refused (a mistyped feed).
    QString deltaBaseFeed;
    int deltaDepth = kDefaultDeltaDepth;
    int deltaWindowLog = kMaxDeltaWindowLog;
    // The share of installations that take the release ("rollout"), 0 to 100; none: every one.
    std::optional<int> rolloutPercent;
    bool critical = false; // "critical": every installation takes it at any percentage above 0
    QString reportsUrl;    // "reports": an https URL for the installations' outcome reports
};

struct StageProgress
{
    int filesDone = 0;
    int filesTotal = 0;
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
};

struct StageSummary
{
    int filesInManifest = 0;
    int filesStaged = 0;
    qint64 totalSize = 0;     // sum of the content sizes of the manifest's files
    qint64 stagedBytes = 0;   // content bytes under files/
    qint64 manifestBytes = 0; // size of manifest.json
    QByteArray modulusHex;    // modulus of the signing key
    std::optional<QDateTime> expires;
    // With a delta base feed: the channel's release there that installations outside the rollout
    // are offered meanwhile.
    std::optional<FallbackRelease> fallback;

    // With a delta base feed:
    QList<qint32> deltaReleases;  // the earlier releases read, greatest sequence first
    int deltasMade = 0;           // in the manifest
    qint64 deltaBytes = 0;        // their blobs' bytes
    qint64 deltaWholeBytes = 0;   // the packed files they stand in for
    int deltasNotSmaller = 0;     // made, but not clearly smaller than the packed file
    int deltasOverWindow = 0;     // an old or new version larger than the window: none made
    int deltaBasesMissing = 0;    // an earlier content whose blob the feed no longer has
    int deltasDropped = 0;        // left out to keep the manifest within its bound
    bool deltaFeedMissing = false; // the feed holds nothing of the channel yet (a first release)
    qint64 deltaMilliseconds = 0; // the time spent on deltas (reading bases included)
};

// Checks the release against every rule the updater applies before writing anything, then
// builds the stage in a temporary sibling directory and renames it into place at the end: the
// stage exists complete or not at all (also when a termination signal stops it, once
// watchForTermination was called). Throws a QString naming the offending file on refusal.
// `progress` is called as files and bytes are done.
StageSummary stageRelease(const StageOptions &options,
                          const std::function<void(const StageProgress &)> &progress = {});

} // namespace vellumix::publish
