#include "releaseinfo.h"
#include "publishtexts.h"
#include "rollout.h"
#include "updateprotocol.h"

#include "fileio.h"
#include "numbertext.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <algorithm>

namespace vellumix::publish {

void checkChannelAndExpiry(const QString &channel, int expiresInDays, bool expiryOptional)
{
    if (!protocol::isValidChannelName(channel))
        throw Texts::tr("the channel name \"%1\" is not %2")
            .arg(channel, protocol::kChannelNameRule);
    if (expiresInDays < (expiryOptional ? 0 : 1) || expiresInDays > kMaxExpiryDays)
        throw Texts::tr("an expiry lies 1 to %1 days ahead, not %2")
            .arg(grouped(kMaxExpiryDays))
            .arg(expiresInDays);
}

void checkReportsUrl(const QString &text)
{
    if (!protocol::isReportsUrl(text))
        throw Texts::tr("the reports address \"%1\" is not an https URL without user "
                        "information, such as https://updates.example.com/reports")
            .arg(text);
}

namespace {

bool isDigest(const QString &text)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-f]{64}")));
    return pattern.match(text).hasMatch();
}

// A time of the form 2027-01-07T12:00:00Z, the payload's member `name`.
QDateTime parseTime(const QJsonValue &value, const QString &name)
{
    static const QRegularExpression form(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")));
    const QString text = value.toString();
    const QDateTime parsed = QDateTime::fromString(text, Qt::ISODate);
    if (!value.isString() || !form.match(text).hasMatch() || !parsed.isValid())
        throw Texts::tr("its \"%1\" is not a time of the form 2027-01-07T12:00:00Z").arg(name);
    return parsed.toUTC();
}

QList<DeltaEntry> readDeltas(const QJsonValue &value, const UpdateManifest &manifest)
{
    if (value.isUndefined())
        return {};
    if (!value.isArray())
        throw Texts::tr("its \"%1\" is not a list").arg(protocol::kPayloadDeltasMember);
    QHash<QString, QByteArray> contentOf;
    for (const ManifestFile &file : manifest.files)
        contentOf.insert(file.path, file.sha256);
    QList<DeltaEntry> deltas;
    QSet<QString> seen;
    for (const QJsonValue &element : value.toArray()) {
        const QJsonObject object = element.toObject();
        DeltaEntry delta;
        delta.path = object.value(protocol::kDeltaPathMember).toString();
        const QString base = object.value(protocol::kDeltaBaseSha256Member).toString();
        const QString packed = object.value(protocol::kDeltaPackedSha256Member).toString();
        const double size = object.value(protocol::kDeltaPackedSizeMember).toDouble(-1);
        const QString what = Texts::tr("its delta of \"%1\"").arg(delta.path);
        if (!contentOf.contains(delta.path))
            throw Texts::tr("%1 names no file of the release").arg(what);
        if (!isDigest(base) || !isDigest(packed) || size != double(qint64(size)) || size < 1
            || size > double(kManifestMaxFileSize))
            throw Texts::tr("%1 has a malformed digest or size").arg(what);
        delta.baseSha256 = base.toLatin1();
        delta.packedSha256 = packed.toLatin1();
        delta.packedSize = qint64(size);
        if (delta.baseSha256 == contentOf.value(delta.path))
            throw Texts::tr("%1 applies to the file's own content").arg(what);
        if (seen.contains(delta.path + u'\n' + base))
            throw Texts::tr("%1 is listed twice for one base").arg(what);
        seen.insert(delta.path + u'\n' + base);
        deltas.append(delta);
    }
    return deltas;
}

} // namespace

QByteArray payloadBytesOf(const UpdateManifest &manifest)
{
    // Decoded as openSignedEnvelope decodes it, so these are exactly the bytes that verified.
    const QJsonObject envelope = QJsonDocument::fromJson(manifest.envelope).object();
    return QByteArray::fromBase64(envelope.value(QStringLiteral("payload")).toString().toLatin1());
}

ReleaseExtras readReleaseExtras(const UpdateManifest &manifest)
{
    const QJsonObject payload = QJsonDocument::fromJson(payloadBytesOf(manifest)).object();
    ReleaseExtras extras;
    try {
        const QJsonValue channel = payload.value(protocol::kPayloadChannelMember);
        if (!channel.isUndefined()) {
            extras.channel = channel.toString();
            if (!channel.isString() || !protocol::isValidChannelName(extras.channel))
                throw Texts::tr("its \"%1\" is not %2")
                    .arg(protocol::kPayloadChannelMember, protocol::kChannelNameRule);
        }
        const QJsonValue expires = payload.value(protocol::kPayloadExpiresMember);
        if (!expires.isUndefined())
            extras.expires = parseTime(expires, protocol::kPayloadExpiresMember);
        extras.deltas = readDeltas(payload.value(protocol::kPayloadDeltasMember), manifest);
        static_cast<protocol::RolloutMembers &>(extras) =
            protocol::readRolloutMembers(payload, manifest.sequence);
        const QJsonValue since =
            payload.value(protocol::kPayloadRolloutMember).toObject().value(protocol::kRolloutSinceMember);
        if (!since.isUndefined())
            extras.rolloutSince = parseTime(since, protocol::kPayloadRolloutMember + u'.'
                                                       + protocol::kRolloutSinceMember);
    } catch (const QString &problem) {
        throw Texts::tr("the manifest of sequence %1 is signed, but %2")
            .arg(manifest.sequence)
            .arg(problem);
    }
    return extras;
}

bool isSignedForChannel(const ReleaseExtras &extras, const QString &channel)
{
    if (extras.channel.isEmpty())
        return channel == protocol::kDefaultChannel;
    return extras.channel == channel;
}

QString expiryText(const QDateTime &expires)
{
    return expires.toUTC().toString(Qt::ISODate);
}

QDateTime expiryAfterDays(int days, const QDateTime &now)
{
    return QDateTime::fromSecsSinceEpoch(now.toSecsSinceEpoch()).toUTC().addDays(days);
}

QByteArray envelopeOf(const QByteArray &payload, const QByteArray &signature)
{
    const QJsonObject envelope{
        {QStringLiteral("payload"), QString::fromLatin1(payload.toBase64())},
        {QStringLiteral("signature"), QString::fromLatin1(signature.toBase64())},
    };
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}

QList<qint32> releaseHistory(const QString &feedDir, const QString &channel)
{
    static const QRegularExpression name(
        QRegularExpression::anchoredPattern(QStringLiteral("([1-9][0-9]{0,6})\\.json")));
    const QDir folder(QDir(feedDir).filePath(channel + u'/' + protocol::kFeedReleasesFolder));
    QList<qint32> sequences;
    for (const QString &entry : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QRegularExpressionMatch match = name.match(entry);
        if (match.hasMatch())
            sequences.append(match.captured(1).toInt());
    }
    std::sort(sequences.begin(), sequences.end(), std::greater<>());
    return sequences;
}

FeedRelease loadFeedRelease(const QString &file, const std::optional<UpdateSigningKey> &key,
                            std::optional<qint32> sequence)
{
    FeedRelease release;
    release.file = file;
    try {
        const QByteArray envelope = orRefuse(readFileLimited(file, kManifestMaxBytes));
        release.manifest =
            orRefuse(key ? loadUpdateManifest(envelope, *key) : loadUpdateManifest(envelope));
        release.extras = readReleaseExtras(release.manifest);
    } catch (const QString &refusal) {
        throw Texts::tr("%1 cannot be read or verified (%2)")
            .arg(file, refusal);
    }
    if (sequence && release.manifest.sequence != *sequence)
        throw Texts::tr("%1 holds the release of sequence %2, not %3")
            .arg(file)
            .arg(release.manifest.sequence)
            .arg(*sequence);
    return release;
}

} // namespace vellumix::publish
