// SPDX-License-Identifier: Apache-2.0
// Unseal's input path (members, key file, point, box) against a software stand-in for the TPM: an
// input damages one member of a record sealed at start by (position, XOR) triples, a last odd byte
// cutting it short; unseal gives back the key or one of its own errors, never another key.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <openssl/err.h>

#include "crypto/crypto_error.h"
#include "enclave/enclave_error.h"
#include "enclave/key_file.h"
#include "enclave/key_templates.h"
#include "sealing/base64.h"
#include "sealing/failure.h"
#include "sealing/seal.h"
#include "sealing/unseal.h"

namespace {

using crypto::P256::KeyAgreement::PublicKey;

// The stand-in's one key is a software key. Its blob is a key file holding the key's point, read
// by the tool's own reader, so the reader's and the template's refusals run; a blob of another
// point is another TPM's key, as a TPM refuses a private part that does not match.
const crypto::P256::KeyAgreement::PrivateKey chip;

class StandInKey final : public sealing::EnclaveKey {
 public:
  explicit StandInKey(crypto::ByteView blob)
      : blob_(blob.begin(), blob.end()),
        publicKey_(enclave::enclavePublicKey(enclave::decodeKeyFile(blob).publicArea.publicArea)) {
    if (publicKey_.x963Representation() != chip.publicKey().x963Representation()) {
      throw enclave::EnclaveError(std::string(enclave::foreignKey));
    }
  }
  const PublicKey& publicKey() const override { return publicKey_; }
  crypto::Bytes dataRepresentation() const override { return blob_; }
  crypto::SharedSecret sharedSecretFromKeyAgreement(const PublicKey& peer) override {
    return chip.sharedSecretFromKeyAgreement(peer);
  }

 private:
  crypto::Bytes blob_;
  PublicKey publicKey_;
};

std::unique_ptr<sealing::EnclaveKey> create() {
  enclave::KeyFile file{enclave::enclaveKeyTemplate(), {}};
  file.publicArea.publicArea.unique.ecc = enclave::fromX963(chip.publicKey().x963Representation());
  file.privateArea.size = 1;
  return std::make_unique<StandInKey>(enclave::encodeKeyFile(file));
}

const sealing::KeyService standIn{
    create, [](crypto::ByteView blob) { return std::make_unique<StandInKey>(blob); }};

const crypto::SecretBytes key(40, 0x5A);
sealing::Sealed sealed;

void damage(crypto::SecretBytes& text, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 2 < size && !text.empty(); i += 3)
    text[(std::size_t{data[i]} << 8 | data[i + 1]) % text.size()] ^= data[i + 2];
  if (size % 3 != 0) text.resize(std::min<std::size_t>(text.size(), data[size - 1]));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sealed = sealing::seal(key, standIn);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  sealing::Sealed record = sealed;
  std::string* const members[] = {&record.enclave, &record.ephemeral, &record.box};
  std::string& member = *members[data[0] % 3];
  crypto::SecretBytes bytes = *sealing::base64Decode(member);
  damage(bytes, data + 1, size - 1);
  member = sealing::base64Encode(bytes);
  try {
    if (sealing::unseal(std::move(record), standIn) != key) std::abort();
  } catch (const sealing::Failure&) {
  } catch (const enclave::EnclaveError&) {
  } catch (const crypto::CryptoError&) {
  }
  if (ERR_peek_error() != 0) std::abort();  // a stale entry would be blamed on a later call
  return 0;
}
