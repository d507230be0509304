#include "enclave/key_file.h"

#include <gtest/gtest.h>
#include <tss2/tss2_mu.h>

#include <iterator>
#include <string>

#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"
#include "support/hex.h"

namespace enclave {
namespace {

using testing_support::hex;
using testing_support::unhex;

// The TCG ECC P-256 SRK ("H template"), and the enclave key: attributes 0x00020472, no
// symmetric algorithm, no scheme. Both with an empty point.
TEST(KeyTemplates, MarshalToTheTcgLayout) {
  const auto marshalled = [](const TPM2B_PUBLIC& area) {
    crypto::Bytes out(sizeof(TPMT_PUBLIC));
    std::size_t size = 0;
    EXPECT_EQ(Tss2_MU_TPMT_PUBLIC_Marshal(&area.publicArea, out.data(), out.size(), &size),
              TSS2_RC_SUCCESS);
    return hex(crypto::ByteView(out).first(size));
  };
  EXPECT_EQ(marshalled(storageRootKeyTemplate()),
            "0023000b00030472000000060080004300100003001000000000");
  EXPECT_EQ(marshalled(enclaveKeyTemplate()), "0023000b000204720000001000100003001000000000");
}

const std::string gx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const std::string gy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
// A valid key file's SEQUENCE contents: OID, emptyAuth, parent, then OCTET STRINGs of an
// enclave key's TPM2B_PUBLIC holding the P-256 generator and of an opaque TPM2B_PRIVATE.
const std::string publicOctets =
    "045800560023000b00020472000000100010000300100020" + gx + "0020" + gy;
const std::string privateOctets = "04220020" + std::string(64, 'a');
const std::string fields = "06066781050a0103a0030101ff020440000001" + publicOctets + privateOctets;
const std::string valid = "308191" + fields;

// The valid file with one piece of its contents replaced, and the SEQUENCE length to match.
std::string replaced(const std::string& piece, const std::string& by) {
  std::string content = fields;
  content.replace(content.find(piece), piece.size(), by);
  const std::size_t length = content.size() / 2;
  return (length < 0x80 ? "30" : "3081") + hex(crypto::Bytes{static_cast<std::uint8_t>(length)}) +
         content;
}

TEST(KeyFile, RoundTripsInCanonicalDerAndRejectsAnythingElse) {
  const KeyFile file = decodeKeyFile(unhex(valid));
  EXPECT_EQ(hex(enclavePublicKey(file.publicArea.publicArea).x963Representation()), "04" + gx + gy);
  EXPECT_EQ(hex(encodeKeyFile(file)), valid);
  // The OpenSSL tpm2 provider writes TRUE as 0x01.
  EXPECT_EQ(hex(encodeKeyFile(decodeKeyFile(unhex(replaced("0101ff", "010101"))))), valid);

  // decodeKeyFile and enclavePublicKey throw nothing but malformedBlob.
  ASSERT_EQ(replaced("", ""), valid);
  const std::string rejected[] = {
      "31" + valid.substr(2),                      // not a SEQUENCE
      valid + "00",                                // bytes after the SEQUENCE
      "30820091" + fields,                         // non-minimal long length
      "3080" + fields + "0000",                    // indefinite length
      replaced("0a0103", "0a0104"),                // importable key OID
      replaced("a0030101ff", ""),                  // emptyAuth missing
      replaced("a0030101ff", "0101ff"),            // emptyAuth not [0] EXPLICIT
      replaced("a0030101ff", "a0050101ff0500"),    // more inside [0]
      replaced("0101ff", "010100"),                // emptyAuth FALSE
      replaced("40000001", "4000000b"),            // endorsement hierarchy parent
      replaced("020440000001", "02810440000001"),  // long form of a short length
      replaced("00020472", "00060472"),            // a signing key
      replaced("04580056", "04580055"),            // TPM2B size not the area's
      replaced(publicOctets, "0459" + publicOctets.substr(4) + "00"),    // after TPM2B_PUBLIC
      replaced(privateOctets, "04020000"),                               // empty TPM2B_PRIVATE
      replaced(privateOctets, "0423" + privateOctets.substr(4) + "00"),  // after TPM2B_PRIVATE
      replaced(privateOctets, privateOctets + "0500"),                   // a sixth element
  };
  for (const std::string& der : rejected) {
    EXPECT_THROW(decodeKeyFile(unhex(der)), EnclaveError) << der;
  }
  for (std::size_t n = 0; n < valid.size(); n += 2) {
    EXPECT_THROW(decodeKeyFile(unhex(valid.substr(0, n))), EnclaveError) << n / 2 << " bytes";
  }
  // A TPM's private blob a little larger than swtpm's takes the 0x82 length form, both ways.
  KeyFile large = file;
  large.privateArea.size = 300;
  const crypto::Bytes der = encodeKeyFile(large);
  EXPECT_EQ(hex(crypto::ByteView(der).first(4)), "3082019f");
  EXPECT_EQ(hex(encodeKeyFile(decodeKeyFile(der))), hex(der));

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
  }
  // A TPM may drop a coordinate's leading zero bytes: shorter coordinates are padded on the left.
  TPMS_ECC_POINT shortX = file.publicArea.publicArea.unique.ecc;
  shortX.x.size = 31;
  std::array<std::uint8_t, 65> x963{};
  ASSERT_TRUE(toX963(shortX, x963));
  EXPECT_EQ(hex(x963), "0400" + gx.substr(0, 62) + gy);
}

}  // namespace
}  // namespace enclave
