// Update-signing keys on the release side: making a key pair, reading a key file, printing its
// modulus and signing a manifest payload.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace vellumix::publish {

// An RSA-3072 key with exponent 65537, the only kind the updater trusts: the private key
// (which can sign) or only its public half. Failures are thrown as a QString.
class SigningKey
{
public:
    static constexpr int kBits = 3072;

    // A new random key pair.
    static SigningKey generate();
    // A PEM file holding a private key (PKCS#8 or PKCS#1) or a public key (SubjectPublicKeyInfo
    // or PKCS#1). Refuses unencrypted-only: a key protected by a passphrase cannot be read.
    static SigningKey fromFile(const QString &path);

    SigningKey(SigningKey &&) noexcept;
    SigningKey &operator=(SigningKey &&) noexcept;
    ~SigningKey();

    bool isPrivate() const { return m_private; }
    // 768 lower-case hex digits, most significant first: the value of
    // VELLUMIX_UPDATE_KEY_MODULUS for an updater that trusts this key.
    QByteArray modulusHex() const;
    // RSASSA-PKCS1-v1_5 with SHA-256 over exactly `payload`; 384 bytes. Needs the private key.
    QByteArray sign(const QByteArray &payload) const;

    QByteArray privatePem() const;
    QByteArray publicPem() const;

    struct Pkey;

private:
    SigningKey(std::unique_ptr<Pkey> key, bool isPrivate);
    std::unique_ptr<Pkey> m_key;
    bool m_private = false;
};

// Creates `path` with `contents`, refusing to replace anything that exists there (a link
// included). `ownerOnly` creates it readable and writable by its owner alone; nobody else ever
// sees it with wider permissions. A partly written file is removed again.
void createNewFile(const QString &path, const QByteArray &contents, bool ownerOnly);

} // namespace vellumix::publish
