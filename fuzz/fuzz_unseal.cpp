// Unseal's input path (members, key file, point, box) against a software stand-in for the TPM.
// One record is sealed at start; each input damages it, in its JSON text or in the bytes of one
// member, by (position, XOR) triples, a last odd byte cutting the member short. Unseal must then
// give back the sealed key or fail with one of its own errors: never a crash, never another key.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crypto/crypto_error.h"
#include "enclave/enclave_error.h"
#include "sealing/base64.h"
#include "sealing/failure.h"
#include "sealing/seal.h"
#include "sealing/unseal.h"
#include "software_enclave.h"

namespace {

const crypto::SecretBytes key(40, 0x5A);
sealing::Sealed sealed;

template <class Text>
void damage(Text& text, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 2 < size && !text.empty(); i += 3) {
    text[(std::size_t{data[i]} << 8 | data[i + 1]) % text.size()] ^= data[i + 2];
  }
  if (size % 3 != 0) text.resize(std::min<std::size_t>(text.size(), data[size - 1]));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sealed = sealing::seal(key, fuzzing::softwareKeyService());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::optional<sealing::Sealed> record = sealed;
  if (data[0] % 4 == 0) {
    std::string json = sealing::toJson(sealed);
    damage(json, data + 1, size - 1);
    record = sealing::fromJson(crypto::bytesOf(json));
  } else {
    std::string& member = data[0] % 4 == 1   ? record->enclave
                          : data[0] % 4 == 2 ? record->ephemeral
                                             : record->box;
    crypto::SecretBytes bytes = *sealing::base64Decode(member);
    damage(bytes, data + 1, size - 1);
    member = sealing::base64Encode(bytes);
  }
  if (!record) return 0;
  try {
    if (sealing::unseal(std::move(*record), fuzzing::softwareKeyService()) != key) std::abort();
  } catch (const sealing::Failure&) {
  } catch (const enclave::EnclaveError&) {
  } catch (const crypto::CryptoError&) {
  }
  return 0;
}
