// SPDX-License-Identifier: Apache-2.0
// Unsealing: gives back the key bytes that seal wrapped, on the machine whose TPM made the
// enclave key. Works on records and bytes only.
#pragma once

#include "crypto/secret_bytes.h"
#include "sealing/key_service.h"
#include "sealing/sealed.h"

namespace sealing {

// Throws Failure::input if a member is not base64 (all three are decoded before the TPM is
// touched) and lets each member text go once decoded; otherwise errors of the TPM and the
// cryptography pass through unchanged.
crypto::SecretBytes unseal(Sealed sealed, const KeyService& keys = tpmKeyService());

}  // namespace sealing
