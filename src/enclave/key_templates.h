// The TPM object templates this tool uses, and the check that a public area is an enclave key's.
#pragma once

#include <tss2/tss2_tpm2_types.h>

#include "crypto/p256.h"

namespace enclave {

// The TCG ECC P-256 storage root key template ("H template"): restricted decrypt, AES-128-CFB.
TPM2B_PUBLIC storageRootKeyTemplate();

// An enclave key: unrestricted P-256 decrypt key, noDA, empty auth, no scheme.
TPM2B_PUBLIC enclaveKeyTemplate();

// The public key of a public area that matches enclaveKeyTemplate, else EnclaveError
// malformedBlob.
crypto::P256::KeyAgreement::PublicKey enclavePublicKey(const TPMT_PUBLIC& publicArea);

}  // namespace enclave
