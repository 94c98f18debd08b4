#!/usr/bin/env bash
# signature_openssl_test.sh SFXPACK KEY_DIR
# Checks our DSA against OpenSSL in both directions: what `sfxpack sign` writes verifies with
# `openssl pkeyutl -verify` over the same digest and public key, and what `openssl pkeyutl
# -sign` makes verifies with `sfxpack verify`. The digests are computed here with openssl and
# Python, not with our code, including the SHA-256 with the PE checksum taken as zero.
# KEY_DIR is keys/test: its private keys are TEST-ONLY.
set -euo pipefail
sfxpack=$1
keys=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

passed=0
failed=0
check() {  # check NAME COMMAND...: runs COMMAND, counts the outcome
  local name=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok   $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    sed 's/^/     /' "$work/out"
    failed=$((failed + 1))
  fi
}

python3 - <<'PY'
import random
rng = random.Random(42)
# A small executable image whose PE checksum field (PE header at 0x80, checksum 88 bytes in)
# is not zero, and plain data for the MD5 form.
pe = bytearray(rng.randbytes(1500))
pe[0:2] = b"MZ"
pe[0x3C:0x40] = (0x80).to_bytes(4, "little")
pe[0x80:0x84] = b"PE\0\0"
pe[0x80 + 88:0x80 + 92] = (0x12345678).to_bytes(4, "little")
open("image.exe", "wb").write(pe)
zeroed = bytearray(pe)
zeroed[0x80 + 88:0x80 + 92] = bytes(4)
open("image.zeroed", "wb").write(zeroed)
open("data.bin", "wb").write(rng.randbytes(1000))
PY
openssl dgst -md5 -binary data.bin >data.md5
openssl dgst -sha256 -binary image.zeroed >image.sha256

# r || s (n bytes each) to a DER SEQUENCE of two INTEGERs, and back.
to_der() {
  python3 -c '
import sys
raw = open(sys.argv[1], "rb").read(); n = len(raw) // 2
def integer(b):
    b = b.lstrip(b"\0") or b"\0"
    if b[0] & 0x80: b = b"\0" + b
    return b"\x02" + bytes([len(b)]) + b
body = integer(raw[:n]) + integer(raw[n:])
sys.stdout.buffer.write(b"\x30" + bytes([len(body)]) + body)' "$1"
}
from_der() {
  python3 -c '
import sys
der, n = open(sys.argv[1], "rb").read(), int(sys.argv[2])
pos, out = 2, b""
for _ in range(2):
    length = der[pos + 1]
    out += int.from_bytes(der[pos + 2:pos + 2 + length], "big").to_bytes(n, "big")
    pos += 2 + length
sys.stdout.buffer.write(out)' "$1" "$2"
}

# sign TYPE KEY CONTENT DIGEST SIGNATURE_SIZE: sfxpack signs, openssl verifies.
ours_verify_with_openssl() {
  local type=$1 key=$2 content=$3 digest=$4 size=$5
  cp "$content" signed.$type
  "$sfxpack" sign --signature-only --type "$type" --key "$keys/$key.pem" signed.$type
  tail -c $((size + 8)) signed.$type | head -c "$size" >rs.$type
  to_der rs.$type >rs.$type.der
  openssl pkeyutl -verify -pubin -inkey "$keys/$key.pub.pem" -in "$digest" -sigfile rs.$type.der
}
check "type 1 by sfxpack verifies with openssl" ours_verify_with_openssl 1 key3 data.bin data.md5 40
check "type 5 by sfxpack verifies with openssl" ours_verify_with_openssl 5 key7 image.exe image.sha256 64

# theirs KEY CONTENT DIGEST SIZE MAGIC INDEX: openssl signs, sfxpack verifies with key INDEX.
openssl_verify_with_ours() {
  local key=$1 content=$2 digest=$3 size=$4 magic=$5 index=$6
  openssl pkeyutl -sign -inkey "$keys/$key.pem" -in "$digest" -out theirs.der
  from_der theirs.der $((size / 2)) >theirs.rs
  { cat "$content" theirs.rs; printf '%s' "$magic"; } >theirs.signed
  "$sfxpack" verify --signature-only --keys "$keys" theirs.signed | tee theirs.out
  grep -q "verified with key $index" theirs.out
}
check "type 1 by openssl verifies with sfxpack" openssl_verify_with_ours key1 data.bin data.md5 40 TZKSignd 1
check "type 5 by openssl verifies with sfxpack" openssl_verify_with_ours key6 image.exe image.sha256 64 TZKSig2B 6

# The PE checksum does not count; any other byte does.
checksum_free() {
  printf '\x99' | dd of=theirs.signed bs=1 seek=$((0x80 + 89)) conv=notrunc status=none
  "$sfxpack" verify --signature-only --keys "$keys" theirs.signed
}
content_bound() {
  printf '\x99' | dd of=theirs.signed bs=1 seek=$((0x80 + 92)) conv=notrunc status=none
  local rc=0
  "$sfxpack" verify --signature-only --keys "$keys" theirs.signed || rc=$?
  [ "$rc" -eq 1 ]
}
check "a changed PE checksum keeps a type 5 signature" checksum_free
check "a changed byte after it breaks it" content_bound

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
