// The enclave key service against a software TPM. Each test runs under scripts/with-test-tpm,
// beside a fresh swtpm on 127.0.0.1:2321 that serves one connection at a time and has no
// resource manager: Tpm::system() holds that connection until the process ends, so a test that
// opens its own connection or runs openssl leaves Tpm::system() alone.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
#include <thread>
#include <utility>
#include <vector>

#include "enclave/enclave_error.h"
#include "enclave/secure_enclave.h"

namespace enclave {
namespace {

using EnclaveKey = SecureEnclave::P256::KeyAgreement::PrivateKey;
using SoftwareKey = crypto::P256::KeyAgreement::PrivateKey;

std::string tctiFor(int port) { return "swtpm:host=127.0.0.1,port=" + std::to_string(port); }

std::filesystem::path scratchDir() {
  const char* dir = std::getenv("MORVANE_TEST_TPM_DIR");
  if (dir == nullptr) throw std::runtime_error("MORVANE_TEST_TPM_DIR is not set");
  return dir;
}

crypto::Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

crypto::SecretBytes bytesOf(const crypto::SharedSecret& secret) {
  return {secret.bytes().begin(), secret.bytes().end()};
}

// Standard P-256 ECDH from the software side gives what the TPM gives.
bool agreesWithSoftware(EnclaveKey& key) {
  const SoftwareKey peer;
  return bytesOf(key.sharedSecretFromKeyAgreement(peer.publicKey())) ==
         bytesOf(peer.sharedSecretFromKeyAgreement(key.publicKey()));
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

// A blob made by another TPM: a fresh swtpm, our child on port 2331, stopped before returning.
crypto::Bytes blobOfAnotherTpm() {
  const std::filesystem::path stateDir = scratchDir() / "other-state";
  std::filesystem::create_directories(stateDir);
  const std::string state = "dir=" + stateDir.string();
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("swtpm", "swtpm", "socket", "--tpm2", "--flags", "not-need-init", "--server",
           "type=tcp,port=2331,bindaddr=127.0.0.1", "--ctrl",
           "type=tcp,port=2332,bindaddr=127.0.0.1", "--tpmstate", state.c_str(), nullptr);
    _exit(127);
  }
  if (pid < 0) throw std::runtime_error("cannot start swtpm");
  const std::unique_ptr<const pid_t, void (*)(const pid_t*)> stop(&pid, [](const pid_t* child) {
    kill(*child, SIGTERM);
    waitpid(*child, nullptr, 0);
  });
  for (int attempt = 1;; ++attempt) {  // swtpm binds its port a moment after it starts
    try {
      Tpm tpm(tctiFor(2331));
      return EnclaveKey::create(tpm).dataRepresentation();
    } catch (const EnclaveError&) {
      if (attempt == 500) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(Enclave, AvailableHereAndNoTpmWhereNothingListens) {
  EXPECT_TRUE(SecureEnclave::isAvailable());
  EXPECT_EQ(errorOf([] { Tpm tpm(tctiFor(2399)); }), noTpmFound);
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
  const crypto::Bytes othersBlob = blobOfAnotherTpm();
  Tpm& tpm = Tpm::system();
  const crypto::Bytes blob = EnclaveKey::create(tpm).dataRepresentation();
  crypto::Bytes tampered = blob;
  tampered.back() ^= 0x01;  // the blob ends with the encrypted sensitive area
  std::mt19937 random(7);
  crypto::Bytes noise(1000);
  std::generate(noise.begin(), noise.end(), [&] { return static_cast<std::uint8_t>(random()); });
  std::vector<std::pair<crypto::ByteView, std::string_view>> cases = {
      {othersBlob, foreignKey},
      {tampered, foreignKey},
      {noise, malformedBlob},
      {crypto::ByteView(noise).first(64), malformedBlob}};
  for (std::size_t n = 0; n < blob.size(); ++n) {
    cases.emplace_back(crypto::ByteView(blob).first(n), malformedBlob);
  }
  for (const auto& [bytes, reason] : cases) {
    EXPECT_EQ(errorOf([&] { EnclaveKey key(bytes, tpm); }), reason) << bytes.size() << " bytes";
  }
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
      ASSERT_EQ(liveHandles(tpm), 2u) << "the two keys alone, in cycle " << cycle;
    }
    ASSERT_EQ(liveHandles(tpm), 0u) << "cycle " << cycle;
  }
}

bool contains(crypto::ByteView haystack, crypto::ByteView needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

// What a bus interposer would see: every command and response, through the TSS's pcap TCTI
// (written as the connection closes).
TEST(Enclave, SharedSecretNeverCrossesTheBusInClear) {
  const auto capture = scratchDir() / "bus.pcap";
  setenv("TCTI_PCAP_FILE", capture.c_str(), 1);
  const SoftwareKey peer;
  crypto::SecretBytes secret;
  crypto::Bytes enclaveX963;
  {
    Tpm tpm("pcap:" + tctiFor(2321));
    EnclaveKey key = EnclaveKey::create(tpm);
    secret = bytesOf(key.sharedSecretFromKeyAgreement(peer.publicKey()));
    enclaveX963.assign(key.publicKey().x963Representation().begin(),
                       key.publicKey().x963Representation().end());
  }
  const crypto::Bytes bus = readFile(capture);
  const auto peerX = crypto::ByteView(peer.publicKey().x963Representation()).subspan(1, 32);
  EXPECT_TRUE(contains(bus, peerX)) << "the capture lacks the commands";
  EXPECT_TRUE(contains(bus, crypto::ByteView(enclaveX963).subspan(1, 32)))
      << "the capture lacks the responses";
  EXPECT_FALSE(contains(bus, secret)) << "the shared secret crossed the bus in clear";
}

void writePem(const std::filesystem::path& path, const char* label, crypto::ByteView der) {
  const std::unique_ptr<FILE, crypto::ossl::Deleter<fclose>> file(fopen(path.c_str(), "w"));
  ASSERT_TRUE(file && PEM_write(file.get(), label, "", der.data(), static_cast<long>(der.size())));
}

// The blob, PEM-wrapped, is a key file the TPM ecosystem shares: the OpenSSL tpm2 provider
// loads it into the same TPM and derives the same secret.
TEST(Enclave, Tpm2ProviderDerivesTheSameSecret) {
  const auto dir = scratchDir();
  const SoftwareKey peer;
  crypto::SecretBytes expected;
  {
    Tpm tpm(tctiFor(2321));
    const EnclaveKey key = EnclaveKey::create(tpm);
    writePem(dir / "key.pem", "TSS2 PRIVATE KEY", key.dataRepresentation());
    expected = bytesOf(peer.sharedSecretFromKeyAgreement(key.publicKey()));
  }
  // SubjectPublicKeyInfo of an uncompressed P-256 point, up to the point's bytes.
  crypto::Bytes spki = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                        0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                        0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
  const auto& point = peer.publicKey().x963Representation();
  spki.insert(spki.end(), point.begin(), point.end());
  writePem(dir / "peer.pem", "PUBLIC KEY", spki);
  // Our connection is closed: the swtpm serves one at a time.
  const std::string command = "cd '" + dir.string() +
                              "' && timeout 120 openssl pkeyutl -provider tpm2 -provider default"
                              " -derive -inkey key.pem -peerkey peer.pem -out secret.bin";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const crypto::Bytes out = readFile(dir / "secret.bin");
  EXPECT_EQ(crypto::SecretBytes(out.begin(), out.end()), expected);
}

}  // namespace
}  // namespace enclave
