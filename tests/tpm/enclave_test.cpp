// The enclave key service against a software TPM. Each test runs under scripts/with-test-tpm,
// beside a fresh swtpm on 127.0.0.1:2321 that serves one connection at a time and has no
// resource manager: Tpm::system() holds that connection until the process ends, so a test that
// opens its own connection or runs openssl leaves Tpm::system() alone.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../support/hex.h"
#include "enclave/enclave_error.h"
#include "enclave/secure_enclave.h"

namespace enclave {
namespace {

using EnclaveKey = SecureEnclave::P256::KeyAgreement::PrivateKey;
using SoftwareKey = crypto::P256::KeyAgreement::PrivateKey;

const char* const scratchEnv = std::getenv("MORVANE_TEST_TPM_DIR");
const std::filesystem::path scratchDir = scratchEnv != nullptr ? scratchEnv : "";

crypto::Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

crypto::SecretBytes bytesOf(const crypto::SharedSecret& secret) {
  return {secret.bytes().begin(), secret.bytes().end()};
}

// The EnclaveError text the action throws.
std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EnclaveError& e) {
    return e.what();
  }
  return "no error";
}

// Standard P-256 ECDH from the software side gives what the TPM gives.
bool agreesWithSoftware(EnclaveKey& key) {
  const SoftwareKey peer;
  return bytesOf(key.sharedSecretFromKeyAgreement(peer.publicKey())) ==
         bytesOf(peer.sharedSecretFromKeyAgreement(key.publicKey()));
}

// The transient objects and the loaded and saved sessions the TPM holds now.
std::size_t liveHandles(Tpm& tpm) {
  std::size_t count = 0;
  for (const TPM2_HANDLE first :
       {TPM2_TRANSIENT_FIRST, TPM2_LOADED_SESSION_FIRST, TPM2_ACTIVE_SESSION_FIRST}) {
    TPMI_YES_NO more = TPM2_NO;
    TPMS_CAPABILITY_DATA* raw = nullptr;
    const TSS2_RC rc = tpm.call([&] {
      return Esys_GetCapability(tpm.esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                TPM2_CAP_HANDLES, first, TPM2_MAX_CAP_HANDLES, &more, &raw);
    });
    const esys::Owned<TPMS_CAPABILITY_DATA> data(raw);
    if (rc != TSS2_RC_SUCCESS) throw std::runtime_error("TPM2_GetCapability failed");
    count += data->data.handles.count;
  }
  return count;
}

TEST(Enclave, AvailableHereAndNoTpmWhereNothingListens) {
  EXPECT_TRUE(SecureEnclave::isAvailable());
  EXPECT_EQ(errorOf([] { Tpm tpm("swtpm:host=127.0.0.1,port=2399"); }), noTpmFound);
}

TEST(Enclave, BlobRestoresTheKeyAndBothAgreeWithSoftwareEcdh) {
  EnclaveKey created = EnclaveKey::create();  // loaded on first use
  const crypto::Bytes blob = created.dataRepresentation();
  {
    // A restored key holds one of the test TPM's three object slots, so two fit side by side.
    EnclaveKey restored(blob);
    EnclaveKey other(EnclaveKey::create().dataRepresentation());
    EXPECT_EQ(restored.publicKey(), created.publicKey());
    EXPECT_NE(other.publicKey(), created.publicKey());
    EXPECT_EQ(restored.dataRepresentation(), blob);
    EXPECT_TRUE(agreesWithSoftware(restored));
    EXPECT_TRUE(agreesWithSoftware(other));
  }
  EXPECT_TRUE(agreesWithSoftware(created));
}

// Each blob this TPM cannot load fails for its reason, and nothing stays loaded.
TEST(Enclave, BadBlobsFailForTheirReasonAndLeaveNothingLoaded) {
  Tpm& tpm = Tpm::system();
  const crypto::Bytes blob = EnclaveKey::create(tpm).dataRepresentation();
  crypto::Bytes tampered = blob;
  tampered.back() ^= 0x01;  // the blob ends with the encrypted sensitive area
  crypto::Bytes noise(1000);
  std::generate(noise.begin(), noise.end(), std::mt19937(7));
  std::vector<std::pair<crypto::ByteView, std::string_view>> cases = {{tampered, foreignKey},
                                                                      {noise, malformedBlob}};
  for (std::size_t n = 0; n < blob.size(); ++n) {
    cases.emplace_back(crypto::ByteView(blob).first(n), malformedBlob);
  }
  for (const auto& [bytes, reason] : cases) {
    EXPECT_EQ(errorOf([&] { EnclaveKey key(bytes, tpm); }), reason) << bytes.size() << " bytes";
  }
  EXPECT_EQ(liveHandles(tpm), 0u);
  // A new owner seed (what TPM2_Clear makes) turns this TPM into another one for the blob.
  const TSS2_RC cleared = tpm.call([&] {
    return Esys_Clear(tpm.esys(), ESYS_TR_RH_LOCKOUT, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE);
  });
  ASSERT_EQ(cleared, TSS2_RC_SUCCESS);
  EXPECT_EQ(errorOf([&] { EnclaveKey key(blob, tpm); }), foreignKey);
  EXPECT_EQ(liveHandles(tpm), 0u);
}

// The test TPM has three object slots and no resource manager: a leak shows within three cycles.
TEST(Enclave, FiftyCyclesLeaveNothingLoaded) {
  Tpm& tpm = Tpm::system();
  for (int cycle = 0; cycle < 50; ++cycle) {
    {
      EnclaveKey created = EnclaveKey::create(tpm);
      ASSERT_TRUE(agreesWithSoftware(created));
      EnclaveKey restored(created.dataRepresentation(), tpm);
      ASSERT_TRUE(agreesWithSoftware(restored));
      ASSERT_EQ(liveHandles(tpm), 0u) << "a key outlived its agreement, in cycle " << cycle;
    }
    ASSERT_EQ(liveHandles(tpm), 0u) << "cycle " << cycle;
  }
}

bool contains(crypto::ByteView haystack, crypto::ByteView needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

void writePem(const std::filesystem::path& path, const char* label, crypto::ByteView der) {
  const std::unique_ptr<FILE, crypto::ossl::Deleter<fclose>> file(fopen(path.c_str(), "w"));
  ASSERT_TRUE(file && PEM_write(file.get(), label, "", der.data(), static_cast<long>(der.size())));
}

// What a bus interposer would see, through the TSS's pcap TCTI (written as the connection
// closes), never holds the secret. The blob, PEM-wrapped, is a key file the TPM ecosystem shares:
// the OpenSSL tpm2 provider loads it into the same TPM and derives the same secret.
TEST(Enclave, SecretStaysOffTheBusAndTpm2ProviderDerivesIt) {
  setenv("TCTI_PCAP_FILE", (scratchDir / "bus.pcap").c_str(), 1);
  const SoftwareKey peer;
  crypto::SecretBytes secret;
  std::array<std::uint8_t, 65> enclaveX963{};
  {
    Tpm tpm("pcap:swtpm:host=127.0.0.1,port=2321");
    EnclaveKey key = EnclaveKey::create(tpm);
    secret = bytesOf(key.sharedSecretFromKeyAgreement(peer.publicKey()));
    enclaveX963 = key.publicKey().x963Representation();
    writePem(scratchDir / "key.pem", "TSS2 PRIVATE KEY", key.dataRepresentation());
  }
  const crypto::Bytes bus = readFile(scratchDir / "bus.pcap");
  const auto& peerX963 = peer.publicKey().x963Representation();
  EXPECT_TRUE(contains(bus, crypto::ByteView(enclaveX963).subspan(1, 32)))
      << "the capture lacks the responses";
  EXPECT_FALSE(contains(bus, crypto::ByteView(peerX963).subspan(1, 32)))
      << "the peer point crossed the bus unblinded";
  EXPECT_FALSE(contains(bus, secret)) << "the shared secret crossed the bus in clear";

  // SubjectPublicKeyInfo of an uncompressed P-256 point, up to the point's bytes.
  crypto::Bytes spki =
      testing_support::unhex("3059301306072a8648ce3d020106082a8648ce3d030107034200");
  spki.insert(spki.end(), peerX963.begin(), peerX963.end());
  writePem(scratchDir / "peer.pem", "PUBLIC KEY", spki);
  // Our connection is closed: the swtpm serves one at a time.
  const std::string command = "cd '" + scratchDir.string() +
                              "' && timeout 120 openssl pkeyutl -provider tpm2 -provider default"
                              " -derive -inkey key.pem -peerkey peer.pem -out secret.bin";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const crypto::Bytes out = readFile(scratchDir / "secret.bin");
  EXPECT_EQ(crypto::SecretBytes(out.begin(), out.end()), secret);
}

}  // namespace
}  // namespace enclave
