// Why an operation of the update client did not succeed: one reason, the user's text for it and a
// technical detail for logs.
#pragma once

#include <QMetaType>
#include <QString>

namespace vellumix {

enum class UpdateFailureReason {
    None,              // the operation succeeded
    Cancelled,         // the application cancelled it
    Busy,              // another operation of the same client is still running
    InvalidFeed,       // the feed address is neither an http(s) URL nor a local directory
    FeedUnreachable,   // no connection, a time-out or a cut connection, also after retries
    ServerRefused,     // the server answered 4xx (not found, forbidden, ...)
    ServerUnavailable, // the server answered 5xx or 429, also after retries
    SecureConnectionFailed, // TLS: certificate or handshake refused (never ignored)
    ManifestRejected,  // the feed's manifest is too large, badly signed, signed for another
                       // channel, or breaks a rule
    ManifestExpired,   // the release's "expires" time has passed (a stale mirror, a replay)
    DownloadInvalid,   // a file did not match its digest or size, or did not unpack
    StagingUnsafe,     // a link on the staging directory's path, or a folder that is no stage
    StagingWriteFailed,// the staging directory cannot be written (space, permissions)
    NotStaged,         // the staging directory holds no complete update to apply
    NotNewer,          // the staged release is not newer than the installed one
    WorkDirectoryFailed, // the work directory in the program root cannot be created
    UpdaterNotStarted, // the updater program could not be started
    FailedHere,        // the release failed on this computer before (rolled back, recovered or
                       // not installed); it is taken again only when a person asks for it
};

struct UpdateFailure
{
    UpdateFailureReason reason = UpdateFailureReason::None;
    QString detail; // for logs: the URL, HTTP status, path or the check that refused

    bool ok() const { return reason == UpdateFailureReason::None; }
    // The user's text for the reason: English, or translated by the application's installed
    // translators (see translation.h and vellumix::loadTranslation).
    QString userText() const;
    // A stable English name of the reason, for logs and scripts ("feed-unreachable", ...).
    QString reasonName() const;
};

} // namespace vellumix

Q_DECLARE_METATYPE(vellumix::UpdateFailure)
