// SPDX-License-Identifier: Apache-2.0
// The TPM 2.0 Key File (ASN.1 "TSS2 PRIVATE KEY", a loadable key under the owner's storage root
// key) in DER: the blob that carries an enclave key between runs.
#pragma once

#include <tss2/tss2_tpm2_types.h>

#include "crypto/secret_bytes.h"

namespace enclave {

struct KeyFile {
  TPM2B_PUBLIC publicArea;
  TPM2B_PRIVATE privateArea;
};

// Canonical DER: SEQUENCE { OID 2.23.133.10.1.3, [0] EXPLICIT BOOLEAN TRUE,
// INTEGER 0x40000001, OCTET STRING TPM2B_PUBLIC, OCTET STRING TPM2B_PRIVATE }.
crypto::Bytes encodeKeyFile(const KeyFile& keyFile);

// Reads exactly that (emptyAuth TRUE written as 0xFF or 0x01), with a public area that is an
// enclave key's. Throws EnclaveError malformedBlob for anything else.
KeyFile decodeKeyFile(crypto::ByteView der);

}  // namespace enclave
