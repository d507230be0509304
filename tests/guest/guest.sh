# shellcheck shell=bash
# SPDX-License-Identifier: Apache-2.0
# Helpers inside the guest.
set -euo pipefail
export TPM2TOOLS_TCTI=device:/dev/tpmrm0

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Seals a fresh key and unseals it, both run through the command prefix given (e.g. runuser).
roundtrip() {
  local key sealed back
  key=$(openssl rand -base64 32)
  sealed=$(printf '%s\n' "$key" | "$@" morvane-keyvault seal) || fail "seal failed ${*:-as root}"
  back=$(printf '%s\n' "$sealed" | "$@" morvane-keyvault unseal) || fail "unseal failed ${*:-as root}"
  [ "$back" = "$key" ] || fail "unsealed key differs ${*:-as root}"
}

# Transient objects and sessions in the chip, seen without the kernel's resource manager.
objects_left() {
  local kind total=0 n
  for kind in handles-transient handles-loaded-session handles-saved-session; do
    n=$(tpm2_getcap -T device:/dev/tpm0 "$kind" | grep -c 0x || true)
    total=$((total + n))
  done
  echo "$total"
}

# The TPM device a command opened (from strace), e.g. "/dev/tpmrm0".
device_opened() {
  strace -f -e trace=openat -o /tmp/trace "$@" >/dev/null 2>&1 || true
  grep -o '"/dev/tpm[a-z]*0", O_RDWR[^)]*) = [0-9]' /tmp/trace | cut -d'"' -f2 | sort -u | tr '\n' ' ' | sed 's/ $//'
}

# Stops /dev/tpmrm0 from being found, as on a kernel without the resource manager.
hide_tpmrm0() {
  rm /dev/tpmrm0
}

fact() {
  echo "fact: $*"
}
