#!/usr/bin/env bash
# The installers the stamper's unit test reads, made the way a release makes them, around the
# host tests' stand-in stub: one signed with tail room (room.exe), one signed whose embedded-data
# block the stub reads instead (embedded.exe), one without a certificate table (unsigned.exe), and
# one whose tail block was appended behind its table, as tags were once written (appended.exe).
#
# usage: stamp_fixtures.sh SFXPACK SOURCE_DIR OUT_DIR
set -euo pipefail
sfxpack=$(realpath "$1") top=$2 out=$3
rm -rf "$out" && mkdir -p "$out"
keys=$top/keys/test
python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$out/stub.exe"
python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$out/installer.exe" --no-table
cert=(--cert "$keys/codesign.pem" --cert-key "$keys/codesign.key.pem" --signing-time 1429621132)
build() {  # build MANIFEST OUTPUT OPTIONS...
  "$sfxpack" build "$top/example/$1" -o "$out/$2" --stub "$out/stub.exe" --installer "$out/installer.exe" "${@:3}" -q
}
build manifest-tagged.json room.exe "${cert[@]}"
build manifest.json embedded.exe "${cert[@]}"
build manifest-tagged.json unsigned.exe
cp "$out/room.exe" "$out/tagged.exe"
printf 'ticket' >"$out/ticket.bin"
"$sfxpack" tag "$out/tagged.exe" --item EAPT="$out/ticket.bin" >/dev/null
{ cat "$out/room.exe"; tail -c 16384 "$out/tagged.exe"; } >"$out/appended.exe"
rm -f "$out/tagged.exe" "$out/ticket.bin"
