#include "signing.h"
#include "testsupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#ifdef VELLUMIX_TESTS_HAVE_ZLIB
#include <zlib.h>
#endif

#include <memory>

namespace testsupport {

namespace {

template <typename T, void (*Free)(T *)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

using Pkey = Owned<EVP_PKEY, EVP_PKEY_free>;
using MdContext = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using Bio = Owned<BIO, BIO_free_all>;
using Bignum = Owned<BIGNUM, BN_clear_free>;

[[noreturn]] void setupFailure(const char *what, const QString &detail)
{
    qFatal("test set-up: %s %s", what, qPrintable(detail));
}

Pkey readPrivateKey(const QString &keyPath)
{
    if (keyPath.isEmpty())
        setupFailure("no development signing key in this build", QString());
    const QByteArray pem = readFile(keyPath);
    Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        setupFailure("cannot read the private key", keyPath);
    return key;
}

const EVP_MD *digestOf(SignatureScheme scheme)
{
    switch (scheme) {
    case SignatureScheme::Pkcs1Sha1:
        return EVP_sha1();
    case SignatureScheme::Pkcs1Sha384:
        return EVP_sha384();
    case SignatureScheme::Pkcs1Sha256:
    case SignatureScheme::PssSha256:
        break;
    }
    return EVP_sha256();
}

} // namespace

QString devSigningKey()
{
    return QString::fromUtf8(VELLUMIX_DEV_SIGNING_KEY);
}

QByteArray signPayload(const QByteArray &payload, SignatureScheme scheme, const QString &keyPath)
{
    const Pkey key = readPrivateKey(keyPath);
    MdContext context(EVP_MD_CTX_new());
    EVP_PKEY_CTX *keyContext = nullptr;
    if (!context
        || EVP_DigestSignInit(context.get(), &keyContext, digestOf(scheme), nullptr, key.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(keyContext, scheme == SignatureScheme::PssSha256
                                                        ? RSA_PKCS1_PSS_PADDING
                                                        : RSA_PKCS1_PADDING)
            <= 0)
        setupFailure("cannot set up signing with", keyPath);
    std::size_t length = 0;
    const auto *data = reinterpret_cast<const unsigned char *>(payload.constData());
    if (EVP_DigestSign(context.get(), nullptr, &length, data, payload.size()) != 1)
        setupFailure("cannot sign with", keyPath);
    QByteArray signature(qsizetype(length), '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                       data, payload.size())
        != 1)
        setupFailure("cannot sign with", keyPath);
    signature.truncate(qsizetype(length));
    return signature;
}

QByteArray envelopeOf(const QByteArray &payload, const QByteArray &signature)
{
    const QJsonObject envelope{
        {QStringLiteral("payload"), QString::fromLatin1(payload.toBase64())},
        {QStringLiteral("signature"), QString::fromLatin1(signature.toBase64())},
    };
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}

QByteArray signedEnvelope(const QByteArray &payload)
{
    return envelopeOf(payload, signPayload(payload));
}

QList<FileSpec> requiredPrograms(const QByteArray &tag)
{
    return {
        {QStringLiteral("Vellumix.exe"), "main program " + tag},
        {QStringLiteral("VellumixUpdater.exe"), "updater " + tag},
    };
}

QJsonObject fileEntry(const FileSpec &file)
{
    return {
        {QStringLiteral("path"), file.path},
        {QStringLiteral("sha256"), sha256Hex(file.content)},
        {QStringLiteral("packedSha256"), sha256Hex("packed " + file.content)},
        {QStringLiteral("size"), double(file.content.size())},
        {QStringLiteral("packedSize"), double(qMax<qsizetype>(file.content.size(), 4))},
    };
}

QByteArray payloadBytes(const QJsonObject &payload)
{
    return QJsonDocument(payload).toJson(QJsonDocument::Compact);
}

static QByteArray payloadOfEntries(const QJsonArray &entries, const QString &version,
                                   qint32 sequence, const QString &notes)
{
    return payloadBytes({
        {QStringLiteral("schema"), 1},
        {QStringLiteral("platform"), QStringLiteral("windows-x64")},
        {QStringLiteral("sequence"), sequence},
        {QStringLiteral("version"), version},
        {QStringLiteral("notes"), notes},
        {QStringLiteral("files"), entries},
    });
}

QByteArray payloadFor(const QList<FileSpec> &files, const QString &version, qint32 sequence,
                      const QString &notes)
{
    QJsonArray entries;
    for (const FileSpec &file : files)
        entries.append(fileEntry(file));
    return payloadOfEntries(entries, version, sequence, notes);
}

QByteArray writeStage(const QString &stageDir, const QList<FileSpec> &files, const QString &version,
                      qint32 sequence)
{
    for (const FileSpec &file : files)
        writeFile(stageDir + QStringLiteral("/files"), file.path, file.content);
    const QByteArray manifest = signedEnvelope(payloadFor(files, version, sequence));
    writeFile(stageDir, QStringLiteral("manifest.json"), manifest);
    return manifest;
}

void generateSigningKey(const QString &path, int bits)
{
    Pkey key(EVP_RSA_gen(unsigned(bits)));
    Bio bio(BIO_new(BIO_s_mem()));
    if (!key || !bio
        || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        setupFailure("cannot generate a key for", path);
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data, length) != length)
        setupFailure("cannot write", path);
}

QByteArray modulusHexOf(const QString &keyPath)
{
    const Pkey key = readPrivateKey(keyPath);
    BIGNUM *modulus = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &modulus) != 1)
        setupFailure("no RSA modulus in", keyPath);
    const Bignum owner(modulus);
    QByteArray bytes(BN_num_bytes(modulus), '\0');
    BN_bn2bin(modulus, reinterpret_cast<unsigned char *>(bytes.data()));
    return bytes.toHex();
}

QByteArray gzipPacked(const QByteArray &content)
{
#ifndef VELLUMIX_TESTS_HAVE_ZLIB
    setupFailure("built without zlib: cannot pack", QString::number(content.size()));
#else
    // The release tool's settings: default level, 32 KiB window, zlib's plain gzip header.
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY)
        != Z_OK)
        setupFailure("cannot set up compression", QString());
    QByteArray packed(qsizetype(deflateBound(&stream, uLong(content.size()))) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(content.constData()));
    stream.avail_in = uInt(content.size());
    stream.next_out = reinterpret_cast<Bytef *>(packed.data());
    stream.avail_out = uInt(packed.size());
    const int status = deflate(&stream, Z_FINISH);
    packed.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        setupFailure("cannot compress", QString());
    return packed;
#endif
}

FeedFile feedFile(const FileSpec &file, const QByteArray &blob)
{
    QJsonObject entry = fileEntry(file);
    entry.insert(QStringLiteral("packedSha256"), sha256Hex(blob));
    entry.insert(QStringLiteral("packedSize"), double(blob.size()));
    return {file, blob, entry};
}

FeedFile feedFile(const FileSpec &file)
{
    return feedFile(file, gzipPacked(file.content));
}

QList<FeedFile> feedFiles(const QList<FileSpec> &files)
{
    QList<FeedFile> feed;
    for (const FileSpec &file : files)
        feed.append(feedFile(file));
    return feed;
}

QByteArray feedPayload(const QList<FeedFile> &files, const QString &version, qint32 sequence)
{
    QJsonArray entries;
    for (const FeedFile &file : files)
        entries.append(file.entry);
    return payloadOfEntries(entries, version, sequence, QStringLiteral("notes of ") + version);
}

QByteArray writeFeed(const QString &feedDir, const QList<FeedFile> &files, const QString &version,
                     qint32 sequence, const QString &channel, const QJsonObject &members)
{
    for (const FeedFile &file : files) {
        writeFile(feedDir + QStringLiteral("/blobs"),
                  file.entry.value(QStringLiteral("packedSha256")).toString(), file.blob);
    }
    QByteArray payload = feedPayload(files, version, sequence);
    if (!members.isEmpty()) {
        QJsonObject object = QJsonDocument::fromJson(payload).object();
        for (auto member = members.begin(); member != members.end(); ++member)
            object.insert(member.key(), member.value());
        payload = payloadBytes(object);
    }
    const QByteArray manifest = signedEnvelope(payload);
    writeFile(feedDir + u'/' + channel, QStringLiteral("manifest.json"), manifest);
    return manifest;
}

} // namespace testsupport
