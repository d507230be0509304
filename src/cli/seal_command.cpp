// SPDX-License-Identifier: Apache-2.0
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/watchdog.h"
#include "enclave/secure_enclave.h"
#include "sealing/base64.h"
#include "sealing/seal.h"

namespace cli {

int runSeal() {
  onTpmTimeout("sealing failed: ");
  // Asked before stdin is read, so a machine that cannot seal leaves the key text unread.
  try {
    if (!enclave::SecureEnclave::canSeal()) fail("no Secure Enclave");
  } catch (const std::exception& error) {
    fail("sealing failed: ", error);
  }

  std::optional<sealing::Sealed> sealed;
  {
    InputBuffer keyText = input();
    // Decoded over its own text: the key never exists twice.
    const std::optional<std::size_t> size = sealing::base64DecodeInPlace(keyText.contents());
    if (!size) fail("expected a base64 key on stdin");
    keyText.keep(0, *size);
    const std::span<const char> key = keyText.contents();
    try {
      sealed = sealing::seal({reinterpret_cast<const std::uint8_t*>(key.data()), key.size()});
    } catch (const std::exception& error) {
      fail("sealing failed: ", error);
    }
  }  // the key is wiped before the record is written out

  writeResultLine(sealing::writeSealedKeyText(std::move(*sealed)));
  return 0;
}

}  // namespace cli
