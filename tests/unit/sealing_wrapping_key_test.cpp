#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/hkdf.h"
#include "sealing/wrapping_key.h"
#include "support/hex.h"

namespace sealing {
namespace {

using crypto::P256::KeyAgreement::PublicKey;

crypto::SecretBytes fromHex(std::string_view hex) {
  return testing_support::unhex<crypto::SecretBytes>(hex);
}

// One block of tests/vectors/wrapping_key.txt (made by make_wrapping_key_vectors.py with
// python3-cryptography and checked with `openssl kdf`).
struct Vector {
  std::string name;
  std::map<std::string, crypto::SecretBytes> fields;
  const crypto::SecretBytes& operator[](const std::string& field) const { return fields.at(field); }
};

std::vector<Vector> loadVectors() {
  std::ifstream file(MORVANE_VECTORS_DIR "/wrapping_key.txt");
  std::vector<Vector> vectors(1);
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with("# pair ")) {
      vectors.back().name = line.substr(7, line.find(':') - 7);
    } else if (line.empty()) {
      if (!vectors.back().fields.empty()) vectors.emplace_back();
    } else if (!line.starts_with("#")) {
      const std::size_t equals = line.find(" = ");
      vectors.back().fields[line.substr(0, equals)] = fromHex(line.substr(equals + 3));
    }
  }
  if (vectors.back().fields.empty()) vectors.pop_back();
  return vectors;
}

crypto::SecretBytes infoOf(const PublicKey& first, const PublicKey& second) {
  crypto::SecretBytes info(first.x963Representation().begin(), first.x963Representation().end());
  info.insert(info.end(), second.x963Representation().begin(), second.x963Representation().end());
  return info;
}

crypto::SecretBytes bytesOf(const crypto::SymmetricKey& key) {
  return {key.bytes().begin(), key.bytes().end()};
}

TEST(WrappingKey, SaltIsTheAsciiLabel) {
  EXPECT_EQ(std::string(salt.begin(), salt.end()), "morvane keystore 2");
}

TEST(WrappingKey, VectorFileIsComplete) {
  const std::vector<Vector> vectors = loadVectors();
  ASSERT_GE(vectors.size(), 4u);
  for (const Vector& v : vectors) EXPECT_EQ(v.fields.size(), 6u) << v.name;
}

class WrappingKeyVector : public testing::TestWithParam<Vector> {
 protected:
  const Vector& v = GetParam();
  const crypto::SharedSecret shared{v["sharedSecret"]};
  const PublicKey enclave = PublicKey::fromX963(v["enclavePoint"]);
  const PublicKey ephemeral = PublicKey::fromX963(v["ephemeralPoint"]);
};

TEST_P(WrappingKeyVector, MatchesIndependentDerivation) {
  EXPECT_EQ(bytesOf(wrappingKey(shared, enclave, ephemeral)), v["wrappingKey"]);
}

TEST_P(WrappingKeyVector, BothSidesAgreeOnTheSharedSecret) {
  using crypto::P256::KeyAgreement::privateKeyForTesting;
  const auto enclavePrivate = privateKeyForTesting(v["enclaveScalar"]);
  const auto ephemeralPrivate = privateKeyForTesting(v["ephemeralScalar"]);
  EXPECT_EQ(enclavePrivate.publicKey(), enclave);
  EXPECT_EQ(ephemeralPrivate.publicKey(), ephemeral);
  const crypto::SharedSecret atSealing = ephemeralPrivate.sharedSecretFromKeyAgreement(enclave);
  const crypto::SharedSecret atUnsealing = enclavePrivate.sharedSecretFromKeyAgreement(ephemeral);
  EXPECT_EQ(crypto::SecretBytes(atSealing.bytes().begin(), atSealing.bytes().end()),
            v["sharedSecret"]);
  EXPECT_EQ(bytesOf(wrappingKey(atUnsealing, enclave, ephemeral)), v["wrappingKey"]);
}

TEST_P(WrappingKeyVector, SwappedRolesGiveAnotherKey) {
  EXPECT_NE(bytesOf(wrappingKey(shared, ephemeral, enclave)), v["wrappingKey"]);
}

TEST_P(WrappingKeyVector, EachSaltByteMatters) {
  const crypto::SecretBytes info = infoOf(enclave, ephemeral);
  ASSERT_EQ(info.size(), 130u);
  ASSERT_EQ(crypto::hkdfSha256(shared.bytes(), salt, info, 32), v["wrappingKey"]);
  for (std::size_t i = 0; i < salt.size(); ++i) {
    auto changed = salt;
    changed[i] ^= 0x01;
    EXPECT_NE(crypto::hkdfSha256(shared.bytes(), changed, info, 32), v["wrappingKey"]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(File, WrappingKeyVector, testing::ValuesIn(loadVectors()),
                         [](const testing::TestParamInfo<Vector>& row) {
                           return "Pair" + row.param.name;
                         });

}  // namespace
}  // namespace sealing
