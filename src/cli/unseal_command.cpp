// SPDX-License-Identifier: Apache-2.0
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/watchdog.h"
#include "sealing/base64.h"
#include "sealing/sealed.h"
#include "sealing/unseal.h"

namespace cli {

int runUnseal() {
  onTpmTimeout("unsealing failed: ");
  // No TPM query here: without one, unsealing itself says what is missing.
  std::optional<sealing::Sealed> sealed;
  {
    InputBuffer sealedKeyText = input();
    // The JSON is decoded over the text, and the text's pages are gone before the key exists.
    if (const auto size = sealing::base64DecodeInPlace(sealedKeyText.contents())) {
      sealedKeyText.keep(0, *size);
      const std::span<const char> json = sealedKeyText.contents();
      sealed = sealing::fromJson({reinterpret_cast<const std::uint8_t*>(json.data()), json.size()});
    }
  }
  if (!sealed) fail("expected a sealed key on stdin");

  crypto::SecretText keyText;
  {
    crypto::SecretBytes key;
    try {
      key = sealing::unseal(std::move(*sealed));
    } catch (const std::exception& error) {
      fail("unsealing failed: ", error);
    }
    keyText = sealing::base64Encode<crypto::SecretText>(key);
  }  // the key's bytes are wiped before its text is written out
  writeResultLine(crypto::view(keyText));
  return 0;
}

}  // namespace cli
