#include <gtest/gtest.h>
#include <tss2/tss2_mu.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "crypto/p256.h"
#include "enclave/enclave_error.h"
#include "enclave/key_file.h"
#include "enclave/key_templates.h"

namespace enclave {
namespace {

using crypto::Bytes;

std::string hex(crypto::ByteView bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An independent DER writer for the tests' own blobs: definite, minimal lengths.
Bytes tlv(std::uint8_t tag, const Bytes& content) {
  const std::size_t n = content.size();
  Bytes header = {tag};
  if (n >= 0x100) header.push_back(0x82);
  if (n >= 0x100) header.push_back(static_cast<std::uint8_t>(n >> 8));
  if (n >= 0x80 && n < 0x100) header.push_back(0x81);
  header.push_back(static_cast<std::uint8_t>(n));
  return header + content;
}

template <class T>
Bytes marshal(const T& value, TSS2_RC (*marshalFn)(const T*, uint8_t*, size_t, size_t*)) {
  Bytes out(sizeof(T));
  std::size_t offset = 0;
  EXPECT_EQ(marshalFn(&value, out.data(), out.size(), &offset), TSS2_RC_SUCCESS);
  out.resize(offset);
  return out;
}

// What decoding gives: "decoded", or the error's text.
std::string outcome(crypto::ByteView der) {
  try {
    decodeKeyFile(der);
    return "decoded";
  } catch (const EnclaveError& e) {
    return e.what();
  }
}

struct TemplateCase {
  std::string name;
  TPM2B_PUBLIC (*make)();
  std::string tpmtPublic;
};

// Names the case in test listings instead of a dump of its bytes.
void PrintTo(const TemplateCase& c, std::ostream* os) { *os << c.name; }

class Templates : public testing::TestWithParam<TemplateCase> {};

TEST_P(Templates, MarshalToTheExpectedTpmtPublic) {
  const TPMT_PUBLIC area = GetParam().make().publicArea;
  EXPECT_EQ(hex(marshal(area, Tss2_MU_TPMT_PUBLIC_Marshal)), GetParam().tpmtPublic);
}

// The first is the TCG ECC P-256 SRK ("H template"), the parent the tpm2 provider also makes.
// The enclave key: attributes 0x00020472, no symmetric algorithm, no scheme.
INSTANTIATE_TEST_SUITE_P(
    Tcg, Templates,
    testing::Values(TemplateCase{"storageRootKey", storageRootKeyTemplate,
                                 "0023000b00030472000000060080004300100003001000000000"},
                    TemplateCase{"enclaveKey", enclaveKeyTemplate,
                                 "0023000b000204720000001000100003001000000000"}),
    [](const testing::TestParamInfo<TemplateCase>& test) { return test.param.name; });

// The enclave template with a real P-256 point in it, as TPM2_Create returns it.
TPM2B_PUBLIC enclavePublic(const crypto::P256::KeyAgreement::PublicKey& key) {
  TPM2B_PUBLIC area = enclaveKeyTemplate();
  TPMS_ECC_POINT& point = area.publicArea.unique.ecc;
  const auto& x963 = key.x963Representation();
  point.x.size = point.y.size = 32;
  std::copy_n(x963.begin() + 1, 32, point.x.buffer);
  std::copy_n(x963.begin() + 33, 32, point.y.buffer);
  return area;
}

const crypto::P256::KeyAgreement::PublicKey& softwareKey() {
  static const crypto::P256::KeyAgreement::PrivateKey key;
  return key.publicKey();
}

// Opaque to the reader; as long as a TPM's sealed ECC key (an HMAC and the encrypted sensitive).
Bytes privateBytes() {
  Bytes bytes(0x7E);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  return bytes;
}

// A valid blob's fields, each a case's to break: the whole DER element for the first three,
// the OCTET STRING contents (and what may follow them) for the two areas.
struct Fields {
  Bytes oid = tlv(0x06, {0x67, 0x81, 0x05, 0x0A, 0x01, 0x03});
  Bytes emptyAuth = tlv(0xA0, tlv(0x01, {0xFF}));
  Bytes parent = tlv(0x02, {0x40, 0x00, 0x00, 0x01});
  TPM2B_PUBLIC publicArea = enclavePublic(softwareKey());
  Bytes afterPublicArea;
  Bytes privateArea = Bytes{0x00, 0x7E} + privateBytes();
  Bytes inside;

  TPMT_PUBLIC& area() { return publicArea.publicArea; }
  Bytes content() const {
    const Bytes pub = marshal(publicArea, Tss2_MU_TPM2B_PUBLIC_Marshal) + afterPublicArea;
    return oid + emptyAuth + parent + tlv(0x04, pub) + tlv(0x04, privateArea) + inside;
  }
  Bytes der() const { return tlv(0x30, content()); }
};

KeyFile keyFile() {
  KeyFile file{enclavePublic(softwareKey()), {}};
  const Bytes priv = privateBytes();
  file.privateArea.size = static_cast<UINT16>(priv.size());
  std::copy(priv.begin(), priv.end(), file.privateArea.buffer);
  return file;
}

TEST(KeyFile, EncodesTheTcgLayoutInCanonicalDer) {
  const Bytes der = encodeKeyFile(keyFile());
  ASSERT_GT(der.size(), 24u);
  EXPECT_EQ(hex(crypto::ByteView(der).first(2)), "3081");
  EXPECT_EQ(der[2], der.size() - 3);
  EXPECT_EQ(hex(crypto::ByteView(der).subspan(3, 19)), "06066781050a0103a0030101ff020440000001");
  EXPECT_EQ(der, Fields{}.der());
}

TEST(KeyFile, RoundTrips) {
  const KeyFile original = keyFile();
  const KeyFile decoded = decodeKeyFile(encodeKeyFile(original));
  EXPECT_EQ(marshal(decoded.publicArea, Tss2_MU_TPM2B_PUBLIC_Marshal),
            marshal(original.publicArea, Tss2_MU_TPM2B_PUBLIC_Marshal));
  EXPECT_EQ(marshal(decoded.privateArea, Tss2_MU_TPM2B_PRIVATE_Marshal),
            marshal(original.privateArea, Tss2_MU_TPM2B_PRIVATE_Marshal));
  EXPECT_EQ(enclavePublicKey(decoded.publicArea.publicArea), softwareKey());
}

// The OpenSSL tpm2 provider writes TRUE as 0x01; re-encoding gives canonical DER.
TEST(KeyFile, AcceptsEmptyAuthWrittenAsOne) {
  Fields fields;
  fields.emptyAuth = tlv(0xA0, tlv(0x01, {0x01}));
  EXPECT_EQ(encodeKeyFile(decodeKeyFile(fields.der())), Fields{}.der());
}

struct Rejection {
  std::string name;
  std::function<Bytes(Fields&)> blob;  // from a valid blob's fields
};

void PrintTo(const Rejection& c, std::ostream* os) { *os << c.name; }

class Rejects : public testing::TestWithParam<Rejection> {};

TEST_P(Rejects, AsMalformed) {
  Fields fields;
  EXPECT_EQ(outcome(GetParam().blob(fields)), malformedBlob);
}

Bytes randomBytes(std::size_t n, unsigned seed, Bytes prefix = {}) {
  std::mt19937 random(seed);
  while (prefix.size() < n) prefix.push_back(static_cast<std::uint8_t>(random()));
  return prefix;
}

INSTANTIATE_TEST_SUITE_P(
    KeyFile, Rejects,
    testing::Values(
        Rejection{"empty", [](Fields&) { return Bytes{}; }},
        Rejection{"randomBytes", [](Fields&) { return randomBytes(200, 1); }},
        Rejection{"randomAfterOid",
                  [](Fields& f) {
                    return randomBytes(131, 2, Bytes{0x30, 0x81, 0x80} + f.oid);
                  }},
        Rejection{"importableKeyOid",
                  [](Fields& f) {
                    f.oid.back() = 0x04;
                    return f.der();
                  }},
        Rejection{"endorsementParent",
                  [](Fields& f) {
                    f.parent.back() = 0x0B;
                    return f.der();
                  }},
        Rejection{"emptyAuthFalse",
                  [](Fields& f) {
                    f.emptyAuth = tlv(0xA0, tlv(0x01, {0x00}));
                    return f.der();
                  }},
        Rejection{"emptyAuthMissing",
                  [](Fields& f) {
                    f.emptyAuth = {};
                    return f.der();
                  }},
        Rejection{"emptyAuthNotExplicit",
                  [](Fields& f) {
                    f.emptyAuth = tlv(0x01, {0xFF});
                    return f.der();
                  }},
        Rejection{"trailingAfterSequence", [](Fields& f) { return f.der() + Bytes{0x00}; }},
        Rejection{"trailingInsideSequence",
                  [](Fields& f) {
                    f.inside = {0x05, 0x00};
                    return f.der();
                  }},
        Rejection{"nonMinimalShortLength",
                  [](Fields& f) {
                    f.parent = {0x02, 0x81, 0x04, 0x40, 0x00, 0x00, 0x01};
                    return f.der();
                  }},
        Rejection{
            "nonMinimalLongLength",
            [](Fields& f) {
              const Bytes content = f.content();
              return Bytes{0x30, 0x82, 0x00, static_cast<std::uint8_t>(content.size())} + content;
            }},
        Rejection{"indefiniteLength",
                  [](Fields& f) {
                    return Bytes{0x30, 0x80} + f.content() + Bytes{0x00, 0x00};
                  }},
        Rejection{"signingKey",
                  [](Fields& f) {
                    f.area().objectAttributes |= TPMA_OBJECT_SIGN_ENCRYPT;
                    return f.der();
                  }},
        Rejection{"rsaKey",
                  [](Fields& f) {
                    f.area().type = TPM2_ALG_RSA;
                    f.area().parameters.rsaDetail = {
                        {TPM2_ALG_NULL, {}, {}}, {TPM2_ALG_NULL, {}}, 2048, 0};
                    f.area().unique.rsa.size = 256;
                    return f.der();
                  }},
        Rejection{"p384Curve",
                  [](Fields& f) {
                    f.area().parameters.eccDetail.curveID = TPM2_ECC_NIST_P384;
                    return f.der();
                  }},
        Rejection{"pointNotOnCurve",
                  [](Fields& f) {
                    f.area().unique.ecc.y.buffer[31] ^= 0x01;
                    return f.der();
                  }},
        Rejection{"xOf31Bytes",
                  [](Fields& f) {
                    f.area().unique.ecc.x.size = 31;
                    return f.der();
                  }},
        Rejection{"authPolicy",
                  [](Fields& f) {
                    f.area().authPolicy.size = 32;
                    return f.der();
                  }},
        Rejection{"trailingAfterPublicArea",
                  [](Fields& f) {
                    f.afterPublicArea = {0x00};
                    return f.der();
                  }},
        Rejection{"emptyPrivateArea",
                  [](Fields& f) {
                    f.privateArea = {0x00, 0x00};
                    return f.der();
                  }},
        Rejection{"trailingAfterPrivateArea",
                  [](Fields& f) {
                    f.privateArea.push_back(0x00);
                    return f.der();
                  }}),
    [](const testing::TestParamInfo<Rejection>& test) { return test.param.name; });

TEST(KeyFile, RejectsEveryTruncation) {
  const Bytes der = Fields{}.der();
  for (std::size_t n = 0; n < der.size(); ++n) {
    EXPECT_EQ(outcome(crypto::ByteView(der).first(n)), malformedBlob) << "length " << n;
  }
}

}  // namespace
}  // namespace enclave
