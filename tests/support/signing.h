// Signed manifests for tests: payloads built from file lists, signatures by the development key
// of the build tree (or any other key, padding and digest), and whole staging directories.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTest>

namespace testsupport {

// Absolute path of the development private key (PEM) that the build tree's updater trusts, or
// empty when the build was configured with a release modulus.
QString devSigningKey();

// Skips the running test function when there is no development key to sign with.
#define VELLUMIX_REQUIRE_DEV_SIGNING_KEY()                                                        \
    do {                                                                                          \
        if (testsupport::devSigningKey().isEmpty())                                               \
            QSKIP("configured with a release key: no development key to sign with");             \
    } while (false)

enum class SignatureScheme {
    Pkcs1Sha256, // what the updater accepts
    Pkcs1Sha1,
    Pkcs1Sha384,
    PssSha256,
};

// The raw signature (384 bytes for a 3072-bit key) of `payload` with the PEM private key at
// `keyPath`.
QByteArray signPayload(const QByteArray &payload,
                       SignatureScheme scheme = SignatureScheme::Pkcs1Sha256,
                       const QString &keyPath = devSigningKey());

// The bytes of a manifest.json: {"payload":"<base64>","signature":"<base64>"}.
QByteArray envelopeOf(const QByteArray &payload, const QByteArray &signature);

// manifest.json for `payload`, signed with the development key.
QByteArray signedEnvelope(const QByteArray &payload);

// One file of a test update.
struct FileSpec
{
    QString path;
    QByteArray content;
};

// The two programs that every update must bring, with contents that carry `tag`.
QList<FileSpec> requiredPrograms(const QByteArray &tag = "1");

// The "files" element of one file: its path, the SHA-256 and size of its content, and a packed
// digest and size that pass the rules (the updater only checks their form).
QJsonObject fileEntry(const FileSpec &file);

// A payload of schema 1 for "windows-x64" listing `files` in order, as compact UTF-8 JSON.
QByteArray payloadFor(const QList<FileSpec> &files, const QString &version = QStringLiteral("1.0.0"),
                      qint32 sequence = 1, const QString &notes = QString());

// Any JSON object as compact UTF-8 payload bytes (for payloads that break the rules).
QByteArray payloadBytes(const QJsonObject &payload);

// A staging directory: `stageDir`/files/<path> for each file and `stageDir`/manifest.json,
// signed with the development key. Returns the manifest bytes.
QByteArray writeStage(const QString &stageDir, const QList<FileSpec> &files,
                      const QString &version = QStringLiteral("1.0.0"), qint32 sequence = 1);

// A fresh RSA private key of `bits` written to `path` as PEM (for "signed by another key").
void generateSigningKey(const QString &path, int bits = 3072);

// The modulus of the PEM key at `keyPath` as lower-case hex, most significant digit first.
QByteArray modulusHexOf(const QString &keyPath);

// A feed for the update client: the packed blob of each file and its manifest entry.
struct FeedFile
{
    FileSpec file;
    QByteArray blob;   // what the feed serves as blobs/<entry's packedSha256>
    QJsonObject entry; // the file's element of "files"
};

// One gzip member of `content`, as the release tool packs a file.
QByteArray gzipPacked(const QByteArray &content);

// `file` packed as the release tool packs it, or with `blob` as its packed form: the entry then
// names the digest and size of `blob`, whatever it unpacks to.
FeedFile feedFile(const FileSpec &file);
FeedFile feedFile(const FileSpec &file, const QByteArray &blob);
QList<FeedFile> feedFiles(const QList<FileSpec> &files);

// The payload listing the entries of `files` in order.
QByteArray feedPayload(const QList<FeedFile> &files, const QString &version, qint32 sequence);

// Writes `feedDir`/blobs/<packedSha256> for each file (its `blob`, so a test can serve other bytes
// under a file's name) and `feedDir`/<channel>/manifest.json, signed with the development key.
// Returns the manifest bytes. `members` are put into the payload besides (or over) its own:
// "notes", "critical", "rollout", ...
QByteArray writeFeed(const QString &feedDir, const QList<FeedFile> &files,
                     const QString &version = QStringLiteral("2.0.0"), qint32 sequence = 2,
                     const QString &channel = QStringLiteral("stable"),
                     const QJsonObject &members = {});

} // namespace testsupport
