#!/usr/bin/env bash
# sfxpack as a release engineer drives it: the example built twice gives the same bytes, it
# verifies with the stub's keys, and extract gives back every input byte for byte with the
# manifest's times; a changed byte makes verify and extract refuse, and tag will not hide the
# signature of a file without a certificate table.
set -uo pipefail
sfxpack=$(realpath "$1") top=$2 scratch=$3
rm -rf "$scratch" && mkdir -p "$scratch"
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }

head -c 70000 /dev/urandom >"$scratch/stub.exe"
head -c 30000 /dev/urandom >"$scratch/installer.exe"
build() { "$sfxpack" build "$top/example/manifest.json" -o "$1" --stub "$scratch/stub.exe" \
            --installer "$scratch/installer.exe" >/dev/null; }
check "build succeeds" "build '$scratch/a.exe'"
check "the same inputs give the same bytes" "build '$scratch/b.exe' && cmp -s '$scratch/a.exe' '$scratch/b.exe'"
check "verify accepts it with the stub's keys" "'$sfxpack' verify '$scratch/a.exe' >/dev/null"
check "extract succeeds" "'$sfxpack' extract '$scratch/a.exe' '$scratch/out' >/dev/null 2>&1"
for name in vps1.vpx vps2.vpx; do
  check "extract: $name byte for byte, dated 2015-04-21 12:58:52 UTC" \
    "cmp -s '$top/example/data/$name' '$scratch/out/$name' && [ \$(stat -c %Y '$scratch/out/$name') -eq 1429621132 ]"
done
check "extract: the module's package and its unpacked content" \
  "[ -s '$scratch/out/engine.pkg' ] && cmp -s '$top/example/data/engine.ini' '$scratch/out/engine.ini'"
check "extract: the installer as instup.exe" "cmp -s '$scratch/installer.exe' '$scratch/out/instup.exe'"
check "extract: the embedded items under their file names" \
  "cmp -s '$top/example/data/rid.bin' '$scratch/out/rid.bin' && cmp -s '$top/example/data/business.cfg' '$scratch/out/bcc.cfg.tmp'"

cp "$scratch/a.exe" "$scratch/changed.exe"
printf 'X' | dd of="$scratch/changed.exe" bs=1 seek=70100 conv=notrunc 2>/dev/null
check "a changed byte: verify refuses" "! '$sfxpack' verify '$scratch/changed.exe' >/dev/null 2>&1"
check "a changed byte: extract refuses and writes nothing" \
  "! '$sfxpack' extract '$scratch/changed.exe' '$scratch/refused' >/dev/null 2>&1 && [ -z \"\$(ls -A '$scratch/refused' 2>/dev/null)\" ]"

printf 'ticket' >"$scratch/ticket.bin"
cp "$scratch/a.exe" "$scratch/tagged.exe"
check "tag: refused where the tail block would hide the signature (no certificate table)" \
  "! '$sfxpack' tag '$scratch/tagged.exe' --item EAPT='$scratch/ticket.bin' >/dev/null 2>&1 && cmp -s '$scratch/a.exe' '$scratch/tagged.exe'"
exit $fail
