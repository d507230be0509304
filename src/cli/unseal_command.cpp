#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/console.h"
#include "sealing/base64.h"
#include "sealing/sealed.h"
#include "sealing/unseal.h"

namespace cli {

int runUnseal() {
  // No TPM query here: without one, unsealing itself says what is missing.
  std::optional<std::string> failure;
  crypto::SecretText keyText;
  {
    std::optional<sealing::Sealed> sealed;
    {
      const crypto::SecretText sealedKeyText = input();
      sealed = sealing::readSealedKeyText(crypto::view(sealedKeyText));
    }  // gone before the key is unsealed: peak memory stays a few times the key's size
    if (!sealed) {
      failure = "expected a sealed key on stdin";
    } else {
      try {
        keyText = sealing::base64Encode<crypto::SecretText>(sealing::unseal(std::move(*sealed)));
      } catch (const std::exception& error) {
        failure = std::string("unsealing failed: ") + error.what();
      }
    }
  }  // every TPM object is flushed before the run can end
  if (failure) fail(*failure);

  writeResultLine(crypto::view(keyText));
  return 0;
}

}  // namespace cli
