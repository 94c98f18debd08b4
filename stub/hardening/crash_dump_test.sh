#!/usr/bin/env bash
# The crash guard in the real stub under Wine. A normal run leaves no dump and no crash guard
# record. The faulting build (an access violation inside the main sequence, before the setup log
# opens) leaves "MiniDump.dmp" in its current directory, whose exception stream names code
# 0xC0000005 and the thread that faulted, and the exception leaves the entry routine: no record,
# a failing exit code. The dump is written before anything unwinds: its context
# and exception record point at the faulting instruction inside the faulting function, and the
# thread's stack memory still holds the return address into that function's caller. With
# dbghelp.dll disabled the same fault leaves no dump. A fault on the second extraction lane of
# an installer ends the same way, with the lane's thread in the dump, after the clean-up has
# taken the temporary folder away; the child never starts.
# Where the dump goes: that fault comes after the run has set up its Logs folder, and Wine's runs
# are an administrator's, so its dump is in Logs and nothing in the current directory, which the
# stub's launcher chooses; the main sequence's fault comes before the run knows who runs it, so
# its dump is in the current directory. A link put at the dump's name there, as another program
# of the user can, is never written through: it is replaced as itself, or left alone.
set -uo pipefail
stub=$1 faulting=$2 prefix=$3 scratch=$4 lane_fault=$5 sfxpack=$6 child=$7 manifest=$8
runner=$(cd "$(dirname "$0")/../../tools" && pwd)/wine-run.sh
log="$prefix/drive_c/ProgramData/ZANTI Software/Persistent Data/Zanti/Logs/Setup.log"
logs=$(dirname "$log")
# Where a link put at the dump's name leads: a dump written through the link would change it.
victim=$scratch/victim.txt
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }

# Runs a stub silently and off any display (no message box, not even the runtime's after the
# fault, may wait for a click) in a fresh current directory; leaves the exit code in $code. With
# link_dump set, a link to $victim waits at the dump's name there.
run() {
  local name=$1; shift
  rm -rf "${scratch:?}/$name" "$logs"/MiniDump.dmp* && mkdir -p "$scratch/$name"
  if [ -n "${link_dump:-}" ]; then
    echo victim >"$victim" && ln -s "$victim" "$scratch/$name/MiniDump.dmp"
  fi
  env -u DISPLAY "$@" timeout 300 "$runner" --prefix "$prefix" --cwd "$scratch/$name" "$exe" /silent
  code=$?
}
# The link put at the dump's name in the run's folder never led a write.
victim_untouched() { [ "$(cat "$victim" 2>/dev/null)" = victim ]; }

log_text() { iconv -f UTF-16LE -t UTF-8 "$log" 2>/dev/null | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//'; }
# The records of the last run, from its START record on.
last_run() {
  log_text | awk '/ START: Zanti SFX stub executable$/ { run = "" } { run = run $0 "\n" } END { printf "%s", run }'
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

# "ok" when the dump's fault lies inside the function the faulting build faults in (FUNCTION, a
# symbol of IMAGE) and the faulting thread's dumped stack holds a return address right behind a
# call of that function; otherwise what is wrong.
fault_in_place() {
  local dump=$1 image=$2 function=$3 tools
  case "$(od -An -tx1 -j "$(( $(od -An -tu4 -j 60 -N4 "$image") + 4 ))" -N2 "$image" | tr -d ' ')" in
    4c01) tools=i686-w64-mingw32 ;;
    6486) tools=x86_64-w64-mingw32 ;;
    *) echo "unknown machine"; return ;;
  esac
  # The function's range, and the return addresses of its calls.
  local range returns
  range=$("$tools-nm" -n "$image" | awk -v f="$function" '
    found && $1 != start { printf "%s", $1; exit } !found && $3 ~ f"$" && $2 ~ /[Tt]/ { start = $1; printf "%s ", $1; found = 1 }')
  returns=$("$tools-objdump" -d "$image" | awk -v f="$function" '
    pending { sub(/:.*/, "", $1); print $1; pending = 0 } /call/ && index($0, f">") { pending = 1 }')
  python3 - "$dump" "$tools" $range -- $returns <<'PY'
import struct, sys
dump, tools, start, end = sys.argv[1], sys.argv[2], int(sys.argv[3], 16), int(sys.argv[4], 16)
returns = {int(a, 16) for a in sys.argv[6:]}
data = open(dump, 'rb').read()
_, _, count, directory = struct.unpack_from('<IIII', data, 0)
streams = {}
for i in range(count):
    kind, size, rva = struct.unpack_from('<III', data, directory + 12 * i)
    streams[kind] = rva
thread, _, code, _, _, address = struct.unpack_from('<IIIIQQ', data, streams[6])
_, context = struct.unpack_from('<II', data, streams[6] + 8 + 152)
wide = tools.startswith('x86_64')
ip, sp = (struct.unpack_from('<QQ', data, context + 0xF8)[0], struct.unpack_from('<Q', data, context + 0x98)[0]) if wide \
    else struct.unpack_from('<II', data, context + 184)[0:1] + struct.unpack_from('<I', data, context + 196)
problems = []
if not start <= address < end: problems.append('the exception address 0x%x is outside 0x%x-0x%x' % (address, start, end))
if ip != address: problems.append('the context points at 0x%x, the record at 0x%x' % (ip, address))
(threads,) = struct.unpack_from('<I', data, streams[3])
width = 8 if wide else 4
found = False
for i in range(threads):
    tid, _, _, _, _, low, size, rva = struct.unpack_from('<IIIIQQII', data, streams[3] + 4 + 48 * i)
    if tid != thread: continue
    for at in range(max(low, sp), low + size - width + 1, width):
        value = int.from_bytes(data[rva + at - low: rva + at - low + width], 'little')
        found = found or value in returns
if not returns: problems.append('no call of the function found in the image')
elif not found: problems.append("the faulting thread's dumped stack holds no return address into the caller")
print('; '.join(problems) or 'ok')
PY
}

exe=$stub run normal WINEDEBUG=-all
records=$(last_run)
check "normal run: no MiniDump.dmp" "[ ! -e '$scratch/normal/MiniDump.dmp' ] && [ ! -e '$logs/MiniDump.dmp' ]"
check "normal run: END record" "grep -q ' END: Zanti SFX stub executable' <<<\"\$records\""
check "normal run: no crashguard record" "! grep -q '\[crashguard *\]' <<<\"\$records\""

# The fault comes before the setup log opens: whatever the log gains is the run's own.
logged_before=$(log_text | wc -l)
exe=$faulting link_dump=1 run fault WINEDEBUG=-all
records=$(log_text | tail -n +"$((logged_before + 1))")
check "fault: the exception leaves the entry routine (exit code $code, nothing logged)" \
  "[ $code -ne 0 ] && [ -z \"\$records\" ]"
check "fault: MiniDump.dmp in the current directory, in place of the link put there, which led no write" \
  "[ -s '$scratch/fault/MiniDump.dmp' ] && [ ! -L '$scratch/fault/MiniDump.dmp' ] && victim_untouched"
if [ -s "$scratch/fault/MiniDump.dmp" ]; then
  stream=$(exception_stream "$scratch/fault/MiniDump.dmp")
  check "fault: exception stream '$stream' names a thread and 0xC0000005" "[ '${stream#* }' = 0xC0000005 ]"
  # That thread's dumped stack is the one that called faultInSequence: the thread that faulted.
  place=$(fault_in_place "$scratch/fault/MiniDump.dmp" "$faulting" faultInSequence)
  check "fault: dumped where it happened, on the thread that faulted, the caller's frame intact ($place)" \
    "[ '$place' = ok ]"
fi

fault_code=$code

# The temporary folders of the prefix's users, one a line.
temp_folders() { find "$prefix/drive_c/users" -type d -path '*/Temp/*' -prune -print 2>/dev/null | sort; }

# The COFF machine field of a PE image, as 4 hex digits in file order ("4c01" is x86).
machine_field() { od -An -tx1 -j "$(( $(od -An -tu4 -j 60 -N4 "$1") + 4 ))" -N2 "$1" | tr -d ' '; }
set_machine_field() {  # FILE HEX4
  printf "\\x${2:0:2}\\x${2:2:2}" | dd of="$1" bs=1 seek="$(( $(od -An -tu4 -j 60 -N4 "$1") + 4 ))" conv=notrunc 2>/dev/null
}

# An installer around STUB, signed with the test key 5. sfxpack packs only a 32-bit stub, as a
# user's stub must be; the 64-bit test build, which carries these checks where no 32-bit program
# runs natively, is packed with its machine field saying x86 (nothing else in the image changes),
# and the archive is signed again once the field says what the image is: `sign --signature-only`
# signs without asking whether the stub is one sfxpack would pack. The stub itself checks only
# the signature.
make_installer() {  # STUB OUTPUT
  local stub=$1 out=$2 key machine offset
  key=$(cd "$(dirname "$0")/../../keys/test" && pwd)/key5.pem
  machine=$(machine_field "$stub")
  if [ "$machine" = 4c01 ]; then
    "$sfxpack" build "$manifest" -o "$out" --stub "$stub" --installer "$child" --key "$key" >/dev/null
    return
  fi
  cp "$stub" "$out.stub" && set_machine_field "$out.stub" 4c01 &&
    "$sfxpack" build "$manifest" -o "$out" --stub "$out.stub" --installer "$child" --key "$key" >/dev/null &&
    offset=$("$sfxpack" verify --json "$out" | python3 -c 'import json, sys; print(json.load(sys.stdin)["signatureOffset"])') &&
    truncate -s "$offset" "$out" && set_machine_field "$out" "$machine" &&
    "$sfxpack" sign --type 5 --key "$key" --signature-only "$out" >/dev/null
  local made=$?
  rm -f "$out.stub"
  return $made
}

mkdir -p "$scratch"
exe=$scratch/lane-fault-setup.exe
if ! make_installer "$lane_fault" "$exe"; then
  check "lane fault: the installer is built" false
else
  before=$(temp_folders)
  link_dump=1 run lane-fault WINEDEBUG=-all
  records=$(last_run)
  main_thread=$(sed -n 's/.*\[ *[0-9]*: *\([0-9]*\)\] [0-9/]* [0-9:]* START: .*/\1/p' <<<"$records")
  check "lane fault: ends as a fault on the main thread does (exit code $code, $fault_code there; no END record)" \
    "[ $code -eq $fault_code ] && ! grep -q ' END: Zanti SFX stub executable' <<<\"\$records\""
  check "lane fault: nothing in the current directory, the link put there as it was, and it led no write" \
    "[ \"\$(ls -A '$scratch/lane-fault')\" = MiniDump.dmp ] && [ -L '$scratch/lane-fault/MiniDump.dmp' ] && victim_untouched"
  stream=$(exception_stream "$logs/MiniDump.dmp" 2>/dev/null)
  faulting_thread=${stream% *} fault=${stream#* }
  check "lane fault: the dump in the Logs folder, its exception stream '$stream' naming another thread than $main_thread, and 0xC0000005" \
    "[ -n '$main_thread' ] && [ '$fault' = 0xC0000005 ] && [ -n '$faulting_thread' ] && [ '$faulting_thread' != '$main_thread' ]"
  check "lane fault: the temporary folder is gone" "[ \"\$(temp_folders)\" = \"\$before\" ]"
  check "lane fault: the installer/updater never started" "! grep -q 'Starting installer/updater' <<<\"\$records\""
fi

logged_before=$(log_text | wc -l)
exe=$faulting run no-dbghelp WINEDEBUG=-all WINEDLLOVERRIDES=dbghelp=d
check "fault without dbghelp.dll: exception leaves the entry routine, nothing logged" \
  "[ $code -ne 0 ] && [ \"\$(log_text | wc -l)\" -eq $logged_before ]"
check "fault without dbghelp.dll: no MiniDump.dmp" "[ ! -e '$scratch/no-dbghelp/MiniDump.dmp' ]"
exit $fail
