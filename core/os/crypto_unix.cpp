// Signature check and SHA-256 with OpenSSL 3.
#include "platform.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

namespace vellumix::os {

namespace {

template <typename T, void (*Free)(T *)>
struct OsslOwner
{
    T *p = nullptr;
    OsslOwner() = default;
    explicit OsslOwner(T *ptr) : p(ptr) {}
    ~OsslOwner() { if (p) Free(p); }
    OsslOwner(const OsslOwner &) = delete;
    OsslOwner &operator=(const OsslOwner &) = delete;
};

using Bignum = OsslOwner<BIGNUM, BN_free>;
using ParamBuilder = OsslOwner<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = OsslOwner<OSSL_PARAM, OSSL_PARAM_free>;
using PkeyContext = OsslOwner<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Pkey = OsslOwner<EVP_PKEY, EVP_PKEY_free>;

bool importRsaPublicKey(ByteView modulus, ByteView exponent, Pkey &key)
{
    Bignum n(BN_bin2bn(modulus.data(), int(modulus.size()), nullptr));
    Bignum e(BN_bin2bn(exponent.data(), int(exponent.size()), nullptr));
    ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!n.p || !e.p || !builder.p
        || !OSSL_PARAM_BLD_push_BN(builder.p, OSSL_PKEY_PARAM_RSA_N, n.p)
        || !OSSL_PARAM_BLD_push_BN(builder.p, OSSL_PKEY_PARAM_RSA_E, e.p))
        return false;
    Params params(OSSL_PARAM_BLD_to_param(builder.p));
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!params.p || !context.p || EVP_PKEY_fromdata_init(context.p) <= 0)
        return false;
    return EVP_PKEY_fromdata(context.p, &key.p, EVP_PKEY_PUBLIC_KEY, params.p) > 0 && key.p;
}

} // namespace

bool verifyRsaPkcs1Sha256(ByteView digest, ByteView signature, ByteView modulus,
                          ByteView exponent) noexcept
{
    if (digest.size() != 32 || modulus.empty() || exponent.empty())
        return false;
    Pkey key;
    if (!importRsaPublicKey(modulus, exponent, key))
        return false;
    /*
        A signature must be exactly as long as the modulus (RFC 8017, 8.2.2, step 1). OpenSSL
        would accept a shorter one whose value happens to fit, since it reads the signature as a
        number; the platform check on Windows does not. Refusing it here keeps both answers the
        same for every input.
    */
    if (signature.size() != std::size_t(EVP_PKEY_get_size(key.p)))
        return false;
    PkeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.p, nullptr));
    if (!context.p || EVP_PKEY_verify_init(context.p) <= 0
        || EVP_PKEY_CTX_set_rsa_padding(context.p, RSA_PKCS1_PADDING) <= 0
        || EVP_PKEY_CTX_set_signature_md(context.p, EVP_sha256()) <= 0)
        return false;
    return EVP_PKEY_verify(context.p, signature.data(), signature.size(), digest.data(),
                           digest.size())
        == 1;
}

struct Sha256::State
{
    EVP_MD_CTX *context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() noexcept : m_state(new (std::nothrow) State)
{
    if (!m_state)
        return;
    m_state->context = EVP_MD_CTX_new();
    m_usable = m_state->context && EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

bool Sha256::hashData(State &state, ByteView data) noexcept
{
    return EVP_DigestUpdate(state.context, data.data(), data.size()) == 1;
}

bool Sha256::finishHash(State &state, Sha256Digest &out) noexcept
{
    unsigned int length = 0;
    return EVP_DigestFinal_ex(state.context, out.data(), &length) == 1 && length == out.size();
}

} // namespace vellumix::os
