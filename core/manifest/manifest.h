// The signed update manifest: the envelope and its signature, and the checked payload.
#pragma once

#include "coreerror.h"

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

// What a payload must keep to pass. The release tool refuses up front what these would refuse.
inline constexpr int kManifestSchema = 1;
inline constexpr char kManifestPlatform[] = "windows-x64";
inline constexpr qint32 kManifestMinSequence = 1;
inline constexpr qint32 kManifestMaxSequence = 9999999;
inline constexpr char kManifestVersionPattern[] = "^[0-9A-Za-z.+-]{1,60}$";
inline constexpr char kManifestDigestPattern[] = "^[0-9a-f]{64}$";
inline constexpr qsizetype kManifestMaxEntries = 19999;
inline constexpr qint64 kManifestMaxFileSize = 536870912;
inline constexpr qint64 kManifestMinPackedSize = 4;
inline constexpr qint64 kManifestMaxTotalSize = 4294967296;
// The two programs that every update brings, at the top of the program root.
inline constexpr char kMainProgramPath[] = "Vellumix.exe";
inline constexpr char kUpdaterProgramPath[] = "VellumixUpdater.exe";

// The public half of an update-signing key: the RSA modulus as hex text, most significant digit
// first (768 digits for the 3072-bit keys in use). The exponent is always 65537.
struct UpdateSigningKey
{
    QByteArray modulusHex;
};

// The key compiled into this build (chosen at configure time).
UpdateSigningKey compiledInSigningKey();

// True only when `signature` is a valid RSA PKCS#1 v1.5 / SHA-256 signature of `payload` under the
// update-signing key compiled into the updater. Never throws.
bool verifyPayloadSignature(const QByteArray &payload, const QByteArray &signature);

// Checks the envelope's size and signature and returns the verified payload bytes.
CoreResult<QByteArray> openSignedEnvelope(const QByteArray &envelope);

// Opens the envelope and checks the payload; the error names the first rule broken.
CoreResult<UpdateManifest> loadUpdateManifest(const QByteArray &envelope);

// The same three with another key than the compiled-in one. The updater itself never uses these;
// they let the release tool check a manifest against the key that is about to be shipped.
bool verifyPayloadSignature(const QByteArray &payload, const QByteArray &signature,
                            const UpdateSigningKey &key);
CoreResult<QByteArray> openSignedEnvelope(const QByteArray &envelope, const UpdateSigningKey &key);
CoreResult<UpdateManifest> loadUpdateManifest(const QByteArray &envelope,
                                              const UpdateSigningKey &key);

} // namespace vellumix
