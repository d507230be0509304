// SPDX-License-Identifier: Apache-2.0
// The TPM object templates this tool uses, and the checks that a public area is one of them.
#pragma once

#include <tss2/tss2_tpm2_types.h>

#include <array>
#include <cstdint>

#include "crypto/p256.h"

namespace enclave {

// The TCG ECC P-256 storage root key template ("H template"): restricted decrypt, AES-128-CFB,
// an empty unique field.
TPM2B_PUBLIC storageRootKeyTemplate();

// True when a public area has exactly that template's parameters (the unique point aside).
bool isStorageRootKey(const TPMT_PUBLIC& publicArea);

// True when two public areas marshal to the same bytes: the same key.
bool samePublicArea(const TPMT_PUBLIC& a, const TPMT_PUBLIC& b);

// An enclave key: unrestricted P-256 decrypt key, noDA, empty auth, no scheme.
TPM2B_PUBLIC enclaveKeyTemplate();

// The public key of a public area that matches enclaveKeyTemplate, else EnclaveError
// malformedBlob.
crypto::P256::KeyAgreement::PublicKey enclavePublicKey(const TPMT_PUBLIC& publicArea);

// An ECC point as 0x04 || X || Y. A TPM may drop leading zero bytes of a coordinate (a TPM2B
// allows it), so 1 to 32 bytes are taken and padded on the left; false for any other size.
bool toX963(const TPMS_ECC_POINT& point, std::array<std::uint8_t, 65>& x963);

// The reverse, always with 32-byte coordinates.
TPMS_ECC_POINT fromX963(const std::array<std::uint8_t, 65>& x963);

}  // namespace enclave
