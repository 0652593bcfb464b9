#include <vellumix/updatefailure.h>
#include "clienttexts.h"

namespace vellumix {

namespace {

struct ReasonText
{
    const char *userText; // the English source text, or null
    const char *name;
};

ReasonText textOf(UpdateFailureReason reason)
{
    switch (reason) {
    case UpdateFailureReason::None: return {nullptr, "none"};
    case UpdateFailureReason::Cancelled: return {ClientMsg::cancelled, "cancelled"};
    case UpdateFailureReason::Busy: return {ClientMsg::busy, "busy"};
    case UpdateFailureReason::InvalidFeed: return {ClientMsg::invalidFeed, "invalid-feed"};
    case UpdateFailureReason::FeedUnreachable: return {ClientMsg::feedUnreachable, "feed-unreachable"};
    case UpdateFailureReason::ServerRefused: return {ClientMsg::serverRefused, "server-refused"};
    case UpdateFailureReason::ServerUnavailable:
        return {ClientMsg::serverUnavailable, "server-unavailable"};
    case UpdateFailureReason::SecureConnectionFailed:
        return {ClientMsg::secureConnectionFailed, "secure-connection-failed"};
    case UpdateFailureReason::ManifestRejected:
        return {ClientMsg::manifestRejected, "manifest-rejected"};
    case UpdateFailureReason::ManifestExpired:
        return {ClientMsg::manifestExpired, "manifest-expired"};
    case UpdateFailureReason::DownloadInvalid: return {ClientMsg::downloadInvalid, "download-invalid"};
    case UpdateFailureReason::StagingUnsafe: return {ClientMsg::stagingUnsafe, "staging-unsafe"};
    case UpdateFailureReason::StagingWriteFailed:
        return {ClientMsg::stagingWriteFailed, "staging-write-failed"};
    case UpdateFailureReason::NotStaged: return {ClientMsg::notStaged, "not-staged"};
    case UpdateFailureReason::NotNewer: return {ClientMsg::notNewer, "not-newer"};
    case UpdateFailureReason::WorkDirectoryFailed:
        return {ClientMsg::workDirectoryFailed, "work-directory-failed"};
    case UpdateFailureReason::UpdaterNotStarted:
        return {ClientMsg::updaterNotStarted, "updater-not-started"};
    case UpdateFailureReason::FailedHere: return {ClientMsg::failedHere, "failed-here"};
    }
    return {nullptr, "unknown"};
}

} // namespace

QString UpdateFailure::userText() const
{
    const char *source = textOf(reason).userText;
    return source ? ClientMsg::text(source) : QString();
}

QString UpdateFailure::reasonName() const
{
    return QString::fromLatin1(textOf(reason).name);
}

} // namespace vellumix
