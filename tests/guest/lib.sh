# shellcheck shell=bash
# SPDX-License-Identifier: Apache-2.0
# Sourced by the scenarios: `guest [scripts/vm run options] <<'EOF'` runs the script on stdin as
# root in a fresh boot of the release's guest, after guest.sh.
set -euo pipefail
RELEASE=${1:?usage: $0 bookworm|trixie}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
VM_DIR=${MORVANE_VM_DIR:-$ROOT/build-vm}
mkdir -p "$VM_DIR"
WORK=$(mktemp -d "$VM_DIR/test.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

guest() {
  local share
  share=$(mktemp -d "$WORK/share.XXXXXX")
  cp "$HERE/guest.sh" "$share/"
  cat >"$share/script"
  "$ROOT/scripts/vm" run "$RELEASE" --share "$share" "$@" -- bash -c '. /mnt/share/guest.sh && . /mnt/share/script'
}
