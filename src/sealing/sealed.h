// SPDX-License-Identifier: Apache-2.0
// The sealed record and its text forms: the compact JSON object
// {"enclave":…,"ephemeral":…,"box":…} and the sealed-key text, the base64 of that JSON.
// None of the members is secret: the key travels only inside the AES-GCM box.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace sealing {

struct Sealed {
  std::string enclave;    // base64 of the TPM key blob
  std::string ephemeral;  // base64 of the ephemeral public key, X9.63 uncompressed
  std::string box;        // base64 of nonce || ciphertext || tag
};

// Compact JSON, members in the order enclave, ephemeral, box. Throws if the writer fails
// (members that are not valid UTF-8).
std::string toJson(Sealed sealed);

// Exactly one JSON value (RFC 8259: no comments, no trailing commas, no byte order mark, no NUL
// byte, only JSON white space around it), an object whose "enclave", "ephemeral" and "box"
// members are all present and strings; other members are ignored. Nothing on any failure: its
// kind never matters to the caller.
std::optional<Sealed> fromJson(crypto::ByteView json);

// The sealed-key text: base64 of toJson.
std::string writeSealedKeyText(Sealed sealed);

// Nothing if the text is not base64 or its bytes are not a record's JSON.
std::optional<Sealed> readSealedKeyText(std::string_view text);

}  // namespace sealing
