#include "signingkey.h"
#include "publishtexts.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace vellumix::publish {

namespace {

// Each OpenSSL object is owned by one of these, so every early return frees what was made.
template <typename T, void (*Free)(T *)>
struct Owner
{
    T *p = nullptr;
    Owner() = default;
    explicit Owner(T *ptr) : p(ptr) {}
    ~Owner()
    {
        if (p)
            Free(p);
    }
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;
};

using Bignum = Owner<BIGNUM, BN_free>;
using Bio = Owner<BIO, BIO_free_all>;
using DecoderContext = Owner<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;
using MdContext = Owner<EVP_MD_CTX, EVP_MD_CTX_free>;

QString openSslReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return Texts::tr("unknown reason");
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

QByteArray bioContents(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return QByteArray(data, length);
}

QByteArray readKeyFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Texts::tr("cannot read the key file %1: %2").arg(path, file.errorString());
    // A PEM key is a few kilobytes; anything far larger is not a key.
    const QByteArray pem = file.read(1024 * 1024);
    if (!file.atEnd())
        throw Texts::tr("%1 is too large to be a key file").arg(path);
    return pem;
}

BIGNUM *rsaParameter(EVP_PKEY *key, const char *name)
{
    BIGNUM *value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1)
        return nullptr;
    return value;
}

} // namespace

struct SigningKey::Pkey
{
    EVP_PKEY *p = nullptr;
    ~Pkey() { EVP_PKEY_free(p); }
};

SigningKey::SigningKey(std::unique_ptr<Pkey> key, bool isPrivate)
    : m_key(std::move(key)), m_private(isPrivate)
{
}

SigningKey::SigningKey(SigningKey &&) noexcept = default;
SigningKey &SigningKey::operator=(SigningKey &&) noexcept = default;
SigningKey::~SigningKey() = default;

SigningKey SigningKey::generate()
{
    auto key = std::make_unique<Pkey>();
    key->p = EVP_RSA_gen(unsigned(kBits)); // exponent 65537, OpenSSL's default
    if (!key->p)
        throw Texts::tr("cannot generate an RSA-%1 key: %2").arg(kBits).arg(openSslReason());
    return SigningKey(std::move(key), true);
}

SigningKey SigningKey::fromFile(const QString &path)
{
    const QByteArray pem = readKeyFile(path);
    auto key = std::make_unique<Pkey>();
    // Selection 0 lets the decoder take whatever the file holds: a private key or a public one,
    // in any of the usual PEM structures. No passphrase callback is given, so an encrypted key
    // fails here instead of prompting.
    DecoderContext decoder(OSSL_DECODER_CTX_new_for_pkey(&key->p, "PEM", nullptr, "RSA", 0,
                                                         nullptr, nullptr));
    const auto *data = reinterpret_cast<const unsigned char *>(pem.constData());
    std::size_t length = std::size_t(pem.size());
    if (!decoder.p || OSSL_DECODER_from_data(decoder.p, &data, &length) != 1 || !key->p) {
        ERR_clear_error();
        throw Texts::tr("%1 holds no readable RSA key in PEM form (keys protected by a "
                        "passphrase are not supported)")
            .arg(path);
    }
    if (EVP_PKEY_get_bits(key->p) != kBits)
        throw Texts::tr("%1 is a %2-bit key; update-signing keys are RSA-%3")
            .arg(path)
            .arg(EVP_PKEY_get_bits(key->p))
            .arg(kBits);
    const Bignum exponent(rsaParameter(key->p, OSSL_PKEY_PARAM_RSA_E));
    if (!exponent.p || !BN_is_word(exponent.p, 65537))
        throw Texts::tr("%1 does not use the public exponent 65537, the only one the "
                        "updater knows")
            .arg(path);
    const Bignum privateExponent(rsaParameter(key->p, OSSL_PKEY_PARAM_RSA_D));
    ERR_clear_error();
    return SigningKey(std::move(key), privateExponent.p != nullptr);
}

QByteArray SigningKey::modulusHex() const
{
    const Bignum modulus(rsaParameter(m_key->p, OSSL_PKEY_PARAM_RSA_N));
    QByteArray bytes(kBits / 8, '\0');
    if (!modulus.p
        || BN_bn2binpad(modulus.p, reinterpret_cast<unsigned char *>(bytes.data()), int(bytes.size()))
            != bytes.size())
        throw Texts::tr("cannot read the modulus of the key: %1").arg(openSslReason());
    return bytes.toHex();
}

QByteArray SigningKey::sign(const QByteArray &payload) const
{
    if (!m_private)
        throw Texts::tr("signing needs the private key; this file holds only a public key");
    MdContext context(EVP_MD_CTX_new());
    EVP_PKEY_CTX *keyContext = nullptr; // owned by the digest context
    if (!context.p
        || EVP_DigestSignInit(context.p, &keyContext, EVP_sha256(), nullptr, m_key->p) != 1
        || EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) <= 0)
        throw Texts::tr("cannot set up signing: %1").arg(openSslReason());
    const auto *data = reinterpret_cast<const unsigned char *>(payload.constData());
    std::size_t length = 0;
    if (EVP_DigestSign(context.p, nullptr, &length, data, std::size_t(payload.size())) != 1)
        throw Texts::tr("cannot sign: %1").arg(openSslReason());
    QByteArray signature(qsizetype(length), '\0');
    if (EVP_DigestSign(context.p, reinterpret_cast<unsigned char *>(signature.data()), &length,
                       data, std::size_t(payload.size()))
        != 1)
        throw Texts::tr("cannot sign: %1").arg(openSslReason());
    signature.truncate(qsizetype(length));
    return signature;
}

QByteArray SigningKey::privatePem() const
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!m_private || !bio.p
        || PEM_write_bio_PrivateKey(bio.p, m_key->p, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw Texts::tr("cannot write the private key: %1").arg(openSslReason());
    return bioContents(bio.p);
}

QByteArray SigningKey::publicPem() const
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio.p || PEM_write_bio_PUBKEY(bio.p, m_key->p) != 1)
        throw Texts::tr("cannot write the public key: %1").arg(openSslReason());
    return bioContents(bio.p);
}

void createNewFile(const QString &path, const QByteArray &contents, bool ownerOnly)
{
    const QFileDevice::Permissions permissions = ownerOnly
        ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
        : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
            | QFileDevice::ReadOther;
    QFile file(path);
    /*
        NewOnly is O_CREAT|O_EXCL: the file is made here or the call fails, also when a link of
        any kind stands at the path. The permissions go into that same call, so a private key is
        never readable by others, not even between creating and restricting it.
    */
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, permissions)) {
        if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
            throw Texts::tr("%1 already exists; it is never overwritten").arg(path);
        throw Texts::tr("cannot create %1: %2").arg(path, file.errorString());
    }
    if (file.write(contents) != contents.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.close();
        file.remove();
        throw Texts::tr("cannot write %1: %2").arg(path, reason);
    }
}

} // namespace vellumix::publish
