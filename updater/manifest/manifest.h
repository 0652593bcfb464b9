// The signed update manifest: the envelope and its signature, and the checked payload.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace vellumix {

// One file of an update.
struct ManifestFile
{
    QString path;            // relative to the program root, "/" separators, as written
    QByteArray sha256;       // 64 lower-case hex digits of the installed content
    QByteArray packedSha256; // 64 lower-case hex digits; only its form is checked
    qint64 size = 0;         // byte size of the installed content
    qint64 packedSize = 0;   // only its range is checked
};

// A manifest whose signature verified and whose payload passed every rule.
struct UpdateManifest
{
    QString version;
    QString notes;
    qint32 sequence = 0;
    QList<ManifestFile> files;
    QByteArray envelope; // the bytes of "manifest.json" exactly as they were loaded
};

inline constexpr qint64 kManifestMaxBytes = 8388608;

// True only when `signature` is a valid RSA PKCS#1 v1.5 / SHA-256 signature of `payload` under the
// update-signing key compiled into the updater. Never throws.
bool verifyPayloadSignature(const QByteArray &payload, const QByteArray &signature);

// Checks the envelope's size and signature and returns the verified payload bytes.
QByteArray openSignedEnvelope(const QByteArray &envelope);

// Opens the envelope and checks the payload; throws the user's text on the first rule broken.
UpdateManifest loadUpdateManifest(const QByteArray &envelope);

} // namespace vellumix
