#!/usr/bin/env bash
# The Windows build of sfxpack under Wine beside the Linux build, on the same inputs: an
# installer that the Linux build prepares around the 32-bit stub, signed by osslsigncode, is
# sealed, tagged, retagged and untagged by each, and each step must give the same bytes from
# both, which the stub and osslsigncode accept; verify --json and inspect --json must print the
# same object; refusals exit with the same code of the contract, and what a table gives nothing
# to check is reported alike as not checked (null). Each step starts from the Linux build's
# result of the one before, so one failing step does not fail the next. Every call runs in one
# prefix, from the folder of its file, so that the file names in the reports are the same.
set -uo pipefail
exe=$(realpath "$1") linux=$(realpath "$2") stub=$(realpath "$3") top=$4 prefix=$5 scratch=$6
rm -rf "$scratch" && mkdir -p "$scratch/win" "$scratch/linux"
keys=$top/keys/test
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
# win DIR ARGS... / linux DIR ARGS...: sfxpack.exe under Wine or the Linux build, run in scratch/DIR.
win() { "$top/tools/wine-run.sh" --prefix "$prefix" --cwd "$scratch/$1" "$exe" "${@:2}"; }
linux() { (cd "$scratch/$1" && "$linux" "${@:2}"); }
# both ARGS...: each build on its own copy (win/, linux/); both succeed and write the same bytes.
both() {
  win win "$@" >"$scratch/win.txt" 2>&1; local w=$?
  linux linux "$@" >"$scratch/linux.txt" 2>&1; local l=$?
  [ $w$l = 00 ] || { echo "exit codes: Windows $w, Linux $l: $(head -n1 "$scratch/win.txt")"; return 1; }
  cmp "$scratch/win/setup.exe" "$scratch/linux/setup.exe"
}
# from FILE: both copies start as FILE.
from() { cp "$1" "$scratch/win/setup.exe" && cp "$1" "$scratch/linux/setup.exe"; }
# same_json ARGS...: both builds print the same object and exit with the same code for the file in
# linux/; the Linux build's object stays in linux.json for field.
same_json() {
  win linux "$@" >"$scratch/win.json" 2>/dev/null; local w=$?
  linux linux "$@" >"$scratch/linux.json" 2>/dev/null; local l=$?
  [ $w -eq $l ] || { echo "exit codes: Windows $w, Linux $l"; return 1; }
  diff <(python3 -m json.tool --sort-keys "$scratch/win.json") <(python3 -m json.tool --sort-keys "$scratch/linux.json")
}
field() { python3 -c "import json,sys; j=json.load(open(sys.argv[1])); sys.exit(0 if ($1) else 1)" "$scratch/linux.json"; }
authenticode_ok() {
  osslsigncode verify -CAfile "$keys/codesign-ca.pem" -in "$1" 2>/dev/null | grep -qx Succeeded
}
accepted() { "$linux" verify "$1" >/dev/null 2>&1; }
# Every code-signature fact checked and holding: an object of nulls on both sides is no pass.
intact='all(j["codeSignature"][k] is True for k in ("tableEndsFile", "pkcs7Parses", "digestMatches", "tailRoom",
                                                  "paddingCheck"))'

cp "$stub" "$scratch/installer.exe"  # any program: sfxpack takes nothing else as the installer/updater
printf 'ticket' >"$scratch/ticket.bin"
printf 'recommendation' >"$scratch/rid.bin"
cat >"$scratch/setup.json" <<JSON
{ "commandLine": "/sfx", "sfxName": "wine", "installer": { "path": "installer.exe", "packer": "lzma" },
  "signature": { "type": 5, "key": "$keys/key5.pem" } }
JSON
"$linux" build "$scratch/setup.json" -o "$scratch/prepared.exe" --stub "$stub" --prepare >/dev/null &&
  osslsigncode sign -certs "$keys/codesign.pem" -key "$keys/codesign.key.pem" -h sha256 -time 1429621132 \
    -n 'Wine setup' -i https://example.invalid/ -in "$scratch/prepared.exe" -out "$scratch/signed.exe" >/dev/null 2>&1 ||
  { echo "FAIL: the Linux build and osslsigncode could not make a signed installer"; exit 1; }

from "$scratch/signed.exe"
check "seal: the same bytes from both, which the stub and osslsigncode accept" \
  "both seal setup.exe && accepted '$scratch/win/setup.exe' && authenticode_ok '$scratch/win/setup.exe'"
cp "$scratch/linux/setup.exe" "$scratch/sealed.exe"
check "the sealed file: verify --json and inspect --json the same from both, the code signature intact" \
  "same_json verify --json setup.exe && field '$intact' && same_json inspect --json setup.exe && field '$intact'"

from "$scratch/sealed.exe"
check "tag: the same bytes from both, which osslsigncode accepts" \
  "both tag setup.exe --item EAPT=../ticket.bin && authenticode_ok '$scratch/win/setup.exe'"
cp "$scratch/linux/setup.exe" "$scratch/tagged.exe"
check "the tagged file: verify --json and inspect --json the same from both, the item listed" \
  "same_json verify --json setup.exe && field '$intact' && same_json inspect --json setup.exe && \
   field 'j[\"tailItems\"] == [{\"file\": \"pairing.bin\", \"size\": 6}]'"
from "$scratch/tagged.exe"
check "retag: the same bytes from both, which osslsigncode accepts" \
  "both tag setup.exe --item ERID=../rid.bin && authenticode_ok '$scratch/win/setup.exe'"
cp "$scratch/linux/setup.exe" "$scratch/retagged.exe"
from "$scratch/retagged.exe"
check "untag: the same bytes from both, the sealed file again" \
  "both tag setup.exe --remove && cmp '$scratch/win/setup.exe' '$scratch/sealed.exe'"
check "serve: the Windows build has none, and says so in one line with exit 4" \
  "win win serve . >'$scratch/serve.txt' 2>&1; [ \$? -eq 4 ] && [ \$(wc -l <'$scratch/serve.txt') -eq 1 ] && \
   grep -q 'not available in this build' '$scratch/serve.txt'"

# What no build can check: a table whose PKCS#7 does not parse says nothing of the digest or room.
from "$scratch/sealed.exe"
offset=$("$linux" verify --json "$scratch/sealed.exe" | python3 -c 'import json,sys; print(json.load(sys.stdin)["codeSignature"]["tableOffset"])')
printf '\377\377' | dd of="$scratch/linux/setup.exe" bs=1 seek=$((offset + 8)) conv=notrunc 2>/dev/null
check "a PKCS#7 that does not parse: the same report from both, the facts that need it not checked (null)" \
  "same_json verify --json setup.exe && field 'j[\"codeSignature\"][\"pkcs7Parses\"] is False and \
   all(j[\"codeSignature\"][k] is None for k in (\"digestMatches\", \"tailRoom\", \"paddingCheck\", \"signer\"))'"
head -c 4096 /dev/urandom >"$scratch/win/noise.bin" && cp "$scratch/win/noise.bin" "$scratch/linux/noise.bin"
check "seal on a file that is no PE image: an input problem (exit 3) from both" \
  "win win seal noise.bin >/dev/null 2>&1; w=\$?; linux linux seal noise.bin >/dev/null 2>&1; l=\$?; [ \$w\$l = 33 ]"

# Packages are packed two at a time, on a thread of their own beside the main one, and put in
# the manifest's order: the same bytes from both builds. Two packages of 20 MB that do not
# compress are more than the packages may keep in memory until their turn: scratch files too.
head -c 20000000 /dev/urandom >"$scratch/noise20.bin"
cat >"$scratch/packages.json" <<JSON
{ "installer": { "path": "installer.exe", "packer": "lzma" },
  "files": [ { "path": "installer.exe", "name": "a.pkg", "extractionName": "a.exe", "packer": "zlib", "time": 0 },
             { "path": "rid.bin", "time": 0 },
             { "path": "installer.exe", "name": "b.pkg", "extractionName": "b.exe", "packer": "lzma", "time": 0 },
             { "path": "noise20.bin", "name": "n1.pkg", "extractionName": "n1.bin", "packer": "zlib", "time": 0 },
             { "path": "noise20.bin", "name": "n2.pkg", "extractionName": "n2.bin", "packer": "zlib", "time": 0 } ],
  "signature": { "type": 5, "key": "$keys/key5.pem" } }
JSON
check "build with several packages: the same bytes from both, which the stub accepts" \
  "both build ../packages.json -o setup.exe --stub '$stub' && accepted '$scratch/win/setup.exe'"

# The 32-bit build streams the entries and reads the result a piece at a time: an installer
# within 128 bytes of the format's limit of 2147483647 bytes (the stub's file layer opens no
# larger file) is built and verified by it and accepted by the Linux build. The entry is sparse;
# its size is what an installer with an empty entry leaves, less 32 bytes (the packed map
# grows by a few with the entry's size).
truncate -s 0 "$scratch/win/limit.bin"
printf '{ "installer": { "path": "installer.exe", "packer": "zlib" }, "files": [ { "path": "win/limit.bin", "time": 0 } ],
  "signature": { "type": 5, "key": "%s" } }\n' "$keys/key5.pem" >"$scratch/limit.json"
"$linux" build "$scratch/limit.json" -o "$scratch/empty.exe" --stub "$stub" >/dev/null ||
  { echo "FAIL: the Linux build could not build an installer with an empty entry"; exit 1; }
truncate -s $((2147483647 - $(stat -c %s "$scratch/empty.exe") - 32)) "$scratch/win/limit.bin"
check "an installer within 128 bytes of the format's limit: built and verified by sfxpack.exe, accepted by the Linux build" \
  "win win build ../limit.json -o limit.exe --stub '$stub' >/dev/null 2>&1 && \
   size=\$(stat -c %s '$scratch/win/limit.exe') && [ \$size -le 2147483647 ] && [ \$size -gt \$((2147483647 - 128)) ] && \
   win win verify limit.exe >/dev/null 2>&1 && accepted '$scratch/win/limit.exe'"
rm -f "$scratch/win/limit.bin" "$scratch/win/limit.exe" "$scratch/empty.exe"
exit $fail
