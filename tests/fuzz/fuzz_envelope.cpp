// Fuzz target: the signed envelope. No input that the fuzzer can make carries a valid signature
// by the update-signing key, so every input must be refused with one of the envelope's two texts,
// and the decoding before the check must survive anything.
#include "fuzzcheck.h"
#include "manifest.h"
#include "messages.h"

using namespace vellumix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray envelope(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        openSignedEnvelope(envelope);
    } catch (const QString &message) {
        FUZZ_CHECK(message == Msg::signatureRejected || message == Msg::manifestTooLarge);
        return 0;
    }
    FUZZ_CHECK(!"an envelope without a valid signature was accepted");
    return 0;
}
