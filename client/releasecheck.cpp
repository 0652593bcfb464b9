#include "releasecheck.h"

#include "updateprotocol.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>

namespace vellumix {

namespace {

bool isDigest(const QByteArray &text)
{
    return text.size() == 64
        && std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

QList<ReleaseDelta> wellFormedDeltas(const QJsonValue &member, const UpdateManifest &manifest)
{
    QList<ReleaseDelta> deltas;
    QSet<QString> paths;
    for (const ManifestFile &file : manifest.files)
        paths.insert(file.path);
    for (const QJsonValue &value : member.toArray()) {
        const QJsonObject entry = value.toObject();
        const QJsonValue size = entry.value(QStringLiteral("packedSize"));
        ReleaseDelta delta{entry.value(QStringLiteral("path")).toString(),
                           entry.value(QStringLiteral("baseSha256")).toString().toLatin1(),
                           entry.value(QStringLiteral("packedSha256")).toString().toLatin1(),
                           size.isDouble() ? size.toInteger(-1) : -1};
        if (paths.contains(delta.path) && isDigest(delta.baseSha256)
            && isDigest(delta.packedSha256) && delta.packedSize >= 1
            && delta.packedSize <= kManifestMaxFileSize)
            deltas.append(delta);
    }
    return deltas;
}

} // namespace

ReleaseCheck checkRelease(const QByteArray &envelope, const QString &channel, const QDateTime &now)
{
    ReleaseCheck result;
    const CoreResult<UpdateManifest> manifest = loadUpdateManifest(envelope);
    if (!manifest.ok()) {
        result.failure = {UpdateFailureReason::ManifestRejected, manifest.error().describe()};
        return result;
    }
    result.manifest = *manifest;
    // Verified above: the payload's own members, which the updater ignores.
    const CoreResult<QByteArray> payloadBytes = openSignedEnvelope(envelope);
    const QJsonObject payload =
        QJsonDocument::fromJson(payloadBytes.ok() ? *payloadBytes : QByteArray()).object();
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
    result.deltas = wellFormedDeltas(payload.value(QStringLiteral("deltas")), result.manifest);
    try {
        result.rollout = protocol::readRolloutMembers(payload, result.manifest.sequence);
    } catch (const QString &problem) {
        result.failure = {UpdateFailureReason::ManifestRejected,
                          QStringLiteral("the release is signed, but %1").arg(problem)};
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

ReleaseCheck checkFallbackRelease(const QByteArray &envelope, const ReleaseCheck &current,
                                  const QString &channel, const QDateTime &now)
{
    ReleaseCheck result;
    const std::optional<protocol::FallbackRelease> &named = current.rollout.fallback;
    if (!current.failure.ok() || !named) {
        result.failure = {UpdateFailureReason::ManifestRejected,
                          QStringLiteral("no current release names a fallback")};
        return result;
    }
    if (QCryptographicHash::hash(envelope, QCryptographicHash::Sha256).toHex()
        != named->historySha256) {
        result.failure = {UpdateFailureReason::ManifestRejected,
                          QStringLiteral("the fallback release %1 is not the one that release %2 "
                                         "names (its SHA-256 differs)")
                              .arg(named->sequence)
                              .arg(current.manifest.sequence)};
        return result;
    }
    result = checkRelease(envelope, channel, now);
    if (result.failure.reason == UpdateFailureReason::ManifestExpired)
        result.failure = UpdateFailure();
    if (result.failure.ok() && result.manifest.sequence != named->sequence)
        result.failure = {UpdateFailureReason::ManifestRejected,
                          QStringLiteral("the fallback release has sequence %1, not %2")
                              .arg(result.manifest.sequence)
                              .arg(named->sequence)};
    return result;
}

} // namespace vellumix
