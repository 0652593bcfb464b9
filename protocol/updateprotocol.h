// What the updater, the release tool and the update client must agree on, in one place: the
// layout of a feed and of a staging directory, the channel-name rule, the names in the program
// root's work directory, the journal's states and the option that starts a probed new version.
// Each rule is spelled here once; the three programs include this header and never re-spell it.
#pragma once

#include <QString>
#include <QStringView>

namespace vellumix::protocol {

// --- A feed: a folder of plain files on any web host -------------------------------------------
//   <channel>/manifest.json               the channel's current release (the signed envelope)
//   <channel>/releases/<sequence>.json    every release the channel has had, never rewritten
//   blobs/<packedSha256>                  one packed file or delta, named by its digest
inline const QString kFeedBlobsFolder = QStringLiteral("blobs");
inline const QString kFeedReleasesFolder = QStringLiteral("releases");
inline const QString kManifestFileName = QStringLiteral("manifest.json");
inline const QString kDefaultChannel = QStringLiteral("stable");

// "<channel>/manifest.json", relative to the feed.
QString feedManifestPath(const QString &channel);
// "<channel>/releases/<sequence>.json", relative to the feed.
QString feedReleasePath(const QString &channel, qint32 sequence);
// "blobs/<packedSha256>", relative to the feed.
QString feedBlobPath(const QString &packedSha256);

// A channel is 1 to 32 of a-z, 0-9 and "-", and never the name of the blobs folder beside it.
bool isValidChannelName(const QString &channel);
// The rule as a user reads it, for error messages.
inline const QString kChannelNameRule =
    QStringLiteral("1 to 32 characters of a-z, 0-9 and \"-\" (and not \"blobs\")");

// --- Payload members that the updater does not read ------------------------------------------
// The updater ignores members it does not know; the release tool and the client read these.
//   "channel"   the channel the release was signed for; a manifest served at another channel's
//               address is not this channel's release (absent in manifests of older tools)
//   "expires"   when the manifest stops being current, UTC, "2027-01-07T12:00:00Z"; absent: never
//   "deltas"    [{"path", "baseSha256", "packedSha256", "packedSize"}]: a blob that turns the
//               content with digest baseSha256 into the content of the file at "path" (the file
//               entry's "sha256" and "size"); packedSha256 and packedSize are those of the blob
inline const QString kPayloadChannelMember = QStringLiteral("channel");
inline const QString kPayloadExpiresMember = QStringLiteral("expires");
inline const QString kPayloadDeltasMember = QStringLiteral("deltas");
inline const QString kDeltaPathMember = QStringLiteral("path");
inline const QString kDeltaBaseSha256Member = QStringLiteral("baseSha256");
inline const QString kDeltaPackedSha256Member = QStringLiteral("packedSha256");
inline const QString kDeltaPackedSizeMember = QStringLiteral("packedSize");

// --- A staging directory, as the updater reads it -----------------------------------------------
//   manifest.json        the verified envelope; present only once every file is staged
//   files/<path>         each file of the update at its path
inline const QString kStageFilesFolder = QStringLiteral("files");

// --- The work directory in the program root --------------------------------------------------
inline const QString kWorkDirectoryName = QStringLiteral(".vellumix-update");
inline const QString kJournalFileName = QStringLiteral("transaction.json");
inline const QString kHealthFileName = QStringLiteral("health.json");
inline const QString kInstalledFileName = QStringLiteral("installed.json");
inline const QString kLockFileName = QStringLiteral("installer.lock");
inline const QString kBackupFolderName = QStringLiteral("backup");
// Left by an updater whose wait for the application ran out (or whose end it could not confirm)
// before it changed anything: {"stage": "<the staging directory>", "time": "<UTC ISO 8601>"}. The
// client reads it to tell that transient ending from a refusal of the release.
inline const QString kApplicationWaitFileName = QStringLiteral("application-wait.json");
// The application side's own record of the updates it handed to the updater: which release went
// to the updater, what became of it, the releases that failed here (never taken again by
// themselves). Only the client reads and writes it; the updater never looks at it.
inline const QString kUpdateHistoryFileName = QStringLiteral("update-history.json");
// Held while that record is changed.
inline const QString kUpdateHistoryLockName = QStringLiteral("update-history.lock");
// The staging directory that the client last prepared for this program root: one line, its
// absolute path with the system's separators. The stage lies in the per-user cache of the
// application's name, so the program's uninstaller, which knows only the program root, finds it
// here (and removes it only when it lies in the user's local application data and carries the
// stage's marker). Only the client writes it.
inline const QString kStageLocationFileName = QStringLiteral("stage-location.txt");

// --- The journal's "state" --------------------------------------------------------------------
namespace JournalState {
inline const QString installing = QStringLiteral("installing");
inline const QString starting = QStringLiteral("starting");
inline const QString healthy = QStringLiteral("healthy");
inline const QString rollbackNeeded = QStringLiteral("rollback-needed");
inline const QString rolledBack = QStringLiteral("rolledback");
} // namespace JournalState

// An update left in one of these states must be rolled back before the program is used:
// "installing", "starting" and "rollback-needed".
bool isUnfinishedJournalState(QStringView state);

// --- The probe: how the updater starts the new version ------------------------------------------
// The new version is started with this option followed by a one-time token; it confirms its start
// by writing the token and its version into the health file (healthrecord.h).
inline const QString kProbeOption = QStringLiteral("--vellumix-update-probe=");

} // namespace vellumix::protocol
