// The payload of a verified manifest: release gate, file list, per-entry rules and totals.
#include "manifest.h"
#include "manifest_p.h"
#include "pathpolicy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QRegularExpression>
#include <QSet>

namespace vellumix {

namespace {

QJsonValue member(const QJsonObject &object, const char *name)
{
    return object.value(QLatin1String(name));
}

// Patterns without options, as the rules state them: "$" also matches before one final line feed.
// The install procedure compares digests byte for byte later, so such a digest is refused there.
const QRegularExpression &versionPattern()
{
    static const QRegularExpression pattern(QString::fromLatin1(kManifestVersionPattern));
    return pattern;
}

const QRegularExpression &digestPattern()
{
    static const QRegularExpression pattern(QString::fromLatin1(kManifestDigestPattern));
    return pattern;
}

bool matches(const QRegularExpression &pattern, const QString &value)
{
    return pattern.match(value).hasMatch();
}

/*
    A byte count is read as a double and truncated toward zero ("size": 10.9 is 10). A number
    beyond the range of a 64-bit integer has no defined conversion in C++; it is far above every
    limit anyway, so it reads as -1, exactly like a missing member, and fails its range check.
*/
qint64 readByteCount(const QJsonValue &value)
{
    const double number = value.toDouble(-1);
    if (!(number > -9223372036854775808.0 && number < 9223372036854775808.0))
        return -1;
    return qint64(number);
}

// Every member of one entry is read before any of them is checked. An element that is not an
// object reads as an empty one, whose empty path the path policy refuses.
ManifestFile readEntry(const QJsonValue &element)
{
    const QJsonObject entry = element.toObject();
    ManifestFile file;
    file.path = member(entry, "path").toString();
    file.sha256 = member(entry, "sha256").toString().toLatin1();
    file.packedSha256 = member(entry, "packedSha256").toString().toLatin1();
    file.size = readByteCount(member(entry, "size"));
    file.packedSize = readByteCount(member(entry, "packedSize"));
    return file;
}

CoreError checkReleaseGate(const QJsonObject &payload, const UpdateManifest &manifest)
{
    // QJsonValue::toInt gives 0 for anything that is not a whole number within 32 bits (2.5,
    // "1", 2^31), so 1.0 passes and every such value fails like a wrong number.
    const bool rightSchema = member(payload, "schema").toInt() == kManifestSchema;
    const bool rightPlatform =
        member(payload, "platform") == QJsonValue(QString::fromLatin1(kManifestPlatform));
    const bool sequenceInRange = manifest.sequence >= kManifestMinSequence
        && manifest.sequence <= kManifestMaxSequence;
    if (!rightSchema || !rightPlatform || !sequenceInRange
        || !matches(versionPattern(), manifest.version))
        return {CoreError::UnsupportedUpdate, {}, {}};
    return {};
}

bool digestsAndSizesValid(const ManifestFile &file)
{
    return matches(digestPattern(), QString::fromLatin1(file.sha256))
        && matches(digestPattern(), QString::fromLatin1(file.packedSha256))
        && file.size >= 0 && file.size <= kManifestMaxFileSize
        && file.packedSize >= kManifestMinPackedSize && file.packedSize <= kManifestMaxFileSize;
}

} // namespace

CoreResult<UpdateManifest> checkUpdatePayload(const QByteArray &payloadBytes)
{
    const QJsonObject payload = QJsonDocument::fromJson(payloadBytes).object();

    UpdateManifest manifest;
    manifest.version = member(payload, "version").toString();
    manifest.sequence = member(payload, "sequence").toInt();
    manifest.notes = member(payload, "notes").toString();
    if (CoreError refused = checkReleaseGate(payload, manifest); !refused.ok())
        return refused;

    const QJsonArray files = member(payload, "files").toArray();
    if (files.isEmpty() || files.size() > kManifestMaxEntries)
        return CoreError{CoreError::FileListInvalid, {}, {}};

    // Entries are checked one at a time, so the first offending entry decides the message.
    // Two entries for one file would each back up and replace it, so paths are compared as NTFS
    // compares names (updatePathKey), not by lower-casing them.
    QSet<QString> pathKeys;
    pathKeys.reserve(files.size());
    qint64 totalSize = 0;
    bool mainProgramSeen = false;
    bool updaterSeen = false;
    manifest.files.reserve(files.size());
    for (const QJsonValue &element : files) {
        ManifestFile file = readEntry(element);
        if (!isAllowedUpdatePath(file.path))
            return CoreError{CoreError::IllegalOrDuplicatePath, file.path, {}};
        const QString pathKey = updatePathKey(file.path);
        if (pathKeys.contains(pathKey))
            return CoreError{CoreError::IllegalOrDuplicatePath, file.path, {}};
        pathKeys.insert(pathKey);
        if (!digestsAndSizesValid(file))
            return CoreError{CoreError::FileChecksInvalid, file.path, {}};
        totalSize += file.size;
        if (totalSize > kManifestMaxTotalSize)
            return CoreError{CoreError::TotalSizeExceeded, {}, {}};
        mainProgramSeen = mainProgramSeen || file.path == QLatin1String(kMainProgramPath);
        updaterSeen = updaterSeen || file.path == QLatin1String(kUpdaterProgramPath);
        manifest.files.append(std::move(file));
    }
    if (!mainProgramSeen || !updaterSeen)
        return CoreError{CoreError::RequiredProgramsMissing, {}, {}};
    return manifest;
}

CoreResult<UpdateManifest> loadUpdateManifest(const QByteArray &envelope,
                                              const UpdateSigningKey &key)
{
    // Nothing of the payload is looked at before its signature has verified, and it is parsed
    // from exactly the bytes that were verified.
    const CoreResult<QByteArray> payloadBytes = openSignedEnvelope(envelope, key);
    if (!payloadBytes.ok())
        return payloadBytes.error();
    CoreResult<UpdateManifest> manifest = checkUpdatePayload(*payloadBytes);
    if (manifest.ok())
        manifest->envelope = envelope;
    return manifest;
}

CoreResult<UpdateManifest> loadUpdateManifest(const QByteArray &envelope)
{
    return loadUpdateManifest(envelope, compiledInSigningKey());
}

} // namespace vellumix
