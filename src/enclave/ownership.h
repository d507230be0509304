// SPDX-License-Identifier: Apache-2.0
// What tells a transient object of ours from another program's when a lost or damaged answer
// leaves its handle in doubt. Plain data: it is made before the command is sent, and copying it
// to the object's owner cannot fail once the TPM holds the object.
#pragma once

#include <tss2/tss2_tpm2_types.h>

#include <optional>

namespace enclave {

struct Ownership {
  // Ours has exactly this public area; unset: any storage root key's form.
  std::optional<TPMT_PUBLIC> publicArea;
  // When not empty, ours also takes this password. Every storage root key made from the template
  // is the same key with the same public area, whoever made it; the password we gave ours at
  // creation (it changes nothing of the key) is the only mark. Not a secret: it crosses the bus.
  TPM2B_AUTH password{};
};

// A password no other program will have given its object.
TPM2B_AUTH newMarkingPassword();

}  // namespace enclave
