// Signature check and SHA-256 with Windows CNG (bcrypt.dll).
#include "platform.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace vellumix::os {

namespace {

class AlgorithmProvider
{
public:
    AlgorithmProvider() = default;
    ~AlgorithmProvider() { if (m_handle) BCryptCloseAlgorithmProvider(m_handle, 0); }
    AlgorithmProvider(const AlgorithmProvider &) = delete;
    AlgorithmProvider &operator=(const AlgorithmProvider &) = delete;

    bool open(LPCWSTR algorithm)
    {
        return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&m_handle, algorithm, nullptr, 0));
    }
    BCRYPT_ALG_HANDLE get() const { return m_handle; }

private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
};

class KeyHandle
{
public:
    KeyHandle() = default;
    ~KeyHandle() { if (m_handle) BCryptDestroyKey(m_handle); }
    KeyHandle(const KeyHandle &) = delete;
    KeyHandle &operator=(const KeyHandle &) = delete;

    BCRYPT_KEY_HANDLE *out() { return &m_handle; }
    BCRYPT_KEY_HANDLE get() const { return m_handle; }

private:
    BCRYPT_KEY_HANDLE m_handle = nullptr;
};

class HashHandle
{
public:
    HashHandle() = default;
    ~HashHandle() { if (m_handle) BCryptDestroyHash(m_handle); }
    HashHandle(const HashHandle &) = delete;
    HashHandle &operator=(const HashHandle &) = delete;

    BCRYPT_HASH_HANDLE *out() { return &m_handle; }
    BCRYPT_HASH_HANDLE get() const { return m_handle; }

private:
    BCRYPT_HASH_HANDLE m_handle = nullptr;
};

constexpr std::size_t kMaxUlong = std::numeric_limits<ULONG>::max();

// CNG takes non-const pointers to input it only reads.
PUCHAR input(ByteView bytes)
{
    return const_cast<PUCHAR>(bytes.data());
}

/*
    The RSA public-key blob: a BCRYPT_RSAKEY_BLOB header, then the exponent and the modulus, both
    big-endian. The lengths in the header are taken from the key as given rather than written as
    the figures of a 3072-bit key, so the header can never disagree with the bytes behind it.
*/
bool buildPublicKeyBlob(ByteView modulus, ByteView exponent, std::vector<UCHAR> &blob)
{
    if (modulus.empty() || exponent.empty() || modulus.size() > kMaxUlong / 8
        || exponent.size() > kMaxUlong - sizeof(BCRYPT_RSAKEY_BLOB) - modulus.size())
        return false;
    BCRYPT_RSAKEY_BLOB header{};
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = ULONG(modulus.size() * 8);
    header.cbPublicExp = ULONG(exponent.size());
    header.cbModulus = ULONG(modulus.size());
    header.cbPrime1 = 0;
    header.cbPrime2 = 0;

    blob.resize(sizeof header + exponent.size() + modulus.size());
    std::memcpy(blob.data(), &header, sizeof header);
    std::copy(exponent.begin(), exponent.end(), blob.begin() + sizeof header);
    std::copy(modulus.begin(), modulus.end(), blob.begin() + sizeof header + exponent.size());
    return true;
}

} // namespace

bool verifyRsaPkcs1Sha256(ByteView digest, ByteView signature, ByteView modulus,
                          ByteView exponent) noexcept
{
    if (digest.size() != sizeof(Sha256Digest) || signature.size() > kMaxUlong)
        return false;
    try {
        // Declared before the key, so the key is destroyed before the provider is closed.
        AlgorithmProvider provider;
        if (!provider.open(BCRYPT_RSA_ALGORITHM))
            return false;

        std::vector<UCHAR> blob;
        if (!buildPublicKeyBlob(modulus, exponent, blob))
            return false;
        KeyHandle key;
        if (!BCRYPT_SUCCESS(BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB,
                                                key.out(), blob.data(), ULONG(blob.size()), 0)))
            return false;

        /*
            The signature goes to CNG exactly as it came, whatever its length: CNG alone decides
            what counts as a signature for this modulus, and anything it does not accept is a
            refusal.
        */
        BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
        return BCRYPT_SUCCESS(BCryptVerifySignature(key.get(), &padding, input(digest),
                                                    ULONG(digest.size()), input(signature),
                                                    ULONG(signature.size()), BCRYPT_PAD_PKCS1));
    } catch (...) {
        return false;
    }
}

struct Sha256::State
{
    // The hash is destroyed before its provider is closed.
    AlgorithmProvider provider;
    HashHandle hash;
};

Sha256::Sha256() noexcept : m_state(new (std::nothrow) State)
{
    if (!m_state)
        return;
    // A null hash object buffer lets CNG keep the hash state itself.
    m_usable = m_state->provider.open(BCRYPT_SHA256_ALGORITHM)
        && BCRYPT_SUCCESS(BCryptCreateHash(m_state->provider.get(), m_state->hash.out(), nullptr,
                                           0, nullptr, 0, 0));
}

Sha256::~Sha256() = default;

bool Sha256::hashData(State &state, ByteView data) noexcept
{
    // CNG counts in 32-bit lengths; a larger piece is fed in parts.
    while (!data.empty()) {
        const ByteView part = data.first(std::min(data.size(), std::size_t(1) << 30));
        if (!BCRYPT_SUCCESS(BCryptHashData(state.hash.get(), input(part), ULONG(part.size()), 0)))
            return false;
        data = data.subspan(part.size());
    }
    return true;
}

bool Sha256::finishHash(State &state, Sha256Digest &out) noexcept
{
    return BCRYPT_SUCCESS(BCryptFinishHash(state.hash.get(), out.data(), ULONG(out.size()), 0));
}

} // namespace vellumix::os
