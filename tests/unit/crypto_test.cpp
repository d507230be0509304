#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include <openssl/crypto.h>
#include <openssl/ecerr.h>
#include <openssl/err.h>
#include <openssl/evperr.h>

#include "crypto/blinding.h"
#include "crypto/crypto_error.h"
#include "sealing/wrapping_key.h"

namespace crypto {
namespace {

// A failure inside OpenSSL names the operation and every reason on the queue in one line, and
// leaves the queue empty, so no stale entry is blamed on a later call.
TEST(CryptoError, DrainsTheOpenSslQueueIntoOneLine) {
  ERR_raise(ERR_LIB_EVP, EVP_R_BAD_DECRYPT);
  ERR_raise(ERR_LIB_EC, EC_R_POINT_IS_NOT_ON_CURVE);
  std::string lines;
  for (const char* operation : {"ECDH", "HKDF"}) {
    try {
      throwLibraryError(operation);
    } catch (const CryptoError& e) {
      lines += e.what() + std::string("\n");
    }
  }
  EXPECT_TRUE(lines.starts_with("OpenSSL ECDH failed: error:") &&
              lines.find("bad decrypt; error:") != std::string::npos &&
              lines.ends_with("point is not on curve\nOpenSSL HKDF failed: no reason given\n") &&
              std::ranges::count(lines, '\n') == 2)
      << lines;
}

// OpenSSL's n-th allocation fails, for each n that the steps of a seal and an unseal reach:
// every step either throws at once or does its whole work.
std::size_t allocations = 0, failAt = 0;  // 0: none fails
void* allocate(std::size_t size, const char*, int) {
  return ++allocations == failAt ? nullptr : std::malloc(size);
}
const bool allocatorSet = CRYPTO_set_mem_functions(allocate, nullptr, nullptr);  // before use

TEST(Crypto, EveryFailedAllocationThrows) {
  ASSERT_TRUE(allocatorSet);
  using P256::KeyAgreement::PublicKey;
  const P256::KeyAgreement::PrivateKey ours, theirs;
  const SymmetricKey key = sealing::wrappingKey(
      theirs.sharedSecretFromKeyAgreement(ours.publicKey()), ours.publicKey(), theirs.publicKey());
  const ByteView x = ByteView(ours.publicKey().x963Representation()).subspan(1, 32);
  for (failAt = 1; allocations >= failAt - 1; ++failAt) {
    allocations = 0;
    ERR_clear_error();  // OpenSSL may leave one behind a failure it recovered from
    try {
      const PublicKey peer = PublicKey::fromX963(theirs.publicKey().x963Representation());
      const SymmetricKey k =
          sealing::wrappingKey(ours.sharedSecretFromKeyAgreement(peer), ours.publicKey(), peer);
      const Blinding blinding(ours.publicKey());  // unblinding r·Q itself gives Q's x
      const SharedSecret unblinded = blinding.unblind(blinding.blindedPoint().x963Representation());
      EXPECT_TRUE(std::ranges::equal(k.bytes(), key.bytes()) &&
                  std::ranges::equal(unblinded.bytes(), x) &&
                  std::ranges::equal(AES::GCM::open(AES::GCM::seal(x, k), k), x))
          << failAt;
    } catch (const CryptoError& e) {
      EXPECT_NE(e.what(), authenticationFailure) << failAt;
      EXPECT_EQ(ERR_peek_error(), 0u) << failAt;  // a stale entry would be blamed on a later call
    }
  }
  failAt = 0;
}

}  // namespace
}  // namespace crypto
