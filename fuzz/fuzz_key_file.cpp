// The TPM key file reader on arbitrary bytes (the "enclave" member of a record is untrusted):
// it either throws EnclaveError or accepts the canonical encoding of what it returns, where
// only the emptyAuth byte may read 0x01 in place of 0xFF.
#include <cstdint>
#include <cstdlib>

#include "enclave/enclave_error.h"
#include "enclave/key_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const crypto::ByteView input(data, size);
  crypto::Bytes encoded;
  try {
    encoded = enclave::encodeKeyFile(enclave::decodeKeyFile(input));
  } catch (const enclave::EnclaveError&) {
    return 0;
  }
  if (encoded.size() != size) std::abort();
  int spellings = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (encoded[i] == input[i]) continue;
    if (encoded[i] != 0xFF || input[i] != 0x01 || ++spellings > 1) std::abort();
  }
  return 0;
}
