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
};

}  // namespace enclave
