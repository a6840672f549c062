#!/usr/bin/env bash
# Runs the real updater-manifest binary on a scratch release folder and checks
# its exit statuses and outputs end to end.
set -u
export LC_ALL=C  # byte-exact grep on the GBK manifest
tool="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect STATUS COMMAND...: runs the command, keeping stdout and stderr.
expect() {
  local want="$1"
  shift
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" -ne "$want" ]; then
    fail "exit $got, wanted $want: $*"
    sed 's/^/  | /' "$work/out" "$work/err" >&2
  fi
}

contains() {
  grep -qF -- "$2" "$work/$1" || fail "no '$2' in $1: $(cat "$work/$1")"
}

rel="$work/release"
mkdir -p "$rel/数据" "$rel/bin"
printf 'abc' >"$rel/数据/文件.txt"
printf 'MZ' >"$rel/Updater.exe"
printf 'x' >"$rel/bin/a.dll"

expect 0 "$tool" generate "$rel" -o "$rel/UpDate.ini"
[ -f "$rel/UpDate.ini" ] || fail "no manifest written"
[ -e "$rel/UpDate.ini.tmp" ] && fail "temporary file left behind"
grep -q $'\xCA\xFD\xBE\xDD\\\\\xCE\xC4\xBC\xFE.txt\t900150983cd24fb0d6963f7d28e17f72\r$' "$rel/UpDate.ini" ||
  fail "Chinese name not written in code page 936"
expect 0 "$tool" lint "$rel/UpDate.ini"
contains out "3 entries, no problems"

# Writing into the release again gives the same bytes, on stdout too.
cp "$rel/UpDate.ini" "$work/first.ini"
expect 0 "$tool" generate "$rel" --output="$rel/UpDate.ini"
cmp -s "$rel/UpDate.ini" "$work/first.ini" || fail "second run differs"
expect 0 "$tool" generate "$rel"
cmp -s "$work/out" "$work/first.ini" || fail "stdout differs from the file"
# Every extra at once; files this small get no index or form but go in the
# pack, and the manifest is the same.
expect 0 "$tool" generate "$rel" -o "$rel/UpDate.ini" --compress --delta --pack
cmp -s "$rel/UpDate.ini" "$work/first.ini" || fail "--compress --delta --pack changed the manifest"
[ -e "$rel/UpDate.frames" ] && fail "a form for a file under 4 KiB"
[ "$(head -c 14 "$rel/UpDate.pack.ini")" = $'UpDate.pack\t6\r' ] || fail "no pack of the three small files"
expect 2 "$tool" lint "$rel/UpDate.ini" --compress

printf 'a.txt\t0cc175b9c0f1b6a831c399e269772661\r\nno tab here\r\nb/c.txt\t0CC175B9C0F1B6A831C399E269772661\r\n' \
  >"$work/bad.ini"
expect 1 "$tool" lint "$work/bad.ini"
contains out "bad.ini:2: no TAB"
contains out "bad.ini:3: forward slash"
contains out "bad.ini:3: uppercase digest"

expect 2 "$tool" lint "$work/absent.ini"
contains err "absent.ini"
expect 2 "$tool" generate "$work/no-such-folder"
contains err "release folder not found"
expect 2 "$tool" generate "$rel" -o "$work/missing-dir/UpDate.ini"
contains err "cannot write"
[ -e "$work/missing-dir" ] && fail "output folder appeared"

mkdir -p "$work/thai"
printf 'x' >"$work/thai/ก.txt"
expect 2 "$tool" generate "$work/thai" -o "$work/thai.ini"
contains err "ก.txt"
[ -e "$work/thai.ini" ] && fail "manifest written despite a bad name"

cp -r "$rel" "$work/next"
printf 'changed' >"$work/next/bin/a.dll"
expect 0 "$tool" diff "$work/first.ini" "$work/next"
contains out "7  bin\\a.dll"
contains out "7  total, 1 file(s) to download"
expect 0 "$tool" diff "$rel" "$work/first.ini"
[ -s "$work/out" ] && fail "diff of a folder and its own manifest is not empty"

expect 0 "$tool" --help
contains out "generate RELEASE_DIR"
for sub in generate lint diff; do
  expect 0 "$tool" "$sub" --help
  contains out "usage: updater-manifest $sub"
done
expect 2 "$tool" frobnicate
expect 2 "$tool" lint
expect 2 "$tool" generate "$rel" --code-page 12345
contains err "code page 12345"

# Signing: a key, a signature beside the manifest, lint checking it.
key="$work/release.pem"
expect 0 "$tool" keygen "$key"
public=$(cat "$work/out")
[[ "$public" =~ ^04[0-9a-f]{128}$ ]] || fail "keygen printed no public key: $public"
[ "$(stat -c %a "$key")" = 600 ] || fail "key file readable by others"
cp "$key" "$work/key-before"
expect 2 "$tool" keygen "$key"
contains err "never overwritten"
cmp -s "$key" "$work/key-before" || fail "keygen overwrote a key"
expect 0 "$tool" pubkey "$key"
[ "$(cat "$work/out")" = "$public" ] || fail "pubkey differs from keygen"

expect 0 "$tool" sign "$rel/UpDate.ini" --key "$key"
[ "$(stat -c %s "$rel/UpDate.ini.sig")" = 88 ] || fail "signature is not 88 bytes"
[ "$(head -c 6 "$rel/UpDate.ini.sig")" = UPDSIG ] || fail "signature does not start with UPDSIG"
contains out "serial "
[ -e "$rel/UpDate.ini.sig.tmp" ] && fail "temporary signature left behind"
expect 0 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "signature verified"
expect 0 "$tool" lint "$rel/UpDate.ini" --public-key="${public^^}"

expect 0 "$tool" keygen "$work/other.pem"
expect 1 "$tool" lint "$rel/UpDate.ini" --public-key "$(cat "$work/out")"
contains out "does not verify"
cp "$rel/UpDate.ini" "$work/signed.ini"
printf 'x.txt\t0cc175b9c0f1b6a831c399e269772661\r\n' >>"$rel/UpDate.ini"
expect 1 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "does not verify"
cp "$work/signed.ini" "$rel/UpDate.ini"
head -c 63 "$rel/UpDate.ini.sig" >"$work/short.sig" && mv "$work/short.sig" "$rel/UpDate.ini.sig"
expect 1 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "63 bytes"
rm "$rel/UpDate.ini.sig"
expect 1 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "missing"
expect 2 "$tool" lint "$rel/UpDate.ini" --public-key "04abc"
contains err "130 hex digits"
expect 2 "$tool" sign "$rel/UpDate.ini"
contains err "--key"
expect 2 "$tool" sign "$rel/UpDate.ini" --key "$work/absent.pem"
[ -e "$rel/UpDate.ini.sig" ] && fail "signature written without a key"
expect 2 "$tool" sign "$rel/UpDate.ini" --key "$rel/UpDate.ini"
contains err "no unencrypted private key"

# Freshness: serial and expiry in the signature, shown and weighed by lint.
expect 0 "$tool" sign "$rel/UpDate.ini" --key "$key" --serial 41 --expires 2999-01-02T03:04:05Z
contains out "serial 41, expires 2999-01-02T03:04:05Z"
[ "$(od -An -tx1 -j6 -N18 "$rel/UpDate.ini.sig" | tr -d ' \n')" = 000200000000000000290000$(printf '%012x' 32472241445) ] ||
  fail "header bytes are not version 2, serial 41, expiry 2999-01-02T03:04:05Z"
expect 0 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "serial 41, expires 2999-01-02T03:04:05Z"
expect 0 "$tool" sign "$rel/UpDate.ini" --key "$key" --serial 40 --expires 2999-01-02T03:04:05Z
contains err "below the 41"
expect 0 "$tool" sign "$rel/UpDate.ini" --key "$key" --serial 42 --expires 2001-01-01T00:00:00Z
contains err "already past"
expect 1 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "expired on 2001-01-01T00:00:00Z"
soon=$(date -u -d '+3 days' +%Y-%m-%dT%H:%M:%SZ)
expect 0 "$tool" sign "$rel/UpDate.ini" --key "$key" --expires "$soon"
expect 0 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "warning: expires in"
# The serial and the expiry are signed: changing one byte of either fails.
cp "$rel/UpDate.ini.sig" "$work/fresh.sig"
printf '\x7f' | dd of="$rel/UpDate.ini.sig" bs=1 seek=15 conv=notrunc 2>/dev/null
expect 1 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "does not verify"
cp "$work/fresh.sig" "$rel/UpDate.ini.sig"
printf 'UPDSIG\x00\x03' | dd of="$rel/UpDate.ini.sig" bs=1 conv=notrunc 2>/dev/null
expect 1 "$tool" lint "$rel/UpDate.ini" --public-key "$public"
contains out "form version"
expect 2 "$tool" sign "$rel/UpDate.ini" --key "$key" --expires 2026-02-29T00:00:00Z
contains err "YYYY-MM-DDTHH:MM:SSZ"
expect 2 "$tool" sign "$rel/UpDate.ini" --key "$key" --serial 18446744073709551616
contains err "--serial"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "updater-manifest command line: all checks passed"
