#include "enclave/enclave_error.h"

#include <tss2/tss2_rc.h>

namespace enclave {

void throwTpmError(std::string_view command, TSS2_RC rc) {
  std::string text(command);
  text += " failed: ";
  text += Tss2_RC_Decode(rc);
  throw EnclaveError(text);
}

}  // namespace enclave
