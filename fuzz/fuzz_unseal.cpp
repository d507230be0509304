// What unseal does with its input before and around the chip (members, key file, point, box),
// against a software stand-in for the TPM. One record is sealed at start; each input damages it,
// in its JSON text or in the bytes of one member, or is taken as a sealed-key text of its own.
// Whatever comes in, unseal either fails with one of its errors or gives back the sealed key:
// never a crash, another error or another key.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crypto/crypto_error.h"
#include "enclave/enclave_error.h"
#include "sealing/base64.h"
#include "sealing/failure.h"
#include "sealing/seal.h"
#include "sealing/unseal.h"
#include "software_enclave.h"

namespace {

const crypto::Bytes key(40, 0x5A);
sealing::Sealed sealed;

// The outcome of unsealing a record; aborts on anything but the key or a known error.
void unsealChecked(sealing::Sealed record) {
  try {
    if (sealing::unseal(std::move(record), fuzzing::softwareKeyService()) !=
        crypto::SecretBytes(key.begin(), key.end())) {
      std::abort();
    }
  } catch (const sealing::Failure&) {
  } catch (const enclave::EnclaveError&) {
  } catch (const crypto::CryptoError&) {
  }
}

// XORs each (position, value) pair of the input into text.
template <class Text>
void damage(Text& text, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 2 < size && !text.empty(); i += 3) {
    text[(std::size_t{data[i]} << 8 | data[i + 1]) % text.size()] ^= data[i + 2];
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sealed = sealing::seal(key, fuzzing::softwareKeyService());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0] % 5;
  ++data;
  --size;
  if (mode == 0) {  // a sealed-key text of its own: no key to compare with, only the errors
    const auto record = sealing::readSealedKeyText({reinterpret_cast<const char*>(data), size});
    if (!record) return 0;
    try {
      sealing::unseal(*record, fuzzing::softwareKeyService());
    } catch (const sealing::Failure&) {
    } catch (const enclave::EnclaveError&) {
    } catch (const crypto::CryptoError&) {
    }
  } else if (mode == 1) {  // the JSON text
    std::string json = sealing::toJson(sealed);
    damage(json, data, size);
    if (const auto record = sealing::fromJson(crypto::bytesOf(json))) unsealChecked(*record);
  } else {  // the bytes of one member
    sealing::Sealed record = sealed;
    std::string& member = mode == 2 ? record.enclave : mode == 3 ? record.ephemeral : record.box;
    crypto::SecretBytes bytes = *sealing::base64Decode(member);
    damage(bytes, data, size);
    if (size % 3 != 0) bytes.resize(std::min<std::size_t>(bytes.size(), data[size - 1]));
    member = sealing::base64Encode(bytes);
    unsealChecked(std::move(record));
  }
  return 0;
}
