// SPDX-License-Identifier: Apache-2.0
// What sealing asks of the hardware, as one small seam: new enclave keys, and keys restored from
// their blobs. The TPM serves the tool; a software stand-in lets the fuzz targets run the whole
// unseal input path (members, key file, point, box) without a chip.
#pragma once

#include <functional>
#include <memory>

#include "crypto/p256.h"
#include "crypto/secret_bytes.h"

namespace sealing {

class EnclaveKey {
 public:
  virtual ~EnclaveKey() = default;
  virtual const crypto::P256::KeyAgreement::PublicKey& publicKey() const = 0;
  virtual crypto::Bytes dataRepresentation() const = 0;
  virtual crypto::SharedSecret sharedSecretFromKeyAgreement(
      const crypto::P256::KeyAgreement::PublicKey& peer) = 0;
};

struct KeyService {
  std::function<std::unique_ptr<EnclaveKey>()> create;
  // Throws for a blob that is not one of this service's keys.
  std::function<std::unique_ptr<EnclaveKey>(crypto::ByteView blob)> restore;
};

// The machine's TPM (enclave::SecureEnclave).
const KeyService& tpmKeyService();

}  // namespace sealing
