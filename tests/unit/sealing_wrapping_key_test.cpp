#include "sealing/wrapping_key.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "crypto/hkdf.h"
#include "support/hex.h"

namespace sealing {
namespace {

using crypto::P256::KeyAgreement::privateKeyForTesting;
using crypto::P256::KeyAgreement::PublicKey;
using testing_support::hex;
using testing_support::unhex;

TEST(WrappingKey, MatchesEveryIndependentVector) {
  // Written by make_wrapping_key_vectors.py with python3-cryptography: field name to hex.
  std::vector<std::map<std::string, std::string>> vectors;
  std::ifstream file(MORVANE_VECTORS_DIR "/wrapping_key.txt");
  for (std::string line; std::getline(file, line);) {
    const std::size_t equals = line.find(" = ");
    if (line.starts_with("# pair")) {
      vectors.emplace_back();
    } else if (!line.starts_with("#") && equals != std::string::npos) {
      vectors.back()[line.substr(0, equals)] = line.substr(equals + 3);
    }
  }
  ASSERT_GE(vectors.size(), 4u);
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.at("wrappingKey"));
    const crypto::SharedSecret shared(unhex<crypto::SecretBytes>(v.at("sharedSecret")));
    const PublicKey enclave = PublicKey::fromX963(unhex(v.at("enclavePoint")));
    const PublicKey ephemeral = PublicKey::fromX963(unhex(v.at("ephemeralPoint")));
    const auto ephemeralKey = privateKeyForTesting(unhex(v.at("ephemeralScalar")));
    EXPECT_EQ(hex(ephemeralKey.sharedSecretFromKeyAgreement(enclave).bytes()),
              v.at("sharedSecret"));
    EXPECT_EQ(hex(wrappingKey(shared, enclave, ephemeral).bytes()), v.at("wrappingKey"));
    EXPECT_NE(hex(wrappingKey(shared, ephemeral, enclave).bytes()), v.at("wrappingKey"));

    const crypto::Bytes info = unhex(v.at("enclavePoint") + v.at("ephemeralPoint"));
    auto otherSalt = salt;
    otherSalt[0] ^= 0x01;
    EXPECT_EQ(hex(crypto::hkdfSha256(shared.bytes(), salt, info, 32)), v.at("wrappingKey"));
    EXPECT_NE(hex(crypto::hkdfSha256(shared.bytes(), otherSalt, info, 32)), v.at("wrappingKey"));
  }
}

}  // namespace
}  // namespace sealing
