// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include <openssl/crypto.h>
#include <openssl/err.h>

#include "crypto/blinding.h"
#include "crypto/crypto_error.h"
#include "sealing/wrapping_key.h"

namespace crypto {
namespace {

// OpenSSL's n-th allocation fails, for each n that the steps of a seal and an unseal reach:
// every step either throws, in its own words, or does its whole work.
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
      // One line: the step, each reason queued (error:<code>:<library>::<why>), or none given.
      const std::string_view what = e.what(), why = what.substr(what.find(" failed: ") + 9);
      EXPECT_TRUE(what == invalidPoint || why == "no reason given" ||
                  (what.starts_with("OpenSSL ") && why.starts_with("error:") &&
                   std::ranges::count(why, ':') == 4 * (std::ranges::count(why, ';') + 1)))
          << what;
      EXPECT_EQ(ERR_peek_error(), 0u) << what;  // a stale entry would be blamed on a later call
    }
  }
  failAt = 0;
}

}  // namespace
}  // namespace crypto
