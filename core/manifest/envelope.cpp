// The signed envelope of the update manifest: its size bound, its two base64 members and the
// signature over the payload bytes.
#include "manifest.h"
#include "osbridge.h"
#include "updatekey.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLatin1String>

namespace vellumix {

namespace {

/*
    Decoding is deliberately lenient (QByteArray's default base64 options): characters outside the
    alphabet, line breaks and "=" padding are skipped, and nothing counts as a decoding error. The
    signature check after it is what decides; a member that decodes to other bytes than were
    signed simply fails there, with the same message as any other bad signature.
*/
QByteArray decodeBase64Member(const QJsonObject &envelope, QLatin1String name)
{
    return QByteArray::fromBase64(envelope.value(name).toString().toLatin1());
}

} // namespace

UpdateSigningKey compiledInSigningKey()
{
    return {QByteArray(kUpdateKeyModulusHex)};
}

bool verifyPayloadSignature(const QByteArray &payload, const QByteArray &signature,
                            const UpdateSigningKey &key)
{
    const QByteArray modulus = QByteArray::fromHex(key.modulusHex);
    const QByteArray exponent = QByteArray::fromHex("010001");
    const QByteArray digest = QCryptographicHash::hash(payload, QCryptographicHash::Sha256);
    return os::verifyRsaPkcs1Sha256(osBytes(digest), osBytes(signature), osBytes(modulus),
                                    osBytes(exponent));
}

bool verifyPayloadSignature(const QByteArray &payload, const QByteArray &signature)
{
    return verifyPayloadSignature(payload, signature, compiledInSigningKey());
}

CoreResult<QByteArray> openSignedEnvelope(const QByteArray &envelope, const UpdateSigningKey &key)
{
    // The bound comes before any parsing: the caller's bounded read already holds it, but this
    // is the last line before the JSON parser sees untrusted bytes.
    if (envelope.size() > kManifestMaxBytes)
        return CoreError{CoreError::ManifestTooLarge, {}, {}};

    const QJsonObject members = QJsonDocument::fromJson(envelope).object();
    QByteArray payload = decodeBase64Member(members, QLatin1String("payload"));
    const QByteArray signature = decodeBase64Member(members, QLatin1String("signature"));
    if (!verifyPayloadSignature(payload, signature, key))
        return CoreError{CoreError::SignatureRejected, {}, {}};
    return payload;
}

CoreResult<QByteArray> openSignedEnvelope(const QByteArray &envelope)
{
    return openSignedEnvelope(envelope, compiledInSigningKey());
}

} // namespace vellumix
