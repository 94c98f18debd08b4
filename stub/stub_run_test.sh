#!/usr/bin/env bash
# Runs the bare stub (no archive appended) under Wine and checks what it leaves: the archive
# error 1006 as exit code, and a UTF-16LE setup log whose last run holds the records of the way
# out in order, in the logger's line format.
set -uo pipefail
exe=$1 prefix=$2
runner=$(dirname "$0")/../tools/wine-run.sh
log="$prefix/drive_c/ProgramData/ZANTI Software/Persistent Data/Zanti/Logs/Setup.log"

"$runner" --prefix "$prefix" "$exe" /silent; code=$?
# Wine hands the Unix side the exit code's low 8 bits: 1006 arrives as 238.
[ "$code" -eq $((1006 & 0xFF)) ] || { echo "FAIL: exit code $code"; exit 1; }
[ -f "$log" ] || { echo "FAIL: no setup log at $log"; exit 1; }
[ "$(head -c2 "$log" | xxd -p)" = "fffe" ] || { echo "FAIL: no UTF-16LE byte-order mark"; exit 1; }

line='^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] \[[a-z ]{7}\] \[[a-z ]{15}\] \[ *[0-9]+: *[0-9]+\] '
# Wine reads back every folder's owner as the user, so each elevated run takes the data root's
# levels back and says so; those warnings are checked by the end-to-end suite, not here.
text=$(iconv -f UTF-16LE -t UTF-8 "$log" | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//' | grep -vE '\[warning\] .* The data folder ')
# The last run's records, from its opening "--".
mapfile -t last < <(tail -n 9 <<<"$text")
expected=(
  '--$'
  '[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9:]{8} START: Zanti SFX stub executable$'
  'Entering Zanti SFX stub guarded code section\.$'
  "Running SFX '.*sfxstub\.exe'$"
  "Cannot get signature of archive '.*sfxstub\.exe' \(code 0x0\)$"
  "Cannot open the SFX archive '.*sfxstub\.exe' \(code 0x3ee\)$"
  'Leaving Zanti SFX stub guarded code section \(return code 0x3ee\)$'
  '[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9:]{8} END: Zanti SFX stub executable, return code 1006 \(0x000003ee\)$'
  '--$'
)
fail=0
for i in "${!expected[@]}"; do
  if [[ ! "${last[$i]:-}" =~ ${line}${expected[$i]} ]]; then
    echo "FAIL: record $i: '${last[$i]:-}'"; fail=1
  fi
done
[ $fail -eq 0 ] && echo "ok: setup log records in order"
exit $fail
