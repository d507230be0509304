// SPDX-License-Identifier: Apache-2.0
// Sealing: wraps key bytes under a new TPM-resident P-256 key. Works on bytes and records only.
#pragma once

#include "crypto/secret_bytes.h"
#include "sealing/key_service.h"
#include "sealing/sealed.h"

namespace sealing {

// Makes a new enclave key, a new ephemeral key and a new nonce on every call. Errors of the
// TPM and of the cryptography pass through unchanged; never throws Failure.
Sealed seal(crypto::ByteView keyBytes, const KeyService& keys = tpmKeyService());

}  // namespace sealing
