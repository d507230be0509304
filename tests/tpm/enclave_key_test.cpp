#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "enclave/enclave_error.h"
#include "enclave/key_file.h"
#include "enclave/secure_enclave.h"
#include "test_tpm.h"

namespace enclave {
namespace {

using EnclaveKey = SecureEnclave::P256::KeyAgreement::PrivateKey;
using SoftwareKey = crypto::P256::KeyAgreement::PrivateKey;
using testtpm::bytesOf;
using testtpm::liveHandles;

// What restoring gives: "restored", or the error's text.
std::string restoreOutcome(crypto::ByteView blob, Tpm& tpm) {
  try {
    const EnclaveKey key(blob, tpm);
    return "restored";
  } catch (const EnclaveError& e) {
    return e.what();
  }
}

// Standard P-256 ECDH from the software side gives what the TPM gives.
void expectAgreesWithSoftware(EnclaveKey& key) {
  const SoftwareKey peer;
  EXPECT_EQ(bytesOf(key.sharedSecretFromKeyAgreement(peer.publicKey())),
            bytesOf(peer.sharedSecretFromKeyAgreement(key.publicKey())));
}

TEST(Enclave, IsAvailable) { EXPECT_TRUE(SecureEnclave::isAvailable()); }

TEST(Enclave, NothingListeningIsNoTpm) {
  try {
    Tpm tpm(testtpm::tctiFor(2399));
    ADD_FAILURE() << "connected to nothing";
  } catch (const EnclaveError& e) {
    EXPECT_EQ(e.what(), noTpmFound);
  }
}

TEST(Enclave, BlobRestoresTheSameKey) {
  const EnclaveKey key = EnclaveKey::create();
  EXPECT_NE(EnclaveKey::create().publicKey(), key.publicKey());
  const crypto::Bytes blob = key.dataRepresentation();
  const EnclaveKey restored(blob);
  EXPECT_EQ(restored.publicKey(), key.publicKey());
  EXPECT_EQ(restored.dataRepresentation(), blob);
}

TEST(Enclave, CreatedKeyAgreesWithSoftwareEcdh) {
  EnclaveKey key = EnclaveKey::create();
  expectAgreesWithSoftware(key);
  expectAgreesWithSoftware(key);
}

TEST(Enclave, RestoredKeyAgreesWithSoftwareEcdh) {
  EnclaveKey restored(EnclaveKey::create().dataRepresentation());
  expectAgreesWithSoftware(restored);
}

// As another process would: a connection of its own with nothing carried over.
TEST(Enclave, BlobRestoresInAnotherConnection) {
  crypto::Bytes blob;
  std::optional<crypto::P256::KeyAgreement::PublicKey> publicKey;
  {
    Tpm first(testtpm::tctiFor(testtpm::mainPort));
    EnclaveKey key = EnclaveKey::create(first);
    expectAgreesWithSoftware(key);
    blob = key.dataRepresentation();
    publicKey = key.publicKey();
  }
  Tpm second(testtpm::tctiFor(testtpm::mainPort));
  EnclaveKey restored(blob, second);
  EXPECT_EQ(restored.publicKey(), publicKey);
  expectAgreesWithSoftware(restored);
}

// The key must not be bound to one power cycle of the chip.
TEST(Enclave, BlobRestoresAfterTpmRestart) {
  const auto state = testtpm::scratchDir() / "restarted-state";
  crypto::Bytes blob;
  {
    testtpm::Swtpm chip(2331, state);
    Tpm tpm(chip.tcti());
    blob = EnclaveKey::create(tpm).dataRepresentation();
  }
  testtpm::Swtpm chip(2331, state);
  Tpm tpm(chip.tcti());
  EnclaveKey restored(blob, tpm);
  expectAgreesWithSoftware(restored);
}

TEST(Enclave, AnotherTpmsBlobIsForeign) {
  testtpm::Swtpm other(2331, testtpm::scratchDir() / "other-state");
  crypto::Bytes blob;
  {
    Tpm otherTpm(other.tcti());
    blob = EnclaveKey::create(otherTpm).dataRepresentation();
  }
  EXPECT_EQ(restoreOutcome(blob, Tpm::system()), foreignKey);
  EXPECT_TRUE(liveHandles(Tpm::system()).empty());
}

// A blob that parses but whose private area was not sealed by this TPM for this public area.
struct Tampering {
  std::string name;
  std::function<void(crypto::Bytes& blob, const crypto::Bytes& otherBlob)> apply;
};

// Names the case in test listings instead of a dump of its bytes.
void PrintTo(const Tampering& c, std::ostream* os) { *os << c.name; }

class TamperedBlob : public testing::TestWithParam<Tampering> {};

std::size_t privateAreaSize(const crypto::Bytes& blob) {
  return decodeKeyFile(blob).privateArea.size;  // the private area ends the blob
}

TEST_P(TamperedBlob, IsForeignAndLeavesNothingLoaded) {
  Tpm& tpm = Tpm::system();
  crypto::Bytes blob = EnclaveKey::create(tpm).dataRepresentation();
  const crypto::Bytes otherBlob = EnclaveKey::create(tpm).dataRepresentation();
  GetParam().apply(blob, otherBlob);
  EXPECT_EQ(restoreOutcome(blob, tpm), foreignKey);
  EXPECT_TRUE(liveHandles(tpm).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Enclave, TamperedBlob,
    testing::Values(
        // TPM2B_PRIVATE: an HMAC (size, 32 bytes) over the encrypted sensitive area that follows.
        Tampering{"integrityHmac",
                  [](crypto::Bytes& blob, const crypto::Bytes&) {
                    blob[blob.size() - privateAreaSize(blob) + 2] ^= 0x01;
                  }},
        Tampering{"encryptedSensitive",
                  [](crypto::Bytes& blob, const crypto::Bytes&) { blob[blob.size() - 9] ^= 0x80; }},
        Tampering{"privateAreaOfAnotherKey",
                  [](crypto::Bytes& blob, const crypto::Bytes& otherBlob) {
                    KeyFile file = decodeKeyFile(blob);
                    file.privateArea = decodeKeyFile(otherBlob).privateArea;
                    blob = encodeKeyFile(file);
                  }}),
    [](const testing::TestParamInfo<Tampering>& test) { return test.param.name; });

TEST(Enclave, TruncatedAndRandomBlobsFailCleanly) {
  Tpm& tpm = Tpm::system();
  const crypto::Bytes blob = EnclaveKey::create(tpm).dataRepresentation();
  for (std::size_t n = 0; n < blob.size(); ++n) {
    EXPECT_EQ(restoreOutcome(crypto::ByteView(blob).first(n), tpm), malformedBlob) << n;
  }
  std::mt19937 random(7);
  for (const std::size_t size : {1, 2, 64, 200, 1000}) {
    crypto::Bytes bytes(size);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
    EXPECT_EQ(restoreOutcome(bytes, tpm), malformedBlob) << size;
  }
  EXPECT_TRUE(liveHandles(tpm).empty());
  EnclaveKey key = EnclaveKey::create(tpm);
  expectAgreesWithSoftware(key);
}

// The test TPM has three object slots and no resource manager: a leak shows within three cycles.
TEST(Enclave, FiftyCyclesLeaveNothingLoaded) {
  Tpm& tpm = Tpm::system();
  for (int cycle = 0; cycle < 50; ++cycle) {
    crypto::Bytes blob;
    {
      EnclaveKey key = EnclaveKey::create(tpm);
      expectAgreesWithSoftware(key);
      blob = key.dataRepresentation();
    }
    {
      EnclaveKey restored(blob, tpm);
      expectAgreesWithSoftware(restored);
      ASSERT_EQ(liveHandles(tpm).size(), 1u) << "the key alone, in cycle " << cycle;
    }
    ASSERT_TRUE(liveHandles(tpm).empty()) << "cycle " << cycle;
  }
}

// A live key holds one slot of three (loading takes the parent's too), so two fit side by side.
TEST(Enclave, TwoRestoredKeysAgreeSideBySide) {
  Tpm& tpm = Tpm::system();
  std::vector<crypto::Bytes> blobs;
  for (int i = 0; i < 2; ++i) blobs.push_back(EnclaveKey::create(tpm).dataRepresentation());
  std::vector<EnclaveKey> keys;
  for (const crypto::Bytes& blob : blobs) keys.emplace_back(blob, tpm);
  for (EnclaveKey& key : keys) expectAgreesWithSoftware(key);
}

}  // namespace
}  // namespace enclave
