// SPDX-License-Identifier: Apache-2.0
#include "enclave/key_file.h"

#include <tss2/tss2_mu.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"

// A dozen lines of DER each way; OpenSSL's ASN.1 templates would take more, and a C macro API.
namespace enclave {
namespace {

constexpr std::uint8_t tagSequence = 0x30;
constexpr std::uint8_t tagOid = 0x06;
constexpr std::uint8_t tagBoolean = 0x01;
constexpr std::uint8_t tagInteger = 0x02;
constexpr std::uint8_t tagOctetString = 0x04;
constexpr std::uint8_t tagExplicit0 = 0xA0;

constexpr std::array<std::uint8_t, 6> loadableKeyOid = {0x67, 0x81, 0x05, 0x0A, 0x01, 0x03};
constexpr std::array<std::uint8_t, 4> ownerHierarchy = {0x40, 0x00, 0x00, 0x01};

[[noreturn]] void malformed() { throw EnclaveError(std::string(malformedBlob)); }

void appendElement(crypto::Bytes& out, std::uint8_t tag, crypto::ByteView content) {
  out.push_back(tag);
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n <= 0xFF) {
    out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
}

// Reads DER elements in order; lengths must be minimal and within bounds.
class DerReader {
 public:
  explicit DerReader(crypto::ByteView in) : in_(in) {}

  crypto::ByteView element(std::uint8_t tag) {
    if (at(0) != tag) malformed();
    std::size_t length = at(1);
    std::size_t header = 2;
    if (length == 0x81) {
      if (at(2) < 0x80) malformed();
      length = at(2);
      header = 3;
    } else if (length == 0x82) {
      if (at(2) == 0) malformed();
      length = std::size_t{at(2)} << 8 | at(3);
      header = 4;
    } else if (length >= 0x80) {
      malformed();  // indefinite, or longer than any key file
    }
    if (in_.size() - header < length) malformed();
    const crypto::ByteView content = in_.subspan(header, length);
    in_ = in_.subspan(header + length);
    return content;
  }

  void expectEnd() const {
    if (!in_.empty()) malformed();
  }

 private:
  std::uint8_t at(std::size_t i) const {
    if (i >= in_.size()) malformed();  // cut short
    return in_[i];
  }

  crypto::ByteView in_;
};

template <class T>
crypto::Bytes marshal(const T& value, TSS2_RC (*marshalFn)(const T*, uint8_t*, size_t, size_t*)) {
  crypto::Bytes out(sizeof(T));
  std::size_t offset = 0;
  if (marshalFn(&value, out.data(), out.size(), &offset) != TSS2_RC_SUCCESS) malformed();
  out.resize(offset);
  return out;
}

template <class T>
T unmarshal(crypto::ByteView bytes, TSS2_RC (*unmarshalFn)(const uint8_t*, size_t, size_t*, T*)) {
  T value{};
  std::size_t offset = 0;
  if (unmarshalFn(bytes.data(), bytes.size(), &offset, &value) != TSS2_RC_SUCCESS ||
      offset != bytes.size()) {
    malformed();
  }
  return value;
}

}  // namespace

crypto::Bytes encodeKeyFile(const KeyFile& keyFile) {
  crypto::Bytes emptyAuth;
  appendElement(emptyAuth, tagBoolean, std::array<std::uint8_t, 1>{0xFF});

  crypto::Bytes fields;
  appendElement(fields, tagOid, loadableKeyOid);
  appendElement(fields, tagExplicit0, emptyAuth);
  appendElement(fields, tagInteger, ownerHierarchy);
  appendElement(fields, tagOctetString, marshal(keyFile.publicArea, Tss2_MU_TPM2B_PUBLIC_Marshal));
  appendElement(fields, tagOctetString,
                marshal(keyFile.privateArea, Tss2_MU_TPM2B_PRIVATE_Marshal));

  crypto::Bytes der;
  appendElement(der, tagSequence, fields);
  return der;
}

KeyFile decodeKeyFile(crypto::ByteView der) {
  DerReader outer(der);
  DerReader fields(outer.element(tagSequence));
  outer.expectEnd();

  if (!std::ranges::equal(fields.element(tagOid), loadableKeyOid)) malformed();

  DerReader explicit0(fields.element(tagExplicit0));
  const crypto::ByteView emptyAuth = explicit0.element(tagBoolean);
  explicit0.expectEnd();
  // Canonical DER says 0xFF; the OpenSSL tpm2 provider writes 0x01.
  if (emptyAuth.size() != 1 || (emptyAuth[0] != 0xFF && emptyAuth[0] != 0x01)) malformed();

  if (!std::ranges::equal(fields.element(tagInteger), ownerHierarchy)) malformed();

  KeyFile keyFile{};
  const crypto::ByteView publicBytes = fields.element(tagOctetString);
  keyFile.publicArea = unmarshal<TPM2B_PUBLIC>(publicBytes, Tss2_MU_TPM2B_PUBLIC_Unmarshal);
  // The unmarshaller does not hold the TPM2B size to the area it reads; one form only.
  if (!std::ranges::equal(marshal(keyFile.publicArea, Tss2_MU_TPM2B_PUBLIC_Marshal), publicBytes)) {
    malformed();
  }
  keyFile.privateArea =
      unmarshal<TPM2B_PRIVATE>(fields.element(tagOctetString), Tss2_MU_TPM2B_PRIVATE_Unmarshal);
  fields.expectEnd();

  if (keyFile.privateArea.size == 0) malformed();
  enclavePublicKey(keyFile.publicArea.publicArea);  // throws unless it is an enclave key's
  return keyFile;
}

}  // namespace enclave
