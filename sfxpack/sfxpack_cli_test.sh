#!/usr/bin/env bash
# sfxpack as a release engineer drives it in CI, trusting its exit codes: the example built
# twice gives the same bytes, the stub inside it accepts it, and extract gives back every input
# byte for byte with the manifest's times; a changed byte, a key the stub does not trust, the
# keyless type 2 and broken archive content are refused with the code of the contract
# (1 check failed, 2 usage, 3 bad input, 4 output not written), one line on stderr and, with
# --json, an "error" object; nothing half-written is left behind. Inputs too large for the format
# are refused on their size, unread, and a run that an exception stops still ends in a code of
# the contract and one line; so does a stub that is no stub, an installer/updater that is no
# program, a manifest that gives a key twice and an output that is one of the inputs, and a run
# that a signal ends leaves no staged file. Installers that carry an Authenticode signature too keep both
# signatures, built at once, timestamped, or prepared for any signing tool (one that writes over
# the reservation or one that appends behind it) and sealed, and keep them through per-download
# tags written in place, which are refused where the stub would never read them. A code
# signature that Authenticode verifiers fail fails verify --require-code-signature.
set -uo pipefail
sfxpack=$(realpath "$1") top=$2 scratch=$3
rm -rf "$scratch" && mkdir -p "$scratch"
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
# status ARGS...: runs sfxpack, keeps its stdout and stderr, prints its exit code.
status() { "$sfxpack" "$@" >"$scratch/out.txt" 2>"$scratch/err.txt"; echo $?; }
# one_line TEXT: stderr is exactly one line, and it names TEXT (a file) exactly once.
one_line() { [ "$(wc -l <"$scratch/err.txt")" -eq 1 ] && [ "$(grep -o -F -- "$1" "$scratch/err.txt" | wc -l)" -eq 1 ]; }
# field EXPR: a Python expression over the JSON object j that sfxpack printed.
field() { python3 -c "import json,sys; j=json.load(open(sys.argv[1])); sys.exit(0 if ($1) else 1)" "$scratch/out.txt"; }
leftovers() { find "$scratch" -name '*.partial-*' -o -name '*.trial*' -o -name '*.unsigned' -o -name '*.signed' | grep -q .; }

keys=$top/keys/test
python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$scratch/stub.exe"
# A program for the stub to start, and bytes that do not compress behind its sections.
python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$scratch/installer.exe" --no-table
head -c 30000 /dev/urandom >>"$scratch/installer.exe"
build() { "$sfxpack" build "${manifest:-$top/example/manifest.json}" -o "$1" --stub "${stub:-$scratch/stub.exe}" \
            --installer "$scratch/installer.exe" "${@:2}" >/dev/null; }
check "build succeeds" "build '$scratch/a.exe'"
check "the same inputs give the same bytes" "build '$scratch/b.exe' && cmp -s '$scratch/a.exe' '$scratch/b.exe'"
check "verify: accepted with the keys of the stub inside the file" \
  "[ \$(status verify '$scratch/a.exe') -eq 0 ] && grep -q 'accepted: signature type 5 verified with key 5' '$scratch/out.txt'"
check "extract succeeds, into folders that do not exist yet" "'$sfxpack' extract '$scratch/a.exe' '$scratch/deep/er/out' >/dev/null 2>&1"
out=$scratch/deep/er/out
for name in vps1.vpx vps2.vpx; do
  check "extract: $name byte for byte, dated 2015-04-21 12:58:52 UTC" \
    "cmp -s '$top/example/data/$name' '$out/$name' && [ \$(stat -c %Y '$out/$name') -eq 1429621132 ]"
done
check "extract: the module's package and its unpacked content" \
  "[ -s '$out/engine.pkg' ] && cmp -s '$top/example/data/engine.ini' '$out/engine.ini'"
check "extract: the installer as instup.exe" "cmp -s '$scratch/installer.exe' '$out/instup.exe'"
check "extract: the embedded items under their file names" \
  "cmp -s '$top/example/data/rid.bin' '$out/rid.bin' && cmp -s '$top/example/data/business.cfg' '$out/bcc.cfg.tmp'"

cp "$scratch/a.exe" "$scratch/changed.exe"
printf 'X' | dd of="$scratch/changed.exe" bs=1 seek=9300 conv=notrunc 2>/dev/null
check "a changed byte: verify exits 1 and names the keys it tried" \
  "[ \$(status verify '$scratch/changed.exe') -eq 1 ] && one_line changed.exe && grep -q 'does not verify with any key the stub trusts' '$scratch/err.txt'"
check "a changed byte: extract exits 1 and writes nothing" \
  "[ \$(status extract '$scratch/changed.exe' '$scratch/refused') -eq 1 ] && [ -z \"\$(ls -A '$scratch/refused' 2>/dev/null)\" ]"

# --- whose keys: the stub's, read from the file ------------------------------------------------
# A second key set that differs in key 5, a stub that trusts it, and a fresh 2048/256 key.
mkdir -p "$scratch/otherkeys"
cp "$keys"/key*.pub.pem "$scratch/otherkeys/"
openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:2048 -pkeyopt dsa_paramgen_q_bits:256 \
  -out "$scratch/params.pem" 2>/dev/null
openssl genpkey -paramfile "$scratch/params.pem" -out "$scratch/fresh.pem" 2>/dev/null
openssl pkey -in "$scratch/fresh.pem" -pubout -out "$scratch/otherkeys/key5.pub.pem"
fresh=$(openssl pkey -in "$scratch/fresh.pem" -pubout -outform DER | sha256sum | cut -c1-16)
python3 "$top/sfxpack/stand_in_stub.py" "$scratch/otherkeys" "$scratch/otherstub.exe"
check "build with a key the stub does not trust: exit 1, its fingerprint named, nothing written" \
  "[ \$(status build '$top/example/manifest.json' -o '$scratch/untrusted.exe' --stub '$scratch/stub.exe' \
       --installer '$scratch/installer.exe' --key '$scratch/fresh.pem') -eq 1 ] && one_line untrusted.exe && \
   grep -q \"does not trust: key fingerprint $fresh\" '$scratch/err.txt' && [ ! -e '$scratch/untrusted.exe' ] && ! leftovers"
cp "$scratch/a.exe" "$scratch/kept.exe"
check "a refused build leaves an existing output as it was" \
  "! build '$scratch/kept.exe' --key '$scratch/fresh.pem' 2>/dev/null && cmp -s '$scratch/a.exe' '$scratch/kept.exe'"
check "the same key with a stub that trusts it: accepted, though sfxpack's own keys lack it" \
  "stub='$scratch/otherstub.exe' build '$scratch/other.exe' --key '$scratch/fresh.pem' && [ \$(status verify '$scratch/other.exe') -eq 0 ]"
check "verify --keys checks against the given folder instead of the stub's table" \
  "[ \$(status verify '$scratch/a.exe' --keys '$scratch/otherkeys') -eq 1 ] && [ \$(status verify '$scratch/other.exe' --keys '$scratch/otherkeys') -eq 0 ]"
python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$scratch/bare.exe" --no-table
check "a stub without a key table: build refuses and points at --keys" \
  "[ \$(status build '$top/example/manifest.json' -o '$scratch/bare-setup.exe' --stub '$scratch/bare.exe' \
       --installer '$scratch/installer.exe') -eq 1 ] && grep -q 'no key table' '$scratch/err.txt' && grep -q -- '--keys' '$scratch/err.txt'"

# --- the keyless type 2 -----------------------------------------------------------------------
head -c 5000 /dev/urandom >"$scratch/random.bin"
"$sfxpack" sign --type 2 --signature-only "$scratch/random.bin" >/dev/null
check "random bytes signed with type 2: not accepted, exit 1" "[ \$(status verify '$scratch/random.bin') -eq 1 ] && grep -q 'type 2' '$scratch/err.txt'"
printf '{ "installer": { "path": "installer.exe" }, "signature": { "type": 2 } }\n' >"$scratch/type2.json"
check "build with type 2: exit 1, nothing written" \
  "[ \$(status build '$scratch/type2.json' -o '$scratch/t2.exe' --stub '$scratch/stub.exe') -eq 1 ] && [ ! -e '$scratch/t2.exe' ]"
check "sign --type 2 on an installer is a usage error" "[ \$(status sign --type 2 '$scratch/kept.exe') -eq 2 ]"

# --- broken archive content, signed as it is --------------------------------------------------
# craft NAME CASE [STUB]: STUB (stub.exe unless given), the stored bytes, the installer's package,
# a map for CASE and the locator, signed with key 5 without the producer's checks.
"$sfxpack" pack --lzma "$scratch/installer.exe" "$scratch/installer.pkg" >/dev/null
craft() {
  python3 - "$scratch" "$2" "${3:-stub.exe}" <<'PY'
import struct, sys
scratch, case, stub = sys.argv[1:4]
def rec(tag, body): return tag + struct.pack("<I", len(body)) + body
data_at = len(open(scratch + "/" + stub, "rb").read())
installer = open(scratch + "/installer.pkg", "rb").read()
name = b"..\\evil.txt" if case == "evil" else b"engine.pkg"
entry = rec(b"NAME", name + b"\0") + rec(b"PTRL", struct.pack("<III", data_at, 32, 0))
if case == "module":
    entry += rec(b"XNAM", b"engine.ini\0")
records = rec(b"MODE", b"extract\0")
if case != "noinstaller":
    records += rec(b"CMDP", struct.pack("<II", data_at + 32, len(installer)))
open(scratch + "/map.bin", "wb").write(records + rec(b"LIST", rec(b"FILE", entry)))
PY
  "$sfxpack" pack --zlib "$scratch/map.bin" "$scratch/map.pkg" >/dev/null
  python3 - "$scratch" "$1" "${3:-stub.exe}" <<'PY'
import struct, sys
scratch, name, stub = sys.argv[1:4]
content = open(scratch + "/" + stub, "rb").read() + b"module bytes that are no package"
content += open(scratch + "/installer.pkg", "rb").read()
map_at = len(content)
content += open(scratch + "/map.pkg", "rb").read() + struct.pack("<I", map_at) + b"TZKsetupSelfExt2"
open(scratch + "/" + name, "wb").write(content)
PY
  "$sfxpack" sign --type 5 --key "$keys/key5.pem" --signature-only "$scratch/$1" >/dev/null
}
craft evil.exe evil
check "an entry named ..\\evil.txt: verify and extract exit 3 with the reason, nothing escapes" \
  "[ \$(status verify '$scratch/evil.exe') -eq 3 ] && grep -q 'outside the target folder' '$scratch/err.txt' && \
   [ \$(status extract '$scratch/evil.exe' '$scratch/evil/out') -eq 3 ] && [ ! -e '$scratch/evil/evil.txt' ]"
craft noinstaller.exe noinstaller
check "no installer record: verify exits 3 and says so" \
  "[ \$(status verify '$scratch/noinstaller.exe') -eq 3 ] && grep -q 'no installer record' '$scratch/err.txt'"
craft module.exe module
check "a module that is no package: extract exits 3 (bad content), not 4" \
  "[ \$(status extract '$scratch/module.exe' '$scratch/module') -eq 3 ] && grep -q 'bad archive content' '$scratch/err.txt'"
printf 'not a program\n' >"$scratch/text.exe"
craft textstub.exe plain text.exe
check "an archive behind no stub: verify with --keys exits 3, as nothing would load it" \
  "[ \$(status verify '$scratch/textstub.exe' --keys '$keys') -eq 3 ] && grep -q 'no stub in front of the archive' '$scratch/err.txt'"
head -c 3000 /dev/urandom >"$scratch/noarchive.bin"
"$sfxpack" sign --type 5 --key "$keys/key5.pem" --signature-only "$scratch/noarchive.bin" >/dev/null
check "a signature over no archive: exit 3 with the loader's code and text" \
  "[ \$(status verify '$scratch/noarchive.bin' --keys '$keys') -eq 3 ] && grep -q 'code 0x3ee: Incorrect magic of archive' '$scratch/err.txt'"

# --- inputs that are not what they are named ---------------------------------------------------
# The stub must be the stub, even where --keys stands in for its key table; the installer/updater
# a program that the stub can start. Else the "installer" is written, accepted, and fails only
# on the user's machine.
: >"$scratch/empty.exe"
cp "$scratch/bare.exe" "$scratch/program.exe"  # a 32-bit program: no key table, no archive loader
# refused_input NAME TEXT ARGS...: a build of the example with ARGS exits 3 with one line that
# names NAME once and says TEXT, and writes nothing.
refused_input() {
  [ "$(status build "$top/example/manifest.json" -o "$scratch/refused.exe" "${@:3}")" -eq 3 ] && one_line "$1" &&
    grep -q -- "$2" "$scratch/err.txt" && [ ! -e "$scratch/refused.exe" ] && ! leftovers
}
for kind in empty text; do
  check "a $kind file as the stub, with and without --keys: exit 3 naming it, nothing written" \
    "refused_input $kind.exe 'not the stub' --stub '$scratch/$kind.exe' --installer '$scratch/installer.exe' && \
     refused_input $kind.exe 'not the stub' --stub '$scratch/$kind.exe' --installer '$scratch/installer.exe' --keys '$keys'"
done
check "a program that is no stub, with --keys: exit 3 naming it, nothing written" \
  "refused_input program.exe 'not the stub' --stub '$scratch/program.exe' --installer '$scratch/installer.exe' --keys '$keys'"
# A stub whose table is missing (its loader's magic is there) or holds other keys than --keys.
cp "$scratch/bare.exe" "$scratch/tableless.exe"
printf 'TZKsetupSelfExt2' | dd of="$scratch/tableless.exe" bs=1 seek=$((0x200 + 100)) conv=notrunc 2>/dev/null
check "with --keys the stub's table may be missing or hold other keys: built, and verify --keys accepts it" \
  "stub='$scratch/tableless.exe' build '$scratch/tableless-setup.exe' --keys '$keys' && \
   [ \$(status verify '$scratch/tableless-setup.exe' --keys '$keys') -eq 0 ] && \
   stub='$scratch/otherstub.exe' build '$scratch/otherstub-setup.exe' --keys '$keys'"
cp "$scratch/installer.exe" "$scratch/dll.exe"
printf '\x02\x21' | dd of="$scratch/dll.exe" bs=1 seek=$((0x40 + 22)) conv=notrunc 2>/dev/null  # a DLL's flags
for kind in empty text dll; do
  check "a $kind file as the installer/updater: exit 3 naming it, nothing written" \
    "refused_input $kind.exe 'not a program the stub can start' --stub '$scratch/stub.exe' --installer '$scratch/$kind.exe'"
done
# The stub starts it with CreateProcess, which starts 64-bit programs on 64-bit Windows.
cp "$scratch/installer.exe" "$scratch/x64.exe"
printf '\x64\x86' | dd of="$scratch/x64.exe" bs=1 seek=$((0x40 + 4)) conv=notrunc 2>/dev/null  # machine x64
check "a 64-bit program as the installer/updater: built" "build '$scratch/x64-setup.exe' --installer '$scratch/x64.exe'"
key5=$keys/key5.pem
printf '{ "installer": { "path": "installer.exe", "packer": "lzma", "path": "stub.exe" },\n  "signature": { "type": 5, "key": "%s" } }\n' \
  "$key5" >"$scratch/twice.json"
printf '{ "installer": { "path": "installer.exe" }, "files": [ { "path": "installer.exe", "time": 0 },\n  { "path": "stub.exe", "time": 0, "time": 1 } ], "signature": { "type": 5, "key": "%s" } }\n' \
  "$key5" >"$scratch/twice-deep.json"
check "a key given twice in the manifest, at any depth: exit 3 naming it and where" \
  "[ \$(status build '$scratch/twice.json' -o '$scratch/x.exe' --stub '$scratch/stub.exe') -eq 3 ] && \
   grep -q 'twice.json: installer: \"path\" is given twice' '$scratch/err.txt' && \
   [ \$(status build '$scratch/twice-deep.json' -o '$scratch/x.exe' --stub '$scratch/stub.exe') -eq 3 ] && \
   grep -q 'files\[1\]: \"time\" is given twice' '$scratch/err.txt'"
printf '{ "installer": { "path": "installer.exe" } }\n' >"$scratch/unsigned.json"
printf '{ "installer": { "path": "installer.exe" }, "signature": { "type": 1, "key": "%s" } }\n' "$keys/key1.pem" >"$scratch/type1.json"
check "a manifest without \"signature\": exit 3, and the message says so and what it needs" \
  "[ \$(status build '$scratch/unsigned.json' -o '$scratch/x.exe' --stub '$scratch/stub.exe') -eq 3 ] && \
   grep -q 'no \"signature\": give one with the type and the private key' '$scratch/err.txt'"
check "a key of another size than the signature type needs: what the key is, the type and where it was chosen" \
  "[ \$(status build '$scratch/type1.json' -o '$scratch/x.exe' --stub '$scratch/stub.exe' --key '$key5') -eq 3 ] && \
   grep -q 'key5.pem: a DSA 2048/256 key; signature type 1 (\"type\" of \"signature\" in .*type1.json) needs a DSA 1024/160 key' '$scratch/err.txt' && \
   [ \$(status build '$scratch/unsigned.json' -o '$scratch/x.exe' --stub '$scratch/stub.exe' --key '$key5') -eq 3 ] && \
   grep -q 'signature type 1 (the default: the manifest has no \"signature\")' '$scratch/err.txt'"

# --- outputs that are inputs ------------------------------------------------------------------
# Writing one would replace what is being read: refused as a usage error before anything is
# written, however its path is spelled.
given=$scratch/given
mkdir -p "$given"
cp "$scratch/stub.exe" "$scratch/installer.exe" "$top/example/data/vps1.vpx" "$key5" "$keys"/key*.pub.pem \
  "$keys/codesign.pem" "$keys/codesign.key.pem" "$given/"
printf '{ "installer": { "path": "installer.exe" }, "files": [ { "path": "vps1.vpx", "time": 0 } ],\n  "signature": { "type": 5, "key": "key5.pem" } }\n' \
  >"$given/inputs.json"
(cd "$given" && sha256sum -- * >"$scratch/given.sums")
# overwrites OUT NAME ARGS...: building into OUT exits 2 with one line naming NAME once, and no
# input changed.
overwrites() {
  [ "$(status build "$given/inputs.json" -o "$1" --stub "$given/stub.exe" "${@:3}")" -eq 2 ] && one_line "$2" &&
    grep -q 'is also an input' "$scratch/err.txt" && (cd "$given" && sha256sum --quiet -c "$scratch/given.sums") && ! leftovers
}
for name in inputs.json stub.exe installer.exe vps1.vpx key5.pem; do
  check "build -o its input $name: exit 2, nothing written" "overwrites '$given/$name' $name"
done
check "build -o an input spelled otherwise, a key of --keys, the --cert: exit 2, nothing written" \
  "overwrites '$given/../given/stub.exe' stub.exe && overwrites '$given/key5.pub.pem' key5.pub.pem --keys '$given' && \
   overwrites '$given/codesign.pem' codesign.pem --cert '$given/codesign.pem' --cert-key '$given/codesign.key.pem' --signing-time 0"
check "pack with OUT its IN, sign of the key it signs with: exit 2, nothing written" \
  "[ \$(status pack --lzma '$given/vps1.vpx' '$given/vps1.vpx') -eq 2 ] && \
   [ \$(status sign --type 5 --key '$given/key5.pem' --signature-only '$given/key5.pem') -eq 2 ] && \
   (cd '$given' && sha256sum --quiet -c '$scratch/given.sums')"

# --- the rest of the contract -----------------------------------------------------------------
check "a missing file: exit 3, one line naming it once with the reason" \
  "[ \$(status verify '$scratch/nosuch.exe') -eq 3 ] && one_line nosuch.exe && grep -q 'No such file' '$scratch/err.txt'"
check "inspect of a missing file: exit 3 and a reason" \
  "[ \$(status inspect '$scratch/nosuch.exe') -eq 3 ] && one_line nosuch.exe && grep -q 'No such file' '$scratch/err.txt'"
check "a missing manifest is named once" \
  "[ \$(status build '$scratch/nosuch.json' -o '$scratch/x.exe') -eq 3 ] && one_line nosuch.json"
printf '{\n  "stub": "stub.exe",\n  "installer": { "path": "installer.exe" },,\n}\n' >"$scratch/bad.json"
check "bad JSON: exit 3 with its line and column" \
  "[ \$(status build '$scratch/bad.json' -o '$scratch/x.exe') -eq 3 ] && grep -q 'bad.json:3:[0-9]*: not valid JSON' '$scratch/err.txt'"
printf '{ "installer": { "path": "installer.exe" } }\n' >"$scratch/nostub.json"
check "no stub in the manifest: the message points at --stub" \
  "[ \$(status build '$scratch/nostub.json' -o '$scratch/x.exe') -eq 3 ] && grep -q -- '--stub' '$scratch/err.txt'"
check "tag --item without '=' is a usage error" "[ \$(status tag '$scratch/a.exe' --item EAPT) -eq 2 ]"
check "an unknown option is a usage error" "[ \$(status verify --fast '$scratch/a.exe') -eq 2 ]"
check "--help states the exit-code contract" \
  "[ \$(status --help) -eq 0 ] && grep -q '3  an input is missing' '$scratch/out.txt' && [ \$(status build --help) -eq 0 ] && grep -q '\"time\"' '$scratch/out.txt'"
check "an output that cannot be created: exit 4" "[ \$(status build '$top/example/manifest.json' -o '$scratch/a.exe/x.exe' \
  --stub '$scratch/stub.exe' --installer '$scratch/installer.exe') -eq 4 ] && one_line a.exe/x.exe"
check "a folder that cannot be made: extract exits 4" "[ \$(status extract '$scratch/a.exe' '$scratch/a.exe/out') -eq 4 ]"
check "extract into a file: exit 4, and it is named as no folder" \
  "[ \$(status extract '$scratch/a.exe' '$scratch/kept.exe') -eq 4 ] && one_line kept.exe && grep -q 'is not a folder' '$scratch/err.txt'"
# A write that fails halfway (the file-size limit) leaves neither the output nor a partial file.
check "a write that fails halfway: exit 4, nothing left" \
  "[ \$(trap '' XFSZ; ulimit -f 20; status build '$top/example/manifest.json' -o '$scratch/big.exe' --stub '$scratch/stub.exe' \
       --installer '$scratch/installer.exe') -eq 4 ] && [ ! -e '$scratch/big.exe' ] && ! leftovers"

check "verify --json when accepted" \
  "[ \$(status verify --json '$scratch/a.exe') -eq 0 ] && field 'j[\"ok\"] and j[\"accepted\"] and j[\"keyIndex\"] == 5 and \"error\" not in j'"
check "verify --json when refused: ok false, error with code and message" \
  "[ \$(status verify --json '$scratch/changed.exe') -eq 1 ] && field 'not j[\"ok\"] and j[\"error\"][\"code\"] == 1 and \"does not verify\" in j[\"error\"][\"message\"]'"
check "inspect --json of a missing file: ok false, error code 3" \
  "[ \$(status inspect --json '$scratch/nosuch.exe') -eq 3 ] && field 'not j[\"ok\"] and j[\"error\"][\"code\"] == 3 and j[\"error\"][\"message\"]'"
check "inspect --json of an installer: entries and the loader's content length" \
  "[ \$(status inspect --json '$scratch/a.exe') -eq 0 ] && field 'j[\"ok\"] and len(j[\"files\"]) == 3 and j[\"contentLength\"] == j[\"signatureOffset\"]'"
check "build --json: one object with ok" \
  "[ \$(status build '$top/example/manifest.json' -o '$scratch/j.exe' --stub '$scratch/stub.exe' --installer '$scratch/installer.exe' --json) -eq 0 ] && field 'j[\"ok\"] and j[\"file\"].endswith(\"j.exe\")'"
check "build --json of a bad manifest: ok false, error code 3" \
  "[ \$(status build '$scratch/bad.json' -o '$scratch/x.exe' --json) -eq 3 ] && field 'not j[\"ok\"] and j[\"error\"][\"code\"] == 3'"

# --- what the program says it is ---------------------------------------------------------------
# Pipelines keep the version and commit with what they shipped and check the JSON format before
# reading fields; the revision comes from cmake/revision.cmake, which a tree that is no checkout
# of its own (a source archive) must get through with "unknown".
check "--version: 'sfxpack VERSION (REVISION)' on stdout, exit 0, and --help names it" \
  "[ \$(status --version) -eq 0 ] && grep -qxE 'sfxpack [0-9]+(\.[0-9]+)+ \([^ ()]+\)' '$scratch/out.txt' && \
   [ ! -s '$scratch/err.txt' ] && '$sfxpack' --help | grep -q -- '--version'"
mkdir -p "$scratch/no-checkout"
check "outside a git checkout the revision is 'unknown', and making it does not fail" \
  "cmake -DSOURCE_DIR='$scratch/no-checkout' -DSFX_VERSION=1.0 -DIN='$top/sfxpack/version.h.in' \
     -DOUT='$scratch/no-checkout/version.h' -P '$top/cmake/revision.cmake' && \
   grep -q 'SFXPACK_REVISION \"unknown\"' '$scratch/no-checkout/version.h'"
# format_version ARGS...: the command's --json object carries formatVersion 1, whatever its exit.
format_version() { status "$@" >/dev/null; field 'j["formatVersion"] == 1'; }
check "every --json object carries formatVersion 1: verify, inspect and build, ok or failed" \
  "format_version verify --json '$scratch/a.exe' && format_version verify --json '$scratch/changed.exe' && \
   format_version inspect --json '$scratch/a.exe' && format_version inspect --json '$scratch/nosuch.exe' && \
   format_version build '$top/example/manifest.json' -o '$scratch/j.exe' --stub '$scratch/stub.exe' \
     --installer '$scratch/installer.exe' --json && format_version build '$scratch/bad.json' -o '$scratch/x.exe' --json && \
   format_version verify --json --no-such-option '$scratch/a.exe'"

# --- inputs over the format's limit -----------------------------------------------------------
# Sparse files cost no disk. An input that can never go into an installer must be refused on its
# size before a byte of it is read: a 32-bit sfxpack cannot hold 3 GiB at all (it died of
# bad_alloc), and a 64-bit one should not take gigabytes to say no.
truncate -s 3G "$scratch/huge.bin"
truncate -s 1200M "$scratch/half1.bin"
truncate -s 1200M "$scratch/half2.bin"
limit="over the format's limit of 2147483647 bytes"
# measured ARGS...: like status, and sfxpack's peak resident size in KiB into peak.txt.
measured() {
  python3 -c 'import resource, subprocess, sys
with open(sys.argv[1] + "/out.txt", "w") as out, open(sys.argv[1] + "/err.txt", "w") as err:
    code = subprocess.call(sys.argv[2:], stdout=out, stderr=err)
open(sys.argv[1] + "/peak.txt", "w").write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
print(code)' "$scratch" "$sfxpack" "$@"
}
# refused_unread NAMED TEXT OUT ARGS...: exit 3 with one line naming NAMED once and saying TEXT,
# within 256 MiB (a run that reads the input first takes gigabytes), and neither OUT nor a
# partial file written.
refused_unread() {
  local named=$1 text=$2 out=$3
  shift 3
  [ "$(measured "$@")" -eq 3 ] && one_line "$named" && grep -q -F -- "$text" "$scratch/err.txt" &&
    [ "$(cat "$scratch/peak.txt")" -lt 262144 ] && [ ! -e "$out" ] && ! leftovers
}
manifest_with() {
  printf '{ "installer": { "path": "installer.exe" }, "files": [ %s ], "signature": { "type": 5, "key": "%s" } }\n' \
    "$1" "$keys/key5.pem"
}
manifest_with '{ "path": "huge.bin", "time": 0 }' >"$scratch/huge.json"
manifest_with '{ "path": "half1.bin", "time": 0 }, { "path": "half2.bin", "time": 0 }' >"$scratch/halves.json"
check "pack of a 3 GiB file: exit 3 with its size and the limit, unread, nothing written" \
  "refused_unread huge.bin \"is 3221225472 bytes, \$limit\" '$scratch/huge.pkg' pack --lzma '$scratch/huge.bin' '$scratch/huge.pkg'"
check "build with a 3 GiB entry: exit 3 naming it, its size and the limit, unread, nothing written" \
  "refused_unread huge.bin \"is 3221225472 bytes, \$limit (files[0] in\" '$scratch/huge.exe' \
     build '$scratch/huge.json' -o '$scratch/huge.exe' --stub '$scratch/stub.exe'"
check "build with a 3 GiB --installer (packed, so its size alone decides): refused the same way" \
  "refused_unread huge.bin \"is 3221225472 bytes, \$limit (given with --installer)\" '$scratch/huge.exe' \
     build '$top/example/manifest.json' -o '$scratch/huge.exe' --stub '$scratch/stub.exe' --installer '$scratch/huge.bin'"
# Each under the limit, but stored as they are they and the stub already make too large a file.
sum=$((2 * 1200 * 1024 * 1024 + $(stat -c %s "$scratch/stub.exe")))
check "build with two entries of 1.2 GiB stored as they are: the manifest named with their sum, unread" \
  "refused_unread halves.json \"come to $sum bytes, \$limit\" '$scratch/halves.exe' \
     build '$scratch/halves.json' -o '$scratch/halves.exe' --stub '$scratch/stub.exe'"
rm -f "$scratch/huge.bin" "$scratch/half1.bin" "$scratch/half2.bin"

# --- a run that a signal ends -----------------------------------------------------------------
# SIGTERM or SIGINT while the output is staged: the staged file goes with the process, which ends
# killed by the signal (128 + its number). A shell without job control starts background jobs
# with SIGINT ignored; env gives sfxpack the default, as a terminal's job has.
truncate -s 300M "$scratch/large.bin"
manifest_with '{ "path": "large.bin", "time": 0 }' >"$scratch/large.json"
# ended SIGNAL CODE: a build of large.json, sent SIGNAL once its staged file is there, ends with
# CODE and leaves neither the staged file nor the output.
ended() {
  env --default-signal=INT "$sfxpack" build "$scratch/large.json" -o "$scratch/large.exe" --stub "$scratch/stub.exe" \
    >/dev/null 2>&1 &
  local pid=$! code passed=1
  local staged=$scratch/large.exe.partial-$pid
  while [ ! -e "$staged" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  kill -s "$1" "$pid"
  wait "$pid"
  code=$?
  [ "$code" -eq "$2" ] && [ ! -e "$staged" ] && [ ! -e "$scratch/large.exe" ] && passed=0
  rm -f "$staged" "$scratch/large.exe"  # what a failure left would fail every later check too
  return "$passed"
}
check "SIGTERM while the output is written: the staged file removed, exit 143" "ended TERM 143"
check "SIGINT while the output is written: the staged file removed, exit 130" "ended INT 130"
rm -f "$scratch/large.bin"

# --- entries of any size, progress, packages packed two at a time --------------------------------
# An entry is read from its file while the installer is written, and the installer is checked a
# piece at a time: a build and a verify of 1.5 GiB stay within 256 MiB (the sanitizers' own
# memory included; holding the file would take gigabytes). The installer/updater is packed with
# zlib here: the LZMA encoder's state alone would be a fifth of the bound.
truncate -s 1536M "$scratch/sparse.bin"
printf '{ "installer": { "path": "installer.exe", "packer": "zlib" }, "files": [ { "path": "sparse.bin", "time": 0 } ],
  "signature": { "type": 5, "key": "%s" } }\n' "$keys/key5.pem" >"$scratch/sparse.json"
check "build of a 1.5 GiB entry stored as it is: accepted, within 256 MiB" \
  "[ \$(measured build '$scratch/sparse.json' -o '$scratch/sparse.exe' --stub '$scratch/stub.exe') -eq 0 ] && \
   [ \$(cat '$scratch/peak.txt') -lt 262144 ]"
check "verify of that installer: accepted, within 256 MiB" \
  "[ \$(measured verify '$scratch/sparse.exe') -eq 0 ] && [ \$(cat '$scratch/peak.txt') -lt 262144 ]"
rm -f "$scratch/sparse.bin" "$scratch/sparse.exe"

# The limit holds for the whole file, not only for the content the signature covers: the stub
# opens no file past it, so a signature block that ends beyond it is refused, not written.
truncate -s 0 "$scratch/limit.bin"
printf '{ "installer": { "path": "installer.exe", "packer": "zlib" }, "files": [ { "path": "limit.bin", "time": 0 } ],
  "signature": { "type": 5, "key": "%s" } }\n' "$keys/key5.pem" >"$scratch/limit.json"
"$sfxpack" build "$scratch/limit.json" -o "$scratch/empty.exe" --stub "$scratch/stub.exe" >/dev/null
truncate -s $((2147483647 - $(stat -c %s "$scratch/empty.exe") + 1)) "$scratch/limit.bin"
check "build whose signature block would end one byte past the format's limit: exit 3 with the size, nothing written" \
  "[ \$(status build '$scratch/limit.json' -o '$scratch/limit.exe' --stub '$scratch/stub.exe') -eq 3 ] && \
   grep -q 'not written, the stub would refuse it: it is 21474836[0-9]* bytes, over the format.s limit of 2147483647' '$scratch/err.txt' && [ ! -e '$scratch/limit.exe' ]"
rm -f "$scratch/limit.bin" "$scratch/limit.exe" "$scratch/empty.exe"

# On a terminal (script gives sfxpack one), build, sign, verify and extract say how far they are:
# the bytes done of the total and the percentage, from the first megabyte of a 300 MiB entry on;
# -q and --json keep the terminal free of it, and so does an stderr that is no terminal.
truncate -s 300M "$scratch/large.bin"
on_terminal() { script -qec "$(printf '%q ' "$sfxpack" "$@")" /dev/null >"$scratch/tty.txt" 2>&1; }
shows_progress() { tr '\r' '\n' <"$scratch/tty.txt" | grep -qE "^$1 .*: [0-9.]+ MiB of [0-9.]+ MiB, +[0-9]+%$"; }
# moves_within WORK: WORK drew a point inside its one entry (not only its start and end) and its
# last drawing is all of it. A fast machine extracts the entry within one redraw interval, so
# that check has the meter draw at every step (SFXPACK_REDRAW_MS=0): it sees the meter, not the
# machine's speed.
moves_within() {
  tr '\r' '\n' <"$scratch/tty.txt" | python3 -c 'import re, sys
seen = [(float(d), float(t)) for d, t in re.findall(r"^" + sys.argv[1] + r" .*: ([0-9.]+) MiB of ([0-9.]+) MiB, +[0-9]+%$",
                                                sys.stdin.read(), re.M)]
sys.exit(0 if seen and any(0 < d < t for d, t in seen) and seen[-1][0] == seen[-1][1] else 1)' "$1"
}
check "build on a terminal: progress from the start, long before the large entry is all written" \
  "on_terminal build '$scratch/large.json' -o '$scratch/large.exe' --stub '$scratch/stub.exe' && \
   shows_progress building && tr '\r' '\n' <'$scratch/tty.txt' | grep -qE '^building .*, +[0-9]%$'"
check "verify and sign on a terminal: progress" \
  "on_terminal verify '$scratch/large.exe' && shows_progress verifying && \
   head -c \$(\"$sfxpack\" verify '$scratch/large.exe' | sed -n 's/.*content \([0-9]*\) bytes.*/\1/p') '$scratch/large.exe' >'$scratch/large-unsigned.exe' && \
   on_terminal sign --type 5 --key '$keys/key5.pem' '$scratch/large-unsigned.exe' && shows_progress signing && \
   cmp -s '$scratch/large-unsigned.exe' '$scratch/large.exe'"
check "extract on a terminal: the bytes written, moving within the one large entry, up to all of them" \
  "SFXPACK_REDRAW_MS=0 on_terminal extract '$scratch/large.exe' '$scratch/large-out' && moves_within extracting && \
   cmp -s '$scratch/large-out/large.bin' '$scratch/large.bin'"
rm -rf "$scratch/large-out"
check "-q and --quiet on a terminal: no progress, the result line still there" \
  "on_terminal build '$scratch/large.json' -o '$scratch/large.exe' --stub '$scratch/stub.exe' -q && \
   ! grep -q '%' '$scratch/tty.txt' && grep -q 'accepted by the stub' '$scratch/tty.txt' && \
   on_terminal verify --quiet '$scratch/large.exe' && ! grep -q '%' '$scratch/tty.txt' && \
   on_terminal extract -q '$scratch/large.exe' '$scratch/large-out' && ! grep -q '%' '$scratch/tty.txt'"
rm -rf "$scratch/large-out"
check "--json on a terminal: the terminal holds nothing but the object" \
  "on_terminal verify --json '$scratch/large.exe' && python3 -c 'import json,sys; json.load(open(sys.argv[1]))' '$scratch/tty.txt'"
check "stderr no terminal: no progress, nothing on stderr" \
  "[ \$(status build '$scratch/large.json' -o '$scratch/large.exe' --stub '$scratch/stub.exe') -eq 0 ] && [ ! -s '$scratch/err.txt' ]"
rm -f "$scratch/large.bin" "$scratch/large.exe" "$scratch/large-unsigned.exe"

# Packages are packed two at a time and put in the manifest's order: each stored package is the
# one `pack` makes of its input alone (in one call, the way every package used to be made), and
# repeated builds give the same bytes.
python3 -c 'import random, sys
r = random.Random(5)
words = [bytes(r.choice(b"abcdefgh") for _ in range(r.randint(2, 8))) for _ in range(300)]
for i, name in enumerate(sys.argv[1:]):
    open(name, "wb").write(b" ".join(r.choice(words) for _ in range(200000 * (i + 1))) + r.randbytes(70000))' \
  "$scratch/p1.bin" "$scratch/p2.bin" "$scratch/p3.bin" "$scratch/p4.bin"
entry() { printf '{ "path": "%s.bin", "name": "%s.pkg", "extractionName": "%s.out", "packer": "%s", "time": 0 }' "$1" "$1" "$1" "$2"; }
manifest_with "$(entry p1 lzma), $(entry p2 zlib), { \"path\": \"p3.bin\", \"time\": 0 }, $(entry p4 lzma), $(entry p3 zlib)" \
  >"$scratch/packages.json"
# packaged NAME PACKER: the stored package and its unpacked file are pack's and the input's.
packaged() {
  "$sfxpack" pack "--$2" "$scratch/$1.bin" "$scratch/$1.$2.pkg" &&
    cmp -s "$scratch/$1.$2.pkg" "$scratch/pkgs/$1.pkg" && cmp -s "$scratch/$1.bin" "$scratch/pkgs/$1.out"
}
check "several packages: each stored package is the one pack makes of its entry alone, in the manifest's order" \
  "manifest='$scratch/packages.json' build '$scratch/pk1.exe' && \
   '$sfxpack' extract '$scratch/pk1.exe' '$scratch/pkgs' >/dev/null && \
   packaged p1 lzma && packaged p2 zlib && packaged p4 lzma && cmp -s '$scratch/p3.bin' '$scratch/pkgs/p3.bin' && \
   '$sfxpack' pack --zlib '$scratch/p3.bin' '$scratch/p3.zlib.pkg' && cmp -s '$scratch/p3.zlib.pkg' '$scratch/pkgs/p3.pkg'"
check "several packages: three builds give the same bytes" \
  "manifest='$scratch/packages.json' build '$scratch/pk2.exe' && manifest='$scratch/packages.json' build '$scratch/pk3.exe' && \
   cmp -s '$scratch/pk1.exe' '$scratch/pk2.exe' && cmp -s '$scratch/pk1.exe' '$scratch/pk3.exe'"
rm -rf "$scratch"/p[1-4].* "$scratch"/pk[1-3].exe "$scratch/pkgs"

not_utf8="$scratch/$(printf 'caf\351').exe"
check "an exception in a command (JSON cannot carry a name that is not UTF-8): exit 4 and one line, no abort" \
  "[ \$(status verify --json \"\$not_utf8\") -eq 4 ] && [ \$(wc -l <'$scratch/err.txt') -eq 1 ] && \
   grep -q '^sfxpack verify: .*UTF-8' '$scratch/err.txt'"

# --- two signatures: the archive's and Authenticode's ------------------------------------------
for tool in osslsigncode sbsign pesign certutil pk12util; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool is not installed (tools/setup.sh installs it), so the two-signature flow cannot be tested"
    exit 1
  fi
done
cert=(--cert "$keys/codesign.pem" --cert-key "$keys/codesign.key.pem")
tsa=(--test-tsa-certs "$keys/tsa.pem" --test-tsa-key "$keys/tsa.key.pem")
# authenticode_ok FILE: osslsigncode accepts the signature and finds the PE checksum current
# (neither signature covers it, so only sfxpack's own rewriting keeps it right).
authenticode_ok() {
  osslsigncode verify -CAfile "$keys/codesign-ca.pem" -TSA-CAfile "$keys/codesign-ca.pem" -in "$1" >"$scratch/ossl.txt" 2>&1 &&
    grep -qx 'Succeeded' "$scratch/ossl.txt" && ! grep -q 'invalid PE checksum' "$scratch/ossl.txt"
}
# table_ends FILE: read apart from sfxpack, the certificate table ends the file, and inside it
# nothing but up to 7 zero bytes follows the PKCS#7 (what the padding check allows).
table_ends() { python3 "$top/sfxpack/table_ends_file.py" "$1" >/dev/null; }
# code_ok FILE TIMESTAMP: the stub accepts it and verify, requiring the code signature too, reports
# an intact one with room.
code_ok() {
  [ "$(status verify --json --require-code-signature "$1")" -eq 0 ] && field "all(j['codeSignature'][k] for k in
    ('pkcs7Parses', 'digestMatches', 'tailRoom', 'paddingCheck', 'tableEndsFile', 'sound')) and
    j['codeSignature']['timestamp'] == $2 and j['codeSignature']['tailRoomSize'] >= 16384 and 'TEST-ONLY code signing' in j['codeSignature']['signer']"
}

check "Authenticode signing of a build without --cert breaks its archive signature, and verify says why" \
  "osslsigncode sign -certs '$keys/codesign.pem' -key '$keys/codesign.key.pem' -in '$scratch/a.exe' -out '$scratch/late.exe' >/dev/null 2>&1 && \
   [ \$(status verify '$scratch/late.exe') -eq 1 ] && grep -q -- '--cert' '$scratch/err.txt'"
check "build with a certificate: both signatures hold, the table ends the file" \
  "build '$scratch/signed.exe' ${cert[*]} --signing-time 1429621132 && code_ok '$scratch/signed.exe' False && \
   authenticode_ok '$scratch/signed.exe' && table_ends '$scratch/signed.exe' && ! leftovers"
check "build with a certificate repeats byte for byte" \
  "build '$scratch/signed2.exe' ${cert[*]} --signing-time 1429621132 && cmp -s '$scratch/signed.exe' '$scratch/signed2.exe'"
# documented OUT...: every key of the --json objects in the files OUT, nested ones too, is named in
# the manual page's JSON OUTPUT section, and the formatVersion they carry is the one it gives.
documented() {
  python3 - "$top/sfxpack/sfxpack.1" "$@" <<'PY'
import json, re, sys
page = open(sys.argv[1]).read().split(".SH JSON OUTPUT", 1)[1].split("\n.SH ", 1)[0]
page = re.sub(r"\\f[BIRP]", "", page)  # font changes around names
keys = set()
def walk(v):
    if isinstance(v, dict):
        keys.update(v)
        for x in v.values(): walk(x)
    elif isinstance(v, list):
        for x in v: walk(x)
objects = [json.load(open(f)) for f in sys.argv[2:]]
for o in objects: walk(o)
missing = sorted(k for k in keys if not re.search(r"\b%s\b" % re.escape(k), page))
documented = re.search(r"\.B formatVersion\n(\d+),", page)
if missing: print("not in the manual page:", *missing)
sys.exit(0 if not missing and documented and all(o["formatVersion"] == int(documented[1]) for o in objects) else 1)
PY
}
"$sfxpack" inspect --json "$scratch/signed.exe" >"$scratch/inspect-signed.json"
"$sfxpack" verify --json "$scratch/signed.exe" >"$scratch/verify-signed.json"
"$sfxpack" build "$top/example/manifest.json" -o "$scratch/signed3.exe" --stub "$scratch/stub.exe" \
  --installer "$scratch/installer.exe" ${cert[*]} --signing-time 1429621132 --json >"$scratch/build-signed.json"
check "the manual page documents every field of inspect, verify and build --json, and their format version" \
  "documented '$scratch/inspect-signed.json' '$scratch/verify-signed.json' '$scratch/build-signed.json'"
check "build with a certificate and a test timestamp: both signatures hold, the timestamp is reported" \
  "build '$scratch/stamped.exe' ${cert[*]} --signing-time 1796752800 ${tsa[*]} && code_ok '$scratch/stamped.exe' True && \
   authenticode_ok '$scratch/stamped.exe' && grep -q 'Timestamp time' '$scratch/ossl.txt'"
check "a timestamp server that does not answer: exit 3 with osslsigncode's reason, nothing written" \
  "[ \$(status build '$top/example/manifest.json' -o '$scratch/nots.exe' --stub '$scratch/stub.exe' --installer '$scratch/installer.exe' \
       ${cert[*]} --signing-time 1429621132 --timestamp http://127.0.0.1:9/) -eq 3 ] && one_line nots.exe && \
   grep -q 'osslsigncode sign failed' '$scratch/err.txt' && [ ! -e '$scratch/nots.exe' ] && ! leftovers"
printf '{ "installer": { "path": "installer.exe" }, "signature": { "type": 1, "key": "%s" } }\n' "$keys/key1.pem" >"$scratch/type1.json"
check "a certificate with a type-1 signature is a usage error" \
  "[ \$(status build '$scratch/type1.json' -o '$scratch/t1.exe' --stub '$scratch/stub.exe' ${cert[*]} --signing-time 0) -eq 2 ]"
check "--prepare with a certificate is a usage error: the engineer's tool signs" \
  "[ \$(status build '$top/example/manifest.json' -o '$scratch/x.exe' --stub '$scratch/stub.exe' ${cert[*]} --prepare) -eq 2 ]"

# Any signer: prepared, signed by osslsigncode with an ECDSA key, a description and a URL, sealed.
ec_sign() { osslsigncode sign -certs "$keys/codesign-ec.pem" -key "$keys/codesign-ec.key.pem" -h sha256 \
              -n 'Example setup' -i https://example.invalid/ -in "$1" -out "$2" >/dev/null 2>&1; }
check "prepare: the stub accepts it, the table is reported as reserved" \
  "build '$scratch/prepared.exe' --prepare && [ \$(status verify --json '$scratch/prepared.exe') -eq 0 ] && \
   field 'j[\"codeSignature\"] == {\"table\": \"reserved\", \"sound\": False}'"
check "prepared and signed by another tool: refused until sealed, and the reason says so" \
  "ec_sign '$scratch/prepared.exe' '$scratch/engineer.exe' && [ \$(status verify '$scratch/engineer.exe') -eq 1 ] && \
   grep -q 'sfxpack seal' '$scratch/err.txt'"
cp "$scratch/engineer.exe" "$scratch/engineer-unsealed.exe"
check "seal: both signatures hold, the ECDSA signer is reported; sealing again changes nothing" \
  "[ \$(status seal '$scratch/engineer.exe') -eq 0 ] && code_ok '$scratch/engineer.exe' False && \
   authenticode_ok '$scratch/engineer.exe' && cp '$scratch/engineer.exe' '$scratch/resealed.exe' && \
   [ \$(status seal '$scratch/resealed.exe') -eq 0 ] && cmp -s '$scratch/engineer.exe' '$scratch/resealed.exe' && ! leftovers"
build "$scratch/tight.exe" --prepare --reserve 17408 && ec_sign "$scratch/tight.exe" "$scratch/tight-signed.exe"
cp "$scratch/tight-signed.exe" "$scratch/tight-kept.exe"
check "a signature too large for the reservation: seal exits 1, names the --reserve that fits, file unchanged" \
  "[ \$(status seal '$scratch/tight-signed.exe' --reserve 17408) -eq 1 ] && one_line tight-signed.exe && \
   grep -qE 'prepare with --reserve [0-9]+ or more' '$scratch/err.txt' && cmp -s '$scratch/tight-signed.exe' '$scratch/tight-kept.exe'"
need=$(grep -oE -- '--reserve [0-9]+' "$scratch/err.txt" | cut -d' ' -f2)
check "that --reserve fits: prepared with it, the same signature seals" \
  "build '$scratch/fits.exe' --prepare --reserve '$need' && ec_sign '$scratch/fits.exe' '$scratch/fits-signed.exe' && \
   [ \$(status seal '$scratch/fits-signed.exe' --reserve '$need') -eq 0 ] && authenticode_ok '$scratch/fits-signed.exe'"
check "sealed with another --reserve than prepared: the archive signature refuses it, nothing written" \
  "cp '$scratch/engineer-unsealed.exe' '$scratch/wrong.exe' && [ \$(status seal '$scratch/wrong.exe' --reserve 49152) -eq 1 ] && \
   grep -q 'another --reserve' '$scratch/err.txt' && cmp -s '$scratch/engineer-unsealed.exe' '$scratch/wrong.exe'"

# A code-signed installer is never held whole either: --prepare, seal and tag of a 1.5 GiB entry
# stay within 256 MiB, as build and verify do. The signature sealed here is the small engineer.exe's,
# put in the large file's reservation: a signing tool would read all 1.5 GiB into its own memory,
# and seal only needs a signature to seal (the image digest it does not match is kept as found).
# graft SIGNED PREPARED: PREPARED's table becomes SIGNED's, as a signing tool leaves it.
graft() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
def entry(f):
    f.seek(0x3C)
    pe = struct.unpack("<I", f.read(4))[0]
    f.seek(pe + 4)
    at = pe + (168 if struct.unpack("<H", f.read(2))[0] in (0x200, 0x284, 0x8664) else 152)
    f.seek(at)
    return (at,) + struct.unpack("<II", f.read(8))
with open(sys.argv[1], "rb") as signed:
    _, at, size = entry(signed)
    signed.seek(at)
    table = signed.read(size)
with open(sys.argv[2], "r+b") as prepared:
    field, at, _ = entry(prepared)
    prepared.seek(field + 4)
    prepared.write(struct.pack("<I", len(table)))
    prepared.seek(at)
    prepared.write(table)
    prepared.truncate(at + len(table))
PY
}
# checksum_ok FILE: its PE checksum is the one summed here apart from sfxpack, over the whole file
# (a megabyte at a time, and zero megabytes skipped: they add nothing).
checksum_ok() {
  python3 - "$1" <<'PY'
import array, struct, sys
with open(sys.argv[1], "rb") as f:
    f.seek(0x3C)
    field = struct.unpack("<I", f.read(4))[0] + 88
    f.seek(field)
    stored = struct.unpack("<I", f.read(4))[0]
    f.seek(0)
    total, at, zero = 0, 0, bytes(1 << 20)
    while piece := f.read(1 << 20):
        if piece != zero[:len(piece)]:
            words = bytearray(piece + b"\0" * (len(piece) % 2))
            if at <= field < at + len(piece):
                words[field - at:field - at + 4] = bytes(4)
            total += sum(array.array("H", bytes(words)))
        at += len(piece)
while total >> 16:
    total = (total & 0xFFFF) + (total >> 16)
sys.exit(0 if (total + at) & 0xFFFFFFFF == stored else 1)
PY
}
truncate -s 1536M "$scratch/sparse.bin"
check "build --prepare of a 1.5 GiB entry stored as it is: accepted, within 256 MiB" \
  "[ \$(measured build '$scratch/sparse.json' -o '$scratch/sparse.exe' --stub '$scratch/stub.exe' --prepare) -eq 0 ] && \
   [ \$(cat '$scratch/peak.txt') -lt 262144 ]"
rm -f "$scratch/sparse.bin"
graft "$scratch/engineer-unsealed.exe" "$scratch/sparse.exe"
printf 'large' >"$scratch/large-ticket.bin"
check "seal of it once signed: accepted, the table as reserved, the PE checksum current, within 256 MiB" \
  "[ \$(measured seal '$scratch/sparse.exe') -eq 0 ] && [ \$(cat '$scratch/peak.txt') -lt 262144 ] && \
   table_ends '$scratch/sparse.exe' && checksum_ok '$scratch/sparse.exe'"
check "tag of it: accepted, the PE checksum current, within 256 MiB" \
  "[ \$(measured tag '$scratch/sparse.exe' --item EAPT='$scratch/large-ticket.bin') -eq 0 ] && \
   [ \$(cat '$scratch/peak.txt') -lt 262144 ] && checksum_ok '$scratch/sparse.exe'"
# A security directory may claim a table of most of the file; the table is read whole, so such a
# claim is refused unread rather than taking the file's size in memory.
python3 - "$scratch/sparse.exe" <<'PY'
import os, struct, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(0x3C)
    pe = struct.unpack("<I", f.read(4))[0]
    f.seek(pe + 24 + 128)
    f.write(struct.pack("<II", 4096, os.path.getsize(sys.argv[1]) - 4096))
PY
check "a certificate table claimed over 1.5 GiB: inspect and seal say so, within 256 MiB" \
  "[ \$(measured inspect '$scratch/sparse.exe') -eq 3 ] && [ \$(cat '$scratch/peak.txt') -lt 262144 ] && \
   grep -q 'more than the 16 MiB sfxpack reads' '$scratch/out.txt' && \
   [ \$(measured seal '$scratch/sparse.exe') -eq 3 ] && [ \$(cat '$scratch/peak.txt') -lt 262144 ] && \
   grep -q 'more than the 16 MiB sfxpack reads' '$scratch/err.txt'"
rm -f "$scratch/sparse.exe"

# The stub reads tags only where no embedded-data block is, so the tagged flows come from the
# example manifest made for tagging.
tagged=$top/example/manifest-tagged.json
manifest=$tagged build "$scratch/tsigned.exe" "${cert[@]}" --signing-time 1429621132
manifest=$tagged build "$scratch/tstamped.exe" "${cert[@]}" --signing-time 1796752800 "${tsa[@]}"
manifest=$tagged build "$scratch/tprepared.exe" --prepare
ec_sign "$scratch/tprepared.exe" "$scratch/tengineer.exe" && "$sfxpack" seal "$scratch/tengineer.exe" >/dev/null

# Signers that keep the zero-filled reservation as a signature and append their own entry behind
# it. pesign takes its key from an NSS database, made here from the same test certificate.
nss=$scratch/nss
mkdir -p "$nss" && certutil -N -d "sql:$nss" --empty-password &&
  openssl pkcs12 -export -in "$keys/codesign.pem" -inkey "$keys/codesign.key.pem" -name signer -passout pass: \
    -out "$scratch/signer.p12" && pk12util -i "$scratch/signer.p12" -d "sql:$nss" -W '' >/dev/null
sign_sbsign() { sbsign --key "$keys/codesign.key.pem" --cert "$keys/codesign.pem" --output "$2" "$1" >/dev/null 2>&1; }
sign_pesign() { pesign -n "sql:$nss" -c signer -s -i "$1" -o "$2" </dev/null >/dev/null 2>&1; }
prepared_size=$(stat -c %s "$scratch/tprepared.exe")
for signer in sbsign pesign; do
  file=$scratch/t$signer.exe
  check "$signer appends its signature behind the reservation: seal moves it there, the file as large as prepared, both signatures hold" \
    "sign_$signer '$scratch/tprepared.exe' '$file' && [ \$(stat -c %s '$file') -gt $prepared_size ] && \
     [ \$(status seal '$file') -eq 0 ] && [ \$(stat -c %s '$file') -eq $prepared_size ] && code_ok '$file' False && \
     authenticode_ok '$file' && table_ends '$file' && ! leftovers"
done
sign_sbsign "$scratch/tsbsign.exe" "$scratch/twice.exe" && cp "$scratch/twice.exe" "$scratch/twice-kept.exe"
sign_sbsign "$scratch/tprepared.exe" "$scratch/once.exe" && sign_sbsign "$scratch/once.exe" "$scratch/three.exe"
cp "$scratch/three.exe" "$scratch/three-kept.exe" && cp "$scratch/once.exe" "$scratch/once-kept.exe"
check "seal refuses, with the reason and the file unchanged, tables of another shape: a signature appended behind a signature (exit 1)" \
  "[ \$(status seal '$scratch/twice.exe') -eq 1 ] && one_line twice.exe && \
   grep -q 'holds 2 entries, the first of them a signature, not the zero-filled reservation' '$scratch/err.txt' && \
   cmp -s '$scratch/twice.exe' '$scratch/twice-kept.exe'"
check "... two signatures appended behind the reservation (nothing seal can work on: exit 3)" \
  "[ \$(status seal '$scratch/three.exe') -eq 3 ] && grep -q 'holds 3 entries' '$scratch/err.txt' && \
   cmp -s '$scratch/three.exe' '$scratch/three-kept.exe'"
check "... a reservation of another size than seal's --reserve, named (exit 3)" \
  "[ \$(status seal '$scratch/once.exe' --reserve 49152) -eq 3 ] && grep -q 'reservation is 40960 bytes, not 49152' '$scratch/err.txt' && \
   cmp -s '$scratch/once.exe' '$scratch/once-kept.exe'"

sign_sbsign "$scratch/tight.exe" "$scratch/tight-sbsign.exe" && cp "$scratch/tight-sbsign.exe" "$scratch/tight-sbsign-kept.exe"
check "appended behind a reservation too small for it: refused as a signer that writes over it is (exit 1, the --reserve that fits)" \
  "[ \$(status seal '$scratch/tight-sbsign.exe' --reserve 17408) -eq 1 ] && one_line tight-sbsign.exe && \
   grep -qE 'prepare with --reserve [0-9]+ or more' '$scratch/err.txt' && cmp -s '$scratch/tight-sbsign.exe' '$scratch/tight-sbsign-kept.exe'"

printf 'ticket' >"$scratch/ticket.bin"
printf 'recommendation' >"$scratch/rid.bin"
cp "$scratch/signed.exe" "$scratch/embedded-tag.exe"
check "embedded items: verify and inspect say the stub reads them, and tag refuses with exit 3, the file unchanged" \
  "[ \$(status verify '$scratch/signed.exe') -eq 0 ] && grep -qx 'items block the stub reads: embedded' '$scratch/out.txt' && \
   [ \$(status inspect --json '$scratch/signed.exe') -eq 0 ] && field 'j[\"itemsBlock\"] == \"embedded\"' && \
   [ \$(status tag '$scratch/embedded-tag.exe' --item EAPT='$scratch/ticket.bin') -eq 3 ] && one_line embedded-tag.exe && \
   grep -q 'never reads a tail block' '$scratch/err.txt' && cmp -s '$scratch/signed.exe' '$scratch/embedded-tag.exe'"

# Per-download tags in each flow: tagged, retagged with another item, untagged, in place.
# tag_step FILE SIZE TIMESTAMP ITEMS TAG-ARGS...: the tag step keeps both signatures, the size and
# the table at the end, and the tail block holds ITEMS (as inspect lists them), the block the stub
# reads when there are any.
tag_step() {
  local file=$1 size=$2 stamp=$3 items=$4
  shift 4
  [ "$(status tag "$file" "$@")" -eq 0 ] && authenticode_ok "$file" && table_ends "$file" &&
    [ "$(stat -c %s "$file")" -eq "$size" ] && code_ok "$file" "$stamp" &&
    [ "$(status inspect --json "$file")" -eq 0 ] &&
    field "j['tailItems'] == $items and j['itemsBlock'] == ('tail' if $items else 'none')"
}
for flow in tsigned:False tstamped:True tengineer:False tsbsign:False tpesign:False; do
  name=${flow%%:*} stamp=${flow#*:} file=$scratch/${flow%%:*}-tag.exe
  cp "$scratch/$name.exe" "$file" && chmod 755 "$file"
  size=$(stat -c %s "$file") label=${name#t}
  check "$label: tagged in place, both signatures hold, the mode kept" \
    "tag_step '$file' $size $stamp '[{\"file\": \"pairing.bin\", \"size\": 6}]' --item EAPT='$scratch/ticket.bin' && \
     [ \$(stat -c %a '$file') = 755 ] && [ \$(status verify '$file') -eq 0 ] && \
     grep -qx 'items block the stub reads: tail' '$scratch/out.txt'"
  check "$label: retagged with another item" \
    "tag_step '$file' $size $stamp '[{\"file\": \"rid.bin\", \"size\": 14}]' --item ERID='$scratch/rid.bin'"
  check "$label: untagged: the room zero-filled, the file as it was signed" \
    "tag_step '$file' $size $stamp '[]' --remove && cmp -s '$scratch/$name.exe' '$file'"
done

# What verify reports when the code signature does not hold.
cp "$scratch/signed.exe" "$scratch/code-changed.exe"
printf 'X' | dd of="$scratch/code-changed.exe" bs=1 seek=9300 conv=notrunc 2>/dev/null
check "a byte changed after signing: both signatures fail, verify --json says digest mismatch, the reason says so" \
  "[ \$(status verify --json '$scratch/code-changed.exe') -eq 1 ] && \
   field 'not j[\"accepted\"] and j[\"codeSignature\"][\"pkcs7Parses\"] and not j[\"codeSignature\"][\"digestMatches\"]' && \
   grep -q 'image changed after both were made' '$scratch/err.txt' && \
   ! authenticode_ok '$scratch/code-changed.exe'"
# What tag did before: the tail block appended behind the certificate table.
"$sfxpack" tag "$scratch/tsigned-tag.exe" --item EAPT="$scratch/ticket.bin" >/dev/null
{ cat "$scratch/tsigned.exe"; tail -c 16384 "$scratch/tsigned-tag.exe"; } >"$scratch/appended.exe"
cp "$scratch/appended.exe" "$scratch/appended-kept.exe"
check "a tail block behind the table (the old way): the stub accepts it, the code signature is reported broken" \
  "[ \$(status verify --json '$scratch/appended.exe') -eq 0 ] && field 'not j[\"codeSignature\"][\"tableEndsFile\"] and \
   not j[\"codeSignature\"][\"paddingCheck\"] and not j[\"codeSignature\"][\"digestMatches\"] and not j[\"codeSignature\"][\"tailRoom\"] and \
   not j[\"codeSignature\"][\"sound\"]' && \
   ! authenticode_ok '$scratch/appended.exe'"
check "tag on it refuses with the reason and leaves it; --remove takes the block off and restores the signature" \
  "[ \$(status tag '$scratch/appended.exe' --item EAPT='$scratch/ticket.bin') -eq 1 ] && grep -q 'no room for the tail block' '$scratch/err.txt' && \
   cmp -s '$scratch/appended.exe' '$scratch/appended-kept.exe' && [ \$(status tag '$scratch/appended.exe' --remove) -eq 0 ] && \
   cmp -s '$scratch/appended.exe' '$scratch/tsigned.exe'"
cp "$scratch/tprepared.exe" "$scratch/prepared-tag.exe"
check "tag before the Authenticode signing (placeholder table): exit 1, the file unchanged" \
  "[ \$(status tag '$scratch/prepared-tag.exe' --item EAPT='$scratch/ticket.bin') -eq 1 ] && cmp -s '$scratch/tprepared.exe' '$scratch/prepared-tag.exe'"
manifest=$tagged build "$scratch/tplain.exe" && cp "$scratch/tplain.exe" "$scratch/untagged.exe"
check "tag without a certificate table: exit 3 (an input it cannot tag) with the reason, the file unchanged" \
  "[ \$(status tag '$scratch/untagged.exe' --item EAPT='$scratch/ticket.bin') -eq 3 ] && one_line untagged.exe && \
   grep -q 'no Authenticode certificate table' '$scratch/err.txt' && cmp -s '$scratch/tplain.exe' '$scratch/untagged.exe'"

# A file cut short inside its certificate table: the stub still loads it, Authenticode verifiers
# do not.
head -c $(($(stat -c %s "$scratch/signed.exe") - 20000)) "$scratch/signed.exe" >"$scratch/cut.exe"
check "cut inside its certificate table: verify keeps the stub's verdict (exit 0) but reports the table truncated, not sound" \
  "! authenticode_ok '$scratch/cut.exe' && [ \$(status verify --json '$scratch/cut.exe') -eq 0 ] && \
   field 'j[\"codeSignature\"][\"table\"] == \"truncated\" and not j[\"codeSignature\"][\"sound\"]' && \
   [ \$(status verify '$scratch/cut.exe') -eq 0 ] && grep -q 'certificate table NOT sound' '$scratch/out.txt'"
check "--require-code-signature: the cut file exits 1, one line with the reason; in JSON accepted, but not ok" \
  "[ \$(status verify --require-code-signature '$scratch/cut.exe') -eq 1 ] && one_line cut.exe && \
   grep -q 'code signature fails: the file ends 20960 bytes into its 40960-byte certificate table' '$scratch/err.txt' && \
   [ \$(status verify --json --require-code-signature '$scratch/cut.exe') -eq 1 ] && \
   field 'j[\"accepted\"] and not j[\"ok\"] and j[\"error\"][\"code\"] == 1'"
check "--require-code-signature fails what Authenticode verifiers fail: a table only reserved, none, a block behind it" \
  "[ \$(status verify --require-code-signature '$scratch/tprepared.exe') -eq 1 ] && grep -q 'only reserved' '$scratch/err.txt' && \
   [ \$(status verify --require-code-signature '$scratch/a.exe') -eq 1 ] && grep -q 'no certificate table' '$scratch/err.txt' && \
   [ \$(status verify --require-code-signature '$scratch/appended-kept.exe') -eq 1 ] && \
   grep -q 'bytes follow the certificate table' '$scratch/err.txt'"
head -c -72 "$scratch/a.exe" >"$scratch/resign.exe"
check "sign with a certificate: both signatures hold, as build makes them" \
  "'$sfxpack' sign --type 5 --key '$keys/key5.pem' ${cert[*]} --signing-time 1429621132 '$scratch/resign.exe' >/dev/null && \
   cmp -s '$scratch/resign.exe' '$scratch/signed.exe'"
check "--help of verify and inspect leave chain trust to osslsigncode -CAfile" \
  "'$sfxpack' verify --help | grep -q 'CAfile' && '$sfxpack' inspect --help | grep -q 'CAfile'"
exit $fail
