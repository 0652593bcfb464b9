#include "releasecheck.h"

#include "updateprotocol.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vellumix {

ReleaseCheck checkRelease(const QByteArray &envelope, const QString &channel, const QDateTime &now)
{
    ReleaseCheck result;
    QJsonObject payload;
    try {
        result.manifest = loadUpdateManifest(envelope);
        // Verified above: the payload's own members, which the updater ignores.
        payload = QJsonDocument::fromJson(openSignedEnvelope(envelope)).object();
    } catch (const QString &refusal) {
        result.failure = {UpdateFailureReason::ManifestRejected, refusal};
        return result;
    }
    // A release staged before channels were signed names none: it counts as the default
    // channel's, as the release tool takes it (re-signing it with "refresh" adds the member).
    const QJsonValue signedChannel = payload.value(QStringLiteral("channel"));
    const QString signedFor = signedChannel.isUndefined() ? protocol::kDefaultChannel
                                                          : signedChannel.toString();
    if (signedFor != channel) {
        result.failure = {UpdateFailureReason::ManifestRejected,
                          QStringLiteral("the release was signed for the channel \"%1\", not \"%2\"")
                              .arg(signedFor, channel)};
        return result;
    }
    const QJsonValue expires = payload.value(QStringLiteral("expires"));
    if (!expires.isUndefined()) {
        const QDateTime until = QDateTime::fromString(expires.toString(), Qt::ISODate);
        if (!expires.isString() || !until.isValid()) {
            result.failure = {UpdateFailureReason::ManifestRejected,
                              QStringLiteral("\"expires\" is no ISO 8601 time")};
        } else if (until <= now) {
            result.failure = {UpdateFailureReason::ManifestExpired,
                              QStringLiteral("the release expired at %1")
                                  .arg(until.toUTC().toString(Qt::ISODate))};
        }
    }
    return result;
}

} // namespace vellumix
