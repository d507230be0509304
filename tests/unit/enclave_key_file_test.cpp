// SPDX-License-Identifier: Apache-2.0
#include "enclave/key_file.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"

namespace enclave {
namespace {

crypto::Bytes unhex(const std::string& hex) {
  crypto::Bytes bytes(hex.size() / 2);
  OPENSSL_hexstr2buf_ex(bytes.data(), bytes.size(), nullptr, hex.c_str(), '\0');
  return bytes;
}

const std::string gx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const std::string gy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
// A valid key file: a SEQUENCE of OID, emptyAuth, parent, then OCTET STRINGs of an enclave key's
// TPM2B_PUBLIC holding the P-256 generator and of an opaque TPM2B_PRIVATE.
const std::string valid = "30819106066781050a0103a0030101ff020440000001" +
                          ("045800560023000b00020472000000100010000300100020" + gx + "0020" + gy) +
                          "04220020" + std::string(64, 'a');

TEST(KeyFile, RoundTripsInCanonicalDerAndRejectsAnythingElse) {
  const KeyFile file = decodeKeyFile(unhex(valid));
  EXPECT_TRUE(std::ranges::equal(enclavePublicKey(file.publicArea.publicArea).x963Representation(),
                                 unhex("04" + gx + gy)));
  EXPECT_EQ(encodeKeyFile(file), unhex(valid));
  const std::string providerForm = std::string(valid).replace(valid.find("0101ff"), 6, "010101");
  EXPECT_EQ(encodeKeyFile(decodeKeyFile(unhex(providerForm))), unhex(valid));  // TRUE as 0x01

  // Forms the DER re-encoding cannot tell apart (fuzz/corpus holds the others): an empty private
  // area, and below, other templates. decodeKeyFile and enclavePublicKey throw only malformedBlob.
  EXPECT_THROW(decodeKeyFile(encodeKeyFile({file.publicArea, {}})), EnclaveError);
  for (std::size_t n = 0; n < valid.size(); n += 2)
    EXPECT_THROW(decodeKeyFile(unhex(valid.substr(0, n))), EnclaveError) << n / 2 << " bytes";
  // Private blobs in OCTET STRINGs of 127, 128, 255, 256 and 302 bytes: each edge of DER's lengths.
  for (const UINT16 size : {125, 126, 253, 254, 300}) {
    const crypto::Bytes der = encodeKeyFile({file.publicArea, {size, {}}});
    EXPECT_EQ(encodeKeyFile(decodeKeyFile(der)), der) << size;
  }
  EXPECT_TRUE(std::ranges::equal(
      crypto::ByteView(encodeKeyFile({file.publicArea, {300, {}}})).first(4), unhex("3082019f")));

  void (*const faults[])(TPMT_PUBLIC&) = {
      [](TPMT_PUBLIC& a) { a.type = TPM2_ALG_RSA; },
      [](TPMT_PUBLIC& a) { a.objectAttributes |= TPMA_OBJECT_SIGN_ENCRYPT; },
      [](TPMT_PUBLIC& a) { a.parameters.eccDetail.curveID = TPM2_ECC_NIST_P384; },
      [](TPMT_PUBLIC& a) { a.authPolicy.size = 32; },
      [](TPMT_PUBLIC& a) { a.unique.ecc.x.size = 0; },
      [](TPMT_PUBLIC& a) { a.unique.ecc.y.size = 33; },
      [](TPMT_PUBLIC& a) { a.unique.ecc.y.buffer[31] ^= 0x01; },  // off the curve
  };
  for (std::size_t i = 0; i < std::size(faults); ++i) {
    TPMT_PUBLIC changed = file.publicArea.publicArea;
    faults[i](changed);
    EXPECT_THROW(enclavePublicKey(changed), EnclaveError) << "fault " << i;
    EXPECT_THROW(decodeKeyFile(encodeKeyFile({{0, changed}, file.privateArea})), EnclaveError);
  }
  // A TPM may drop a coordinate's leading zero bytes: shorter coordinates are padded on the left.
  TPMS_ECC_POINT shortX = file.publicArea.publicArea.unique.ecc;
  shortX.x.size = 31;
  std::array<std::uint8_t, 65> x963{};
  ASSERT_TRUE(toX963(shortX, x963));
  EXPECT_TRUE(std::ranges::equal(x963, unhex("0400" + gx.substr(0, 62) + gy)));
}

}  // namespace
}  // namespace enclave
