#!/usr/bin/env bash
# The crash guard in the real stub under Wine. A normal run leaves no dump and no crash guard
# record. The faulting build (an access violation inside the main sequence) leaves
# "MiniDump.dmp" in its current directory, whose exception stream names the main thread (the
# thread of the START record) and code 0xC0000005, and the exception leaves the entry routine:
# no END record, a failing exit code. With dbghelp.dll disabled the same fault leaves no dump.
set -uo pipefail
stub=$1 faulting=$2 prefix=$3 scratch=$4
runner=$(cd "$(dirname "$0")/../../tools" && pwd)/wine-run.sh
log="$prefix/drive_c/ProgramData/ZANTI Software/Persistent Data/Zanti/Logs/Setup.log"
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }

# Runs a stub silently and off any display (no message box, not even the runtime's after the
# fault, may wait for a click) in a fresh current directory; leaves the exit code in $code.
run() {
  local name=$1; shift
  rm -rf "${scratch:?}/$name" && mkdir -p "$scratch/$name"
  env -u DISPLAY "$@" timeout 300 "$runner" --prefix "$prefix" --cwd "$scratch/$name" "$exe" /silent
  code=$?
}

# The records of the last run, from its START record on.
last_run() {
  iconv -f UTF-16LE -t UTF-8 "$log" | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//' |
    awk '/ START: Zanti SFX stub executable$/ { run = "" } { run = run $0 "\n" } END { printf "%s", run }'
}

# "<thread id> <code>" of a minidump's exception stream, nothing when it has none.
exception_stream() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
signature, _, count, directory = struct.unpack_from('<IIII', data, 0)
if signature == 0x504D444D:  # "MDMP"
    for i in range(count):
        kind, _, rva = struct.unpack_from('<III', data, directory + 12 * i)
        if kind == 6:  # the exception stream: thread id, alignment, then the record's code
            thread, _, code = struct.unpack_from('<III', data, rva)
            print(thread, '0x%08X' % code)
PY
}

exe=$stub run normal WINEDEBUG=-all
records=$(last_run)
check "normal run: no MiniDump.dmp" "[ ! -e '$scratch/normal/MiniDump.dmp' ]"
check "normal run: END record" "grep -q ' END: Zanti SFX stub executable' <<<\"\$records\""
check "normal run: no crashguard record" "! grep -q '\[crashguard *\]' <<<\"\$records\""

exe=$faulting run fault WINEDEBUG=-all
records=$(last_run)
main_thread=$(sed -n 's/.*\[ *[0-9]*: *\([0-9]*\)\] [0-9/]* [0-9:]* START: .*/\1/p' <<<"$records")
check "fault: START record names the main thread" "[ -n '$main_thread' ]"
check "fault: the exception leaves the entry routine (exit code $code, no END record)" \
  "[ $code -ne 0 ] && ! grep -q ' END: Zanti SFX stub executable' <<<\"\$records\""
check "fault: MiniDump.dmp in the current directory" "[ -s '$scratch/fault/MiniDump.dmp' ]"
if [ -s "$scratch/fault/MiniDump.dmp" ]; then
  stream=$(exception_stream "$scratch/fault/MiniDump.dmp")
  check "fault: exception stream '$stream' names thread $main_thread and 0xC0000005" \
    "[ '$stream' = '$main_thread 0xC0000005' ]"
fi
check "fault: no crashguard record" "! grep -q '\[crashguard *\]' <<<\"\$records\""

exe=$faulting run no-dbghelp WINEDEBUG=-all WINEDLLOVERRIDES=dbghelp=d
records=$(last_run)
check "fault without dbghelp.dll: exception leaves the entry routine" "[ $code -ne 0 ]"
check "fault without dbghelp.dll: no MiniDump.dmp" "[ ! -e '$scratch/no-dbghelp/MiniDump.dmp' ]"
check "fault without dbghelp.dll: no crashguard record" "! grep -q '\[crashguard *\]' <<<\"\$records\""
exit $fail
