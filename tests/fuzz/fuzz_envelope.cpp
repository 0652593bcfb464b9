// Fuzz target: the signed envelope. No input that the fuzzer can make carries a valid signature
// by the update-signing key, so every input must be refused for one of the envelope's two reasons,
// and the decoding before the check must survive anything.
#include "fuzzcheck.h"
#include "manifest.h"

using namespace vellumix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray envelope(reinterpret_cast<const char *>(data), qsizetype(size));
    const CoreResult<QByteArray> payload = openSignedEnvelope(envelope);
    FUZZ_CHECK(!payload.ok() && "an envelope without a valid signature was accepted");
    const CoreError::Code code = payload.error().code;
    FUZZ_CHECK(code == CoreError::SignatureRejected || code == CoreError::ManifestTooLarge);
    return 0;
}
