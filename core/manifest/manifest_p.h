// Inside the manifest check: the rules of the payload alone.
#pragma once

#include "manifest.h"

namespace vellumix {

// Checks payload bytes whose signature has already been verified and returns the manifest
// (without its envelope bytes); the error names the first rule broken. The updater
// reaches it only through loadUpdateManifest, after the signature check. It is separate so that
// the rules can be fuzzed without a signing key.
CoreResult<UpdateManifest> checkUpdatePayload(const QByteArray &payloadBytes);

} // namespace vellumix
