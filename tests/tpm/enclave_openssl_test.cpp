#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "enclave/secure_enclave.h"
#include "test_tpm.h"

namespace enclave {
namespace {

std::string pem(const std::string& label, crypto::ByteView der) {
  std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), der.data(),
                                static_cast<int>(der.size()));
  base64.resize(static_cast<std::size_t>(n));
  std::string text = "-----BEGIN " + label + "-----\n";
  for (std::size_t i = 0; i < base64.size(); i += 64) text += base64.substr(i, 64) + "\n";
  return text + "-----END " + label + "-----\n";
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// SubjectPublicKeyInfo of an uncompressed P-256 point: everything up to the BIT STRING's bytes.
crypto::Bytes spki(const crypto::P256::KeyAgreement::PublicKey& key) {
  crypto::Bytes der = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                       0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                       0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
  der.insert(der.end(), key.x963Representation().begin(), key.x963Representation().end());
  return der;
}

// The blob, PEM-wrapped, is a key file the TPM ecosystem shares: the OpenSSL tpm2 provider
// loads it into the same TPM and derives the same secret.
TEST(EnclaveOpenssl, Tpm2ProviderDerivesTheSameSecret) {
  const auto dir = testtpm::scratchDir();
  crypto::Bytes blob;
  std::optional<crypto::P256::KeyAgreement::PublicKey> enclavePublic;
  {
    Tpm tpm(testtpm::tctiFor(testtpm::mainPort));
    const auto key = SecureEnclave::P256::KeyAgreement::PrivateKey::create(tpm);
    blob = key.dataRepresentation();
    enclavePublic = key.publicKey();
  }
  // Our connection is closed: the swtpm serves one at a time, and openssl needs two slots.
  const crypto::P256::KeyAgreement::PrivateKey peer;
  writeFile(dir / "key.pem", pem("TSS2 PRIVATE KEY", blob));
  writeFile(dir / "peer.pem", pem("PUBLIC KEY", spki(peer.publicKey())));
  const std::string command =
      "cd '" + dir.string() +
      "' && timeout 120 openssl pkeyutl -provider tpm2 -provider default -derive"
      " -inkey key.pem -peerkey peer.pem -out secret.bin 2>openssl.err";
  const int status = std::system(command.c_str());
  const crypto::Bytes err = testtpm::readFile(dir / "openssl.err");
  ASSERT_EQ(status, 0) << std::string(err.begin(), err.end());

  const crypto::Bytes out = testtpm::readFile(dir / "secret.bin");
  EXPECT_EQ(crypto::SecretBytes(out.begin(), out.end()),
            testtpm::bytesOf(peer.sharedSecretFromKeyAgreement(*enclavePublic)));
}

}  // namespace
}  // namespace enclave
