#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "enclave/secure_enclave.h"
#include "test_tpm.h"

namespace enclave {
namespace {

bool contains(crypto::ByteView haystack, crypto::ByteView needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

crypto::ByteView xOf(const crypto::P256::KeyAgreement::PublicKey& key) {
  return crypto::ByteView(key.x963Representation()).subspan(1, 32);
}

// What a bus interposer would see: every command and response, through the TSS's pcap TCTI
// (written as the connection closes).
TEST(EnclaveBus, SharedSecretNeverCrossesInClear) {
  const auto capture = testtpm::scratchDir() / "bus.pcap";
  setenv("TCTI_PCAP_FILE", capture.c_str(), 1);
  const crypto::P256::KeyAgreement::PrivateKey peer;
  std::optional<crypto::SecretBytes> secret;
  std::optional<crypto::P256::KeyAgreement::PublicKey> enclavePublic;
  {
    Tpm tpm("pcap:" + testtpm::tctiFor(testtpm::mainPort));
    auto key = SecureEnclave::P256::KeyAgreement::PrivateKey::create(tpm);
    secret = testtpm::bytesOf(key.sharedSecretFromKeyAgreement(peer.publicKey()));
    enclavePublic = key.publicKey();
  }
  ASSERT_EQ(secret, testtpm::bytesOf(peer.sharedSecretFromKeyAgreement(*enclavePublic)));

  const crypto::Bytes bus = testtpm::readFile(capture);
  EXPECT_TRUE(contains(bus, xOf(peer.publicKey()))) << "the capture lacks the commands";
  EXPECT_TRUE(contains(bus, xOf(*enclavePublic))) << "the capture lacks the responses";
  EXPECT_FALSE(contains(bus, *secret)) << "the shared secret crossed the bus in clear";
}

}  // namespace
}  // namespace enclave
