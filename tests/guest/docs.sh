# shellcheck shell=bash
# SPDX-License-Identifier: Apache-2.0
# The guest's side of tests/guest/docs: cuts the blocks out of the installed man pages and
# /mnt/share/README.md, runs each runnable one as written, with set-up only around it, checks what
# its text promises, and fails on any block that is neither run nor listed here. Blocks are known
# by their first line.
# shellcheck disable=SC2317,SC2016  # steps are called through step(); first lines are literal
set -uo pipefail
D=/tmp/docs
mkdir -p "$D/blocks" "$D/bin" "$D/run"
cd "$D/run" || exit
failed=0 ran=0 skipped=0 n=0
release=$(. /etc/os-release && echo "$VERSION_CODENAME")

die() {
  echo "FAIL: $*"
  exit 1
}

# Names the block of the running step and shows what it printed last.
fail() {
  failed=1
  echo "FAIL: $where «$first»: $*"
  sed 's/^/  out| /' "$D/stdout" 2>/dev/null
  sed 's/^/  err| /' "$D/stderr" 2>/dev/null
}

new_block() {
  n=$((n + 1))
  block=$D/blocks/$(printf %03d "$n")
  : >"$block"
  printf '%s\n' "$1" >"$block.where"
}

# A roff line's literal text: \e, \& and \- undone. Any other escape stops the test, so that what
# runs is what the page shows.
unroff() {
  local s=${1//\\e/$'\001'} bs=\\
  s=${s//\\&/}
  s=${s//\\-/-}
  [[ $s != *\\* ]] || return 1
  printf '%s\n' "${s//$'\001'/"$bs"}"
}

# A .Ql that reads as a command (a first word on PATH, and more words) is a block too: mdoc's
# trailing punctuation goes, the macros it holds give their text.
ql() {
  local where=$1 words out=() w join=0
  read -ra words <<<"$2"
  while [[ ${#words[@]} -gt 0 && ${words[-1]} =~ ^[].,:\;?!\)]$ ]]; do unset 'words[-1]'; done
  for w in "${words[@]}"; do
    case $w in
    Ns) join=1 && continue ;;
    Ar | Li | Pa | Cm | Ev | Va) continue ;;
    [A-Z][a-z]) die "$where: .Ql holds the macro $w, which this test does not read" ;;
    esac
    if [[ $join == 1 && ${#out[@]} -gt 0 ]]; then out[-1]+=$w; else out+=("$w"); fi
    join=0
  done
  [[ ${#out[@]} -ge 2 ]] && command -v "${out[0]}" >/dev/null || return 0
  new_block "$where"
  unroff "${out[*]}" >"$block" || die "$where: a roff escape this test does not undo"
}

extract_man() {
  local name line lineno=0 literal=0
  name=$(basename "$1" .gz)
  while IFS= read -r line; do
    lineno=$((lineno + 1))
    if [[ $literal == 1 ]]; then
      if [[ $line == .Ed ]]; then
        literal=0
      elif [[ $line == .* ]]; then
        die "$name:$lineno: a macro inside a literal block, which this test does not read"
      else
        unroff "$line" >>"$block" || die "$name:$lineno: a roff escape this test does not undo: $line"
      fi
    elif [[ $line == '.Bd -literal'* ]]; then
      literal=1
      new_block "$name:$lineno"
    elif [[ $line == '.Ql '* ]]; then
      ql "$name:$lineno" "${line#.Ql }"
    fi
  done < <(zcat "$1")
}

extract_readme() {
  local line lineno=0 fenced=0
  while IFS= read -r line; do
    lineno=$((lineno + 1))
    if [[ $fenced == 1 ]]; then
      if [[ $line == '```' ]]; then fenced=0; else printf '%s\n' "$line" >>"$block"; fi
    elif [[ $line == '```'* ]]; then
      fenced=1
      new_block "README.md:$lineno"
    fi
  done <"$1"
}

extract_man /usr/share/man/man1/morvane-keyvault.1.gz
extract_man /usr/share/man/man8/morvane-keyvault-luks.8.gz
extract_readme /mnt/share/README.md
[[ $n -gt 0 ]] || die "no blocks found"

# Takes the block whose first line is $1 (identical copies count as one): sets block, where, first.
claim() {
  local f line from
  first=$1 block='' where=''
  for f in "$D"/blocks/[0-9][0-9][0-9]; do
    IFS= read -r line <"$f"
    [[ $line == "$first" ]] || continue
    IFS= read -r from <"$f.where"
    if [[ -z $block ]]; then
      block=$f
    elif ! cmp -s "$f" "$block"; then
      die "two different blocks start with «$first» ($where, $from); give them longer fingerprints"
    fi
    where+=${where:+, }$from
    : >"$f.claimed"
  done
  [[ -n $block ]] || die "no block starts with «$first» any more; the docs changed, so change tests/guest/docs.sh"
  script=$block
}

# step FIRST-LINE FUNCTION: the function runs the block and checks what it promises.
step() {
  claim "$1"
  rm -f "$D/stdout" "$D/stderr"
  "$2"
  ran=$((ran + 1))
}

# not_here FIRST-LINE: a block this guest does not run; the comment above each call says why.
not_here() {
  claim "$1"
  skipped=$((skipped + 1))
}

# Runs $script with stdin from $1, as a file when it starts with #!, else under sh -e (a recipe's
# every line must work), in $D/run, with the given VAR=value in its environment.
run_block() {
  local input=$1
  shift
  : >"$D/openssl.out"
  if [[ $(head -c 2 "$script") == '#!' ]]; then
    chmod 755 "$script"
    env "$@" PATH="$D/bin:$PATH" "$script" <"$input" >"$D/stdout" 2>"$D/stderr"
  else
    env "$@" PATH="$D/bin:$PATH" sh -e "$script" <"$input" >"$D/stdout" 2>"$D/stderr"
  fi || {
    fail "exited $?"
    return 1
  }
}

# A tee in front of openssl keeps what a recipe generated, to compare with what it unseals.
cat >"$D/bin/openssl" <<EOF
#!/bin/bash
set -o pipefail
/usr/bin/openssl "\$@" | tee -a $D/openssl.out
EOF
# The image has no sudo; as root, sudo runs the command as it is.
command -v sudo >/dev/null || printf '#!/bin/sh\nexec "$@"\n' >"$D/bin/sudo"
chmod 755 "$D"/bin/*
# The pages' second disk.
ln -s vdb /dev/sdb1
pass=docs-test-passphrase
printf %s "$pass" >"$D/pass"
printf '%s\n' "$pass" >"$D/pass.line"

fresh_volume() {
  cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 \
    --key-file "$D/pass" /dev/vdb
}

# A fresh login of user $1 seals and unseals.
user_roundtrip() {
  local key sealed
  key=$(/usr/bin/openssl rand -base64 32)
  sealed=$(printf '%s\n' "$key" | runuser -u "$1" -- morvane-keyvault seal) &&
    [ "$(printf '%s\n' "$sealed" | runuser -u "$1" -- morvane-keyvault unseal)" = "$key" ]
}

roundtrip() {
  run_block /dev/null || return
  cmp -s "$D/stdout" "$D/openssl.out" || fail "what it unsealed is not the key openssl made"
}

luks_recipe() {
  run_block /dev/null || return
  [ "$(stat -c %a /etc/vault.sealed)" = 600 ] || fail "/etc/vault.sealed is mode $(stat -c %a /etc/vault.sealed)"
  [ "$(morvane-keyvault unseal </etc/vault.sealed)" = "$(base64 -w 0 "$D/openssl.out")" ] ||
    fail "/etc/vault.sealed does not unseal to the 64 bytes openssl made"
  cryptsetup open --test-passphrase --key-file "$D/openssl.out" /dev/sdb1 ||
    fail "the 64 bytes openssl made do not open the volume"
  cryptsetup status vault >/dev/null || fail "vault is not active"
}

vault_unit() {
  cryptsetup close vault 2>/dev/null
  cp "$script" /etc/systemd/system/vault.service
  systemctl start vault.service || {
    fail "systemctl start vault.service failed: $(journalctl -b -q -u vault.service | tail -n 5)"
    return
  }
  cryptsetup status vault >/dev/null || fail "vault is not active after systemctl start"
  systemctl stop vault.service || fail "systemctl stop vault.service failed"
  ! cryptsetup status vault >/dev/null || fail "vault is still active after systemctl stop"
}

backup_seal() {
  run_block /dev/null || return
  [ "$(stat -c %a /etc/backup)" = 700 ] || fail "/etc/backup is mode $(stat -c %a /etc/backup)"
  [ "$(morvane-keyvault unseal </etc/backup/pass.sealed)" = "$(cat "$D/openssl.out")" ] ||
    fail "/etc/backup/pass.sealed does not unseal to the passphrase openssl made"
}

backup_script() {
  tar -cf home.tar -C / etc/os-release etc/passwd
  run_block /dev/null || return
  morvane-keyvault unseal </etc/backup/pass.sealed |
    gpg --batch --quiet --pinentry-mode loopback --passphrase-fd 0 --no-symkey-cache \
      --decrypt home.tar.gpg 2>"$D/stderr" | cmp -s - home.tar ||
    fail "home.tar.gpg does not decrypt to home.tar with the unsealed passphrase"
}

# The README's, as a user would: alice types it, sudo does the root part, then she logs in again.
tss_sudo() {
  useradd -m alice
  run_block /dev/null USER=alice || return
  grep -qx 'TPM ready' "$D/stdout" || fail "no 'TPM ready'"
  user_roundtrip alice || fail "alice cannot seal and unseal after logging in again"
}

tss_usermod() {
  useradd -m user
  run_block /dev/null || return
  user_roundtrip user || fail "user cannot seal and unseal after logging in again"
}

myapp_unit() {
  local path dir
  path=$(sed -n '1s|^# \(/etc/systemd/system/[^;]*\);.*|\1|p' "$script")
  dir=/run/$(sed -n 's/^RuntimeDirectory=//p' "$script")
  [ -n "$path" ] || {
    fail "its first line no longer names the unit's file"
    return
  }
  mkdir -p /etc/myapp
  /usr/bin/openssl rand -base64 32 >"$D/myapp.key"
  morvane-keyvault seal <"$D/myapp.key" >/etc/myapp/key.sealed
  cp "$script" "$path"
  systemctl start "${path##*/}" || {
    fail "systemctl start failed: $(journalctl -b -q -u "${path##*/}" | tail -n 5)"
    return
  }
  cmp -s "$dir/key" "$D/myapp.key" || fail "$dir/key is not the key"
  [ "$(stat -c '%U %a' "$dir/key")" = "root 600" ] || fail "$dir/key is $(stat -c '%U %a' "$dir/key")"
  systemctl stop "${path##*/}"
  [ ! -e "$dir" ] || fail "$dir outlived systemctl stop"
}

# The README's bind, list, open, unbind; the passphrase bind asks for comes on stdin.
readme_luks() {
  example_bind || return
  [ -z "$(morvane-keyvault-luks list /dev/vdb)" ] || fail "unbind left a binding"
  cryptsetup open --test-passphrase --key-file "$D/pass" /dev/vdb ||
    fail "the passphrase no longer opens the volume"
}

script_bind() {
  fresh_volume
  run_block /dev/null passphrase="$pass" || return
  grep -qx 'token 0: keyslot 1, bound' "$D/stdout" || fail "no 'token 0: keyslot 1, bound'"
  morvane-keyvault-luks key /dev/vdb | cryptsetup open --test-passphrase --key-file=- /dev/vdb ||
    fail "the bound key does not open the volume"
}

# Leaves the volume bound, for the systemd recipe.
example_bind() {
  fresh_volume
  run_block "$D/pass.line" || return
  [ "$(grep -cx 'token 0: keyslot 1, bound' "$D/stdout")" = 2 ] ||
    fail "bind and list did not both print 'token 0: keyslot 1, bound'"
  cryptsetup status data >/dev/null || fail "open did not open data"
  cryptsetup close data
}

socket_enable() {
  run_block /dev/null || return
  [ "$(systemctl is-active morvane-keyvault-luks.socket)" = active ] || fail "the socket is not active"
  # The README's recipe enables it again.
  systemctl disable -q --now morvane-keyvault-luks.socket
}

readme_systemd() {
  # The image's crypttab names another volume "data".
  : >/etc/crypttab
  # Debian 12 has no such package, as the line's comment says.
  if [ "$release" = bookworm ]; then
    grep -v '# Debian 13 only' "$block" >"$D/bookworm.sh"
    script=$D/bookworm.sh
  fi
  udevadm settle
  run_block /dev/null || return
  grep -qx "data UUID=$(blkid -s UUID -o value /dev/vdb) /run/morvane-keyvault/luks.sock luks" /etc/crypttab ||
    fail "/etc/crypttab is: $(cat /etc/crypttab)"
  [ "$(systemctl is-active morvane-keyvault-luks.socket)" = active ] || fail "the socket is not active"
  # What the boot does with the line.
  systemctl daemon-reload
  systemctl start systemd-cryptsetup@data.service || {
    fail "systemd-cryptsetup@data did not start: $(journalctl -b -q -u systemd-cryptsetup@data.service -u 'morvane-keyvault-luks@*' | tail -n 5)"
    return
  }
  cryptsetup status data >/dev/null || fail "data is not active"
  systemctl stop systemd-cryptsetup@data.service
  ! cryptsetup status data >/dev/null || fail "data is still active after systemctl stop"
}

transient_objects() {
  tpm2_getcap -T device:/dev/tpm0 handles-transient | grep -c 0x
}

# Last: it takes /dev/tpmrm0 away, as on a machine where the tool reaches the chip directly.
flush() {
  rm /dev/tpmrm0
  tpm2_createprimary -Q -T device:/dev/tpm0 -C o -c "$D/primary.ctx"
  [ "$(transient_objects)" -gt 0 ] || {
    fail "the set-up left no object in the chip"
    return
  }
  run_block /dev/null || return
  [ "$(transient_objects)" = 0 ] || fail "$(transient_objects) objects left in the chip"
}

step 'sealed=$(openssl rand -base64 32 | morvane-keyvault seal)' roundtrip
step 'umask 077' luks_recipe
step '[Unit]' vault_unit
step 'mkdir -p -m 700 /etc/backup' backup_seal
step '#!/bin/bash' backup_script
step 'sudo usermod -aG tss "$USER"    # then log in again' tss_sudo
step 'usermod -aG tss user' tss_usermod
step '# /etc/systemd/system/myapp-key.service; myapp.service adds Requires= and After=myapp-key.service' myapp_unit
step 'apt-get install cryptsetup-bin' readme_luks
step "printf '%s' \"\$passphrase\" | morvane-keyvault-luks bind /dev/sdb1 --key-file -" script_bind
step 'morvane-keyvault-luks bind /dev/sdb1' example_bind
step 'systemctl enable --now morvane-keyvault-luks.socket' socket_enable
step 'apt-get install systemd-cryptsetup    # Debian 13 only: there it is no longer part of systemd' readme_systemd
step 'tpm2_flushcontext -t' flush

# Set-up of the build machine: run by scripts/test, .ci/run and the fresh-machine checks.
not_here "git clone <this repository's URL> morvane-keyvault && cd morvane-keyvault"
not_here 'scripts/install-deps && sudo apt-get install debhelper dpkg-dev    # what the build needs'
not_here 'cmake -S . -B build -DMORVANE_TESTS=OFF && cmake --build build -j2'
not_here 'scripts/install-deps                       # Debian packages (apt-get); --test, --ci add more'
# A tool of the source tree, not the package: the tests in tests/e2e run inside it.
not_here 'scripts/with-test-tpm build/morvane-keyvault available     # a fresh swtpm on 127.0.0.1:2321'
# Not commands: the usage line and the record's form.
not_here 'morvane-keyvault available | seal | unseal'
not_here '{"enclave":"<TPM key blob>","ephemeral":"<65-byte point>","box":"<nonce ‖ ciphertext ‖ tag>"}'
not_here '{"enclave":"...","ephemeral":"...","box":"..."}'
# Boot paths: update-initramfs takes minutes under TCG; the luks image is built with it and the
# keyscript's crypttab line, and tests/guest/luks boots both paths.
not_here 'apt-get install cryptsetup-initramfs'
not_here 'update-initramfs -u'
not_here 'data UUID=... none luks,initramfs,keyscript=morvane-keyvault'
not_here 'data UUID=... /run/morvane-keyvault/luks.sock luks'
# Named in prose, not recipes: what bind runs, and what the socket's service runs.
not_here 'morvane-keyvault seal'
not_here 'morvane-keyvault-luks serve'

for f in "$D"/blocks/[0-9][0-9][0-9]; do
  [[ -e $f.claimed ]] && continue
  failed=1
  echo "FAIL: $(cat "$f.where"): a block neither run nor listed in tests/guest/docs.sh:"
  sed 's/^/  | /' "$f"
done
echo "fact: $release: $ran recipes run as written, $skipped blocks listed as not run here"
exit "$failed"
