#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/console.h"
#include "enclave/secure_enclave.h"
#include "sealing/base64.h"
#include "sealing/seal.h"

namespace cli {

int runSeal() {
  // Asked before stdin is read, so a machine that cannot seal leaves the key text unread.
  try {
    if (!enclave::SecureEnclave::canSeal()) fail("no Secure Enclave");
  } catch (const std::exception& error) {
    fail(std::string("sealing failed: ") + error.what());
  }

  std::optional<std::string> failure;
  std::string sealedKeyText;
  {
    std::optional<crypto::SecretBytes> keyBytes;
    {
      const crypto::SecretText keyText = input();
      keyBytes = sealing::base64Decode(crypto::view(keyText));
    }  // gone before sealing: peak memory stays a few times the key's size
    if (!keyBytes) {
      failure = "expected a base64 key on stdin";
    } else {
      try {
        sealedKeyText = sealing::writeSealedKeyText(sealing::seal(*keyBytes));
      } catch (const std::exception& error) {
        failure = std::string("sealing failed: ") + error.what();
      }
    }
  }  // the key is wiped and every TPM object flushed before the run can end
  if (failure) fail(*failure);

  writeResultLine(sealedKeyText);
  return 0;
}

}  // namespace cli
