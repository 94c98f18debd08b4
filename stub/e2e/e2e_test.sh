#!/usr/bin/env bash
# Installers made by sfxpack, run from start to end under Wine. Each case states what a run
# must leave: its exit code, its setup-log records in order, what the installer/updater child
# received and saw in its folder, and what is left on disk and in the registry afterwards.
#   e2e_test.sh SFXPACK STUB CHILD LAUNCHER SERVICE LOOPBACK_STUB KEY PREFIX SCRATCH SETUP EXAMPLE
#               INJECTING_STUB PART
# The prefix's kind (64-bit or 32-bit) comes from SFX_WINE_ARCH, as tools/wine-run.sh takes it.
# SETUP stands in for an installed product's setup programs (stub/child_process_test_child.cpp);
# EXAMPLE is the example installer/updater that `make demo` packs from example/; INJECTING_STUB
# the stub whose calls SFX_E2E_INJECT can answer otherwise (e2e/e2e_injections.cpp); PART is
# "sequence", "signed", "system", "faults", "places" or "product" (see below).
# It needs a display (for the progress window) and starts a virtual one when it has none.
set -uo pipefail
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"; fi
sfxpack=$1 stub=$2 child=$3 launcher=$4 service=$5 loopback=$6 key=$7 prefix=$8 scratch=$9 setup=${10} example=${11} injecting=${12} part=${13}
runner=$(cd "$(dirname "$0")/../.." && pwd)/tools/wine-run.sh
rm -rf "$scratch" && mkdir -p "$scratch"
fail=0
# A failure shows the last run's exit code and records: a failure in CI may not come again.
check() {
  if eval "$2"; then echo "ok: $1"; return; fi
  echo "FAIL: $1"
  echo "  the last run: exit code ${code:-none}, its last records:"
  tail -n 12 <<<"${records:-}" | sed 's/^/    /'
  fail=1
}

# --- inputs and installers -------------------------------------------------------------------
cp "$child" "$scratch/child.exe"
cp "$launcher" "$scratch/launch.exe"
printf 'definitions of the day\n' >"$scratch/vps1.vpx"
printf '[business]\nkey=value\n' >"$scratch/business.cfg"
printf 'business public key\n' >"$scratch/business.key"
# A program for no machine (its machine field 0): sfxpack takes it as a program, Windows starts none.
cp "$child" "$scratch/unstartable.exe"
printf '\0\0' | dd of="$scratch/unstartable.exe" bs=1 seek=$(( $(od -An -tu4 -j60 -N4 "$scratch/unstartable.exe") + 4 )) conv=notrunc 2>/dev/null

# make NAME INSTALLER COMMANDLINE: an installer signed with the test key the stub trusts.
make() {
  cat >"$scratch/$1.json" <<JSON
{ "commandLine": "$3", "sfxName": "e2e",
  "installer": { "path": "$2", "packer": "lzma" },
  "files": [ { "path": "vps1.vpx", "time": 1429621132 } ],
  "embedded": [ { "tag": "EBCF", "path": "business.cfg" }, { "tag": "EBPK", "path": "business.key" } ],
  "signature": { "type": 5, "key": "$key" } }
JSON
  "$sfxpack" build "$scratch/$1.json" -o "$scratch/$1.exe" --stub "$stub" >/dev/null || { echo "FAIL: build $1"; exit 1; }
}
make setup child.exe '/sfx /tmppath:%TMPPATH% /edition:e2e'
"$sfxpack" build "$(dirname "$0")/../../example/manifest.json" -o "$scratch/example.exe" --stub "$stub" \
  --installer "$example" >/dev/null || { echo "FAIL: build example"; exit 1; }
make broken unstartable.exe '/sfx'
stub=$loopback make pinging child.exe '/sfx'
stub=$injecting make injecting child.exe '/sfx'
stub=$injecting make keeping child.exe '/sfx:keep'

drive="$prefix/drive_c"
log="$drive/ProgramData/ZANTI Software/Persistent Data/Zanti/Logs/Setup.log"
record="$drive/e2e/record.txt"
temp="$drive/users/$(id -un)/Temp"
# An elevated run (every run here but a limited user's) makes its folder in the system's own.
systemp="$drive/windows/temp"
dataroot="$drive/ProgramData/ZANTI Software"
# A folder of the user's, empty, and a link to it put where the user may create one before the run.
squat="$drive/squat"
planted() {  # planted PATH
  rm -rf "$squat" "$1" && mkdir -p "$squat" "$(dirname "$1")" && ln -s "$squat" "$1"
}

# run INSTALLER ARGS...: one run in the case's prefix; sets code, records (this run's log
# messages), failures (its records at level error or fatal) and received (the child's record).
# Wine's own messages go to E2E_STDERR when it is set (with WINEDEBUG, a trace of the run).
run() {
  local exe=$1; shift
  rm -f "$log" "$record"
  mkdir -p "$drive/e2e"
  # The launcher reports the whole exit code; Wine's own is cut to 8 bits.
  code=$(E2E_RECORD='C:\e2e\record.txt' "$runner" --prefix "$prefix" --cwd "$scratch" "$scratch/launch.exe" \
    "$exe.exe" "$@" 2>"${E2E_STDERR:-/dev/null}" | tr -d '\r' | sed -n 's/^exit=//p')
  code=${code:--1}
  local lines
  lines=$(iconv -f UTF-16LE -t UTF-8 "$log" 2>/dev/null | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//')
  records=$(sed -e 's/^\[[^]]*\] \[[^]]*\] \[[^]]*\] \[[^]]*\] //' <<<"$lines")
  failures=$(grep -E '^\[[^]]*\] \[(error|fatal) *\]' <<<"$lines")
  received=$(cat "$record" 2>/dev/null)
}
# A traced run made a key for a service of the stub's own (eight lower-case letters) under Services.
makes_service_key() { grep -qE 'NtCreateKey .*Services\\\\[a-z]{8}"' "$1"; }
in_order() {  # every pattern matches a later record than the one before
  local rest=$records pattern
  for pattern in "$@"; do
    rest=$(grep -A100000 -E -m1 -- "$pattern" <<<"$rest" | tail -n +2) || return 1
    grep -qE -- "$pattern" <<<"$records" || return 1
  done
}
leftover_folders() { find "$temp" "$systemp" -maxdepth 1 -name '_av_iup.tm~*' 2>/dev/null | wc -l; }
clear_folders() { rm -rf "$temp"/_av_iup.tm~* "$systemp"/_av_iup.tm~*; }
wreg() { "$runner" --prefix "$prefix" reg "$@" 2>/dev/null | tr -d '\r'; }
wsc() { "$runner" --prefix "$prefix" sc "$@" >/dev/null 2>&1; }
# A product service, started and seen running before a run asks for it (on a loaded machine the
# service reports itself running after sc has returned).
start_service() {
  cp "$service" "$drive/e2e/service.exe"
  wsc create tzkSP binPath= 'C:\e2e\service.exe'
  wsc start tzkSP
  for _ in $(seq 60); do
    "$runner" --prefix "$prefix" sc query tzkSP 2>/dev/null | grep -q 'STATE.*RUNNING' && return
    sleep 0.5
  done
  echo "FAIL: the product service tzkSP never ran"; fail=1
}
product='HKLM\Software\ZANTI Software\Zanti'

"$runner" --prefix "$prefix" cmd /c exit 0 >/dev/null 2>&1  # the prefix, made once
clear_folders && mkdir -p "$temp"
# The parts share the prefix: whatever a part cut short by its time limit left (a registered
# product, a running service, a marker, a planted link) must not decide the next part's results.
wreg delete "$product" /f >/dev/null
wsc stop tzkSP; wsc delete tzkSP
rm -f "$dataroot/Persistent Data/Zanti/Reboot.txt" "$drive/TEMP"
[ -L "$dataroot" ] && rm -f "$dataroot"

# Six parts, each a test of its own (a whole suite through an emulated CPU would outlast a test's
# time): "sequence", the run's own steps and decisions, "signed", its two signatures and the tags,
# "system", what it meets on the machine, "faults", what it survives and what a failed child leaves,
# "places", what a program of the user can prepare where it writes, and "product", the hand-over
# to an installed product.
if [ "$part" = sequence ]; then

# --- the example, silently: every record of a whole run ---------------------------------------
# Traced (Wine's registry calls), to see every key the run makes.
E2E_STDERR="$scratch/example.trace" WINEDEBUG=trace+reg run example /silent
check "example, silent: exit code 0 and a whole run's records, from the opening line to the closing one" \
  "[ $code -eq 0 ] && [ \"\$(head -n1 <<<\"\$records\")\" = -- ] && [ \"\$(tail -n1 <<<\"\$records\")\" = -- ] && \
   in_order '^--$' ' START: Zanti SFX stub executable$' '^Entering Zanti SFX stub guarded code section\.$' \
     \"^SFX archive '.*example\.exe' sucessfully loaded\.$\" '^Leaving Zanti SFX stub guarded code section \(return code 0x0\)$' \
     ' END: Zanti SFX stub executable, return code 0 \(0x00000000\)$' '^--$'"
# The example carries no self-defense driver: nothing fails, and no service key is made for one.
check "example, no self-defense module: its notice, no error record, no key made under Services" \
  "grep -qx 'Early zanti! self-defense is missing from SFX\.' <<<\"\$records\" && [ -z \"\$failures\" ] && \
   grep -q 'NtCreateKey' '$scratch/example.trace' && ! makes_service_key '$scratch/example.trace'"

# --- a silent installation -------------------------------------------------------------------
run setup /silent
args=$(sed -n 's/^args=//p' <<<"$received")
folder=$(sed -n 's/^self=\(.*\)\\instup.exe$/\1/p' <<<"$received")
check "silent run: exit code 0" "[ $code -eq 0 ]"
check "silent run: records in order" "in_order 'Entering Zanti SFX stub guarded code section\.' \"Running SFX '\" \
  \"SFX archive '.*' sucessfully loaded\.\" \"Starting installer/updater executable '.*instup\.exe'\" \
  \"Installer/updater executable '.*' finished \(process return code 0x0\)\" \
  'Leaving Zanti SFX stub guarded code section \(return code 0x0\)'"
check "silent run: the child ran from a fresh _av_iup.tm~ folder in the system's temporary folder" \
  "grep -qiE '^C:\\\\windows\\\\temp\\\\_av_iup\\.tm~[a-z][0-9]{5}$' <<<'$folder'"
check "silent run: %TMPPATH% replaced by that folder" "[[ \"\$args\" == *'/tmppath:$folder'* ]]"
check "silent run: ga_code is 0x and 16 hex digits" "grep -qE '/ga_code:0x[0-9a-f]{16}( |$)' <<<\"\$args\""
check "silent run: /silent only in the raw text, once, at the end" \
  "[ \$(grep -o '/silent' <<<\"\$args\" | wc -l) -eq 1 ] && [[ \"\$args\" == *' /silent' ]]"
check "silent run: bconfig and bpubkey name files that exist while the child runs" \
  "[[ \"\$args\" == *'/bconfig:$folder\\bcc.cfg.tmp'* ]] && [[ \"\$args\" == *'/bpubkey:$folder\\bcpub.key.tmp'* ]] && \
   grep -qx 'file=bcc.cfg.tmp' <<<\"\$received\" && grep -qx 'file=bcpub.key.tmp' <<<\"\$received\""
check "silent run: the definition file was there" "grep -qx 'file=vps1.vpx' <<<\"\$received\""
check "silent run: the registry progress value is 100" \
  "wreg query 'HKCR\\ZantiPersistentStorage' /v QelvoProgress | grep -qE 'REG_DWORD\s+0x64'"
check "silent run: the temporary folder is gone" "[ \$(leftover_folders) -eq 0 ]"

# --- the installer's own file cannot change while it runs --------------------------------------
cp "$scratch/setup.exe" "$scratch/locked.exe"
run locked /silent "/tamper:Z:${scratch//\//\\}\\locked.exe"
check "while the child runs, the installer's file can be neither written nor renamed nor deleted" \
  "[ $code -eq 0 ] && grep -qx 'tamper_write=[1-9][0-9]*' <<<\"\$received\" && grep -qx 'tamper_rename=[1-9][0-9]*' <<<\"\$received\" && \
   grep -qx 'tamper_delete=[1-9][0-9]*' <<<\"\$received\" && cmp -s '$scratch/setup.exe' '$scratch/locked.exe'"
# A program of the user could otherwise move the folder away and link its name elsewhere: the
# clean-up would delete wherever the link points.
check "while the child runs, nobody can move its folder away, and the clean-up still removes it" \
  "grep -qx 'tamper_folder=[1-9][0-9]*' <<<\"\$received\" && [ \$(leftover_folders) -eq 0 ]"

# --- the sequence's decisions, with calls answered otherwise (SFX_E2E_INJECT) -------------------
inject() { local words=$1; shift; SFX_E2E_INJECT=$words run "$@"; }
inject "" injecting /silent
check "resource files 2000 to 2002 are written beside the child" \
  "[ $code -eq 0 ] && grep -qx 'file=GuiCust.dll' <<<\"\$received\" && grep -qx 'file=~tzkOfferTool.exe' <<<\"\$received\" && \
   grep -qx 'file=CustomInstallation.ini' <<<\"\$received\""
check "an administrator's run tries early self-defense" "grep -q 'self-defense is missing from SFX' <<<\"\$records\""
inject user injecting /silent
check "a limited user's run: no self-defense, and the installation goes on" \
  "[ $code -eq 0 ] && grep -q '^args=' <<<\"\$received\" && ! grep -q 'self-defense' <<<\"\$records\""
inject old injecting /silent
check "a stub older than a year: sfx becomes old, no self-defense" \
  "[ $code -eq 0 ] && grep -q '^args=.*/sfx:old' <<<\"\$received\" && ! grep -q 'self-defense' <<<\"\$records\""
inject old keeping /silent
check "a stub older than a year with a value for sfx: left alone, self-defense runs" \
  "[ $code -eq 0 ] && grep -q '^args=.*/sfx:keep' <<<\"\$received\" && grep -q 'self-defense is missing from SFX' <<<\"\$records\""
for answer in 2 3; do
  inject "selfdefense:$answer" injecting /silent
  check "self-defense answering $answer: its error record, and the installation goes on" \
    "[ $code -eq 0 ] && grep -q '^args=' <<<\"\$received\" && \
     in_order 'Unable to initialize early zanti! self-defense with error 0x0000000$answer!$' 'Starting installer/updater'"
done
inject selfdefense:5 injecting /silent
check "self-defense answering 5: the run aborts with 5 before any child, the folder is gone" \
  "[ $code -eq 5 ] && [ -z \"\$received\" ] && [ \$(leftover_folders) -eq 0 ] && \
   in_order 'Unable to initialize early zanti! self-defense with error 0x00000005! Aborting!' 'return code 0x5\)'"
inject throw injecting /silent
check "an exception after self-defense: every clean-up step runs and the run ends with 8" \
  "[ $code -eq 8 ] && [ -z \"\$received\" ] && [ \$(leftover_folders) -eq 0 ] && \
   in_order 'unexpected exception \(out of memory\); cleaning up \(code 0x8\)' \
     'Leaving Zanti SFX stub guarded code section \(return code 0x8\)' ' END: '"
# Without a restart request: under Wine a restart carries out the registrations the runs after
# this one leave for it.
inject cleanupthrow injecting /silent
check "an exception in one clean-up step: the steps after it still run, and the run ends" \
  "[ $code -eq 0 ] && in_order \"The clean-up step 'self-defense' stopped on an exception; the clean-up goes on\" \
     'Leaving Zanti SFX stub guarded code section \(return code 0x0\)' ' END: '"
rm -f "$drive/users/Public/Desktop/injecting.exe"
inject wait injecting /silent /exitcode:7
pending=$(wreg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations)
check "a child not seen to end: the wait's error, no desktop link, its folder left for the restart" \
  "[ $code -eq 6 ] && [ ! -e '$drive/users/Public/Desktop/injecting.exe' ] && \
   in_order \"Cannot wait for process '.*instup\.exe' to end \(code 0x6\); it may still run\" \
     'may still run; early zanti! self-defense is left to it\.' && \
   grep -q '_av_iup.tm~' <<<\"\$pending\""
wreg delete 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations /f >/dev/null
clear_folders
# An exception while the child runs: its files are still in use, and nothing of them is deleted.
inject waitthrow injecting /silent
pending=$(wreg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations)
folder=$(sed -n 's/^self=C:\\\(.*\)\\instup.exe$/\1/p' <<<"$received" | tr '\\' '/')
check "an exception while the child runs: 574, its folder and files left for the restart, self-defense left to it" \
  "[ $code -eq 574 ] && [ -n '$folder' ] && [ -f '$drive/$folder/instup.exe' ] && [ -f '$drive/$folder/vps1.vpx' ] && \
   grep -q 'instup\.exe' <<<\"\$pending\" && ! grep -q 'Direct delete of file' <<<\"\$records\" && \
   in_order 'unexpected exception \(waiting\)' 'may still run; early zanti! self-defense is left to it\.' ' END: '"
wreg delete 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations /f >/dev/null
clear_folders

# --- debug: everything left for the restart --------------------------------------------------
run setup /silent /debug
pending=$(wreg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations)
check "debug run: exit code 0, the folder kept until the restart" "[ $code -eq 0 ] && [ \$(leftover_folders) -eq 1 ]"
check "debug run: its files and the folder registered for deletion at restart" \
  "grep -q 'instup.exe' <<<\"\$pending\" && grep -q '_av_iup.tm~' <<<\"\$pending\""
# A user may rename what lies in its own TEMP and link the name elsewhere before the restart.
check "debug run: every path registered lies in the system's temporary folder, none under the user's TEMP" \
  "grep -qi 'windows\\\\temp\\\\_av_iup' <<<\"\$pending\" && ! grep -qi 'users\\\\' <<<\"\$pending\""
wreg delete 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations /f >/dev/null
clear_folders

fi
if [ "$part" = system ]; then

# --- a system that is too old, and the oldest that is not -------------------------------------
# Wine takes a program's own Windows version from AppDefaults; winecfg offers no version older
# than XP for a 64-bit prefix.
appdefaults='HKCU\Software\Wine\AppDefaults\setup.exe'
wreg add "$appdefaults" /v Version /d win2k /f >/dev/null
run setup /silent
check "Windows 2000: exit code 1150" "[ $code -eq 1150 ]"
check "Windows 2000: its record, then straight to the end" \
  "in_order 'OS is too old\. Version: 5\.0\.' 'Leaving Zanti SFX stub guarded code section \(return code 0x47e\)'"
check "Windows 2000: no folder made, no child started" "[ \$(leftover_folders) -eq 0 ] && [ ! -f '$record' ]"
wreg add "$appdefaults" /v Version /d winxp /f >/dev/null
run setup /silent
check "Windows XP SP3: the run goes on" "[ $code -eq 0 ] && grep -q '^args=' <<<\"\$received\""
wreg delete "$appdefaults" /f >/dev/null

# --- silent: no window at all ----------------------------------------------------------------
run setup /silent /signal
check "silent: the progress window never shows" "[ $code -eq 0 ] && grep -qx 'window_before=0' <<<\"\$received\""

# --- the progress window closes when the child says its own window shows ---------------------
run setup /signal
# Gone while the child still runs; the bound leaves room for Wine's 2-second wait for a window
# manager (none under Xvfb) on top of the stub's 333 ms poll.
gone=$(sed -n 's/^window_gone_after_ms=//p' <<<"$received")
check "window: shown while the child starts, closed after its signal" \
  "[ $code -eq 0 ] && grep -qx 'window_before=1' <<<\"\$received\" && grep -qx 'signalled=1' <<<\"\$received\" && \
   [ -n '$gone' ] && [ '${gone:-99999}' -lt 4000 ]"

# --- what the clean-up must leave alone -----------------------------------------------------
# The child leaves a read-only file and a shared DLL counted once; the test adds a link to a
# folder outside (Wine shows a host symlink as a reparse point; it cannot make one itself).
outside="$drive/e2e-outside"
rm -rf "$outside" && mkdir -p "$outside" && echo keep >"$outside/keep.txt"
(
  for _ in $(seq 300); do [ -s "$record" ] && break; sleep 0.1; done
  windows=$(sed -n 's/^self=C:\\\(.*\)\\instup.exe$/\1/p' "$record" | tr '\\' '/')
  ln -s "$outside" "$drive/$windows/link" && touch "$drive/$windows/go"
) &
run setup /silent /leftovers
wait
folder=$(sed -n 's/^self=C:\\\(.*\)\\instup.exe$/\1/p' <<<"$received" | tr '\\' '/')
check "leftovers: the run ends with 0" "[ $code -eq 0 ] && [ -n '$folder' ]"
check "leftovers: the shared DLL and so its folder are kept" "[ -f '$drive/$folder/shared.dll' ]"
check "leftovers: the read-only file and the installer are gone" \
  "[ ! -e '$drive/$folder/readonly.txt' ] && [ ! -e '$drive/$folder/instup.exe' ]"
# Windows removes a junction with RemoveDirectoryW; Wine follows a host symlink there and
# answers 145 for the non-empty folder behind it. Either way the link is taken as a link.
check "leftovers: the link is removed as a link, the folder it points at untouched" \
  "{ [ ! -L '$drive/$folder/link' ] || grep -q \"removeTree: Cannot remove link '.*\\\\link', code 145\" <<<\"\$records\"; } && \
   [ \"\$(cat '$outside/keep.txt' 2>/dev/null)\" = keep ]"
wreg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs' /f >/dev/null
rm -rf "$drive/$folder" "$outside"

# --- a product service running with nothing installed ---------------------------------------
start_service
run setup /silent
check "damaged installation: 0xA003 before the archive is opened, no child" \
  "[ $code -eq $((0xA003)) ] && [ -z \"\$received\" ] && ! grep -q 'sucessfully loaded' <<<\"\$records\""
check "damaged installation: its record names the service" \
  "in_order \"Zanti was not detected but service 'tzkSP' is running\. There is a corrupted zanti installation\""
marker="$drive/ProgramData/ZANTI Software/Persistent Data/Zanti/Reboot.txt"
touch "$marker"
run setup /silent
check "damaged installation: not tested while a restart is pending" "[ $code -eq 0 ] && [ -n \"\$received\" ]"
rm -f "$marker"
wsc stop tzkSP
wsc delete tzkSP

# --- the analytics ping, received on the loopback address -----------------------------------
hits="$scratch/hits.txt"
listening="$scratch/listening"
rm -f "$listening"
# A port the system picks, handed to the stub at run time: suites beside each other never meet.
python3 - "$hits" "$listening" <<'PY' &
import http.server, os, sys
hits, listening = sys.argv[1], sys.argv[2]
class Hit(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(hits, "a") as out:
            out.write("%s %s|%s\n" % (self.command, self.path, self.headers.get("User-Agent")))
        self.send_response(200); self.send_header("Content-Length", "0"); self.end_headers()
    def log_message(self, *args): pass
server = http.server.HTTPServer(("127.0.0.1", 0), Hit)
server.timeout = 60
with open(listening + ".new", "w") as out:
    out.write(str(server.server_address[1]))
os.rename(listening + ".new", listening)
server.handle_request()
PY
server=$!
# The request goes out early in the run: it must find the server listening.
for _ in $(seq 300); do [ -e "$listening" ] && break; sleep 0.1; done
E2E_ANALYTICS_PORT=$(cat "$listening" 2>/dev/null) run pinging /silent
kill $server 2>/dev/null; wait $server 2>/dev/null
vid=$(grep -oE '/ga_code:0x[0-9a-f]{16}' <<<"$(sed -n 's/^args=//p' <<<"$received")" | cut -d: -f2)
check "analytics: one GET of /__utm.gif with the fields in order" \
  "[ \$(wc -l <'$hits') -eq 1 ] && grep -qE '^GET /__utm\.gif\?utmn=[0-9]{1,10}&utmac=ZA-1234567-8&utmwv=4\.4sh&utmp=view/e2e-2015/envelope&utmcc=__utma=999\.999\.999\.999\.999\.1;&utmvid=0x[0-9a-f]{16}&utmr=-\|' '$hits'"
check "analytics: utmvid is the ga_code the child received" "[ -n '$vid' ] && grep -q 'utmvid=$vid&' '$hits'"
check "analytics: the user agent" "grep -q '|Zanti SFX/1.0$' '$hits'"

fi
if [ "$part" = faults ]; then

# --- the child's exit code, and the desktop link after a failed installation -----------------
desktop="$drive/users/Public/Desktop"
rm -f "$desktop/setup.exe"
run setup /silent /exitcode:7
check "exit code 7 passed through" "[ $code -eq 7 ]"
run setup /silent /exitcode:5
check "exit code 5 passed through" "[ $code -eq 5 ]"
check "failed installation: the installer linked onto the all-users desktop" "cmp -s '$desktop/setup.exe' '$scratch/setup.exe'"
check "failed installation: notice record before the finish record" \
  "in_order 'Installation failed; creating a hardlink of the SFX on the users. desktop\.' 'finished \(process return code 0x5\)'"
rm -f "$desktop/setup.exe"
run setup /silent /exitcode:0xA003
check "0xA003 from the child: passed through, no desktop link" "[ $code -eq $((0xA003)) ] && [ ! -e '$desktop/setup.exe' ]"

# --- an installer/updater that cannot start --------------------------------------------------
run broken /silent
check "unrunnable installer: the creation error is the exit code" "[ $code -eq 193 ]"
check "unrunnable installer: its record" "in_order \"The stub cannot run installer/updater executable '.*instup\.exe' \(code 0xc1\)\""
check "unrunnable installer: the temporary folder is gone" "[ \$(leftover_folders) -eq 0 ]"

# --- a restart request left by the child ----------------------------------------------------
run setup /silent /reboot
check "restart request: asked for after the folder is gone" \
  "[ $code -eq 0 ] && [ \$(leftover_folders) -eq 0 ] && \
   in_order 'Direct delete of file .*Reboot\.txt' 'Reboot: Restarting windows\.\.\.' 'Leaving Zanti'"
run setup /silent
check "no restart request: no restart" "! grep -q 'Reboot: Restarting' <<<\"\$records\""

# --- faults the run survives: each ends with its code and END, and leaves nothing behind ----------
pending_key='HKLM\System\CurrentControlSet\Control\Session Manager'
# Another process holds a file of the folder open. The file stays, in its folder, and nothing
# is handed to the restart: a deletion by a path under the user's TEMP would follow whatever a
# program of the user put at that path in the meantime.
rm -f "$drive/e2e/holder.done"
wreg delete "$pending_key" /v PendingFileRenameOperations /f >/dev/null 2>&1
run setup /silent /hold
pending=$(wreg query "$pending_key" /v PendingFileRenameOperations)
folder=$(sed -n 's/^self=C:\\\(.*\)\\instup.exe$/\1/p' <<<"$received" | tr '\\' '/')
check "a file held by another process: the run ends with 0 and END, the file retried, then left in its folder" \
  "[ $code -eq 0 ] && in_order \"Cannot directly delete file '.*held\.dat'\" \
     \"removeTree: Cannot remove folder '.*_av_iup\.tm~.*', code 145 \\(0x00000091\\); it is left in place\.\" ' END: ' && \
   ! grep -q 'MoveFileEx' <<<\"\$records\""
check "a file held by another process: nothing registered for the restart, only the held file left" \
  "[ -n '$folder' ] && ! grep -q '_av_iup' <<<\"\$pending\" && [ \"\$(ls '$drive/$folder')\" = held.dat ]"
for _ in $(seq 600); do [ -e "$drive/e2e/holder.done" ] && break; sleep 0.1; done
# The folder renamed away and a link to another folder put in its place, as a program of the user
# can do in its own TEMP; a debug run's registrations show that the restart deletes what it has.
victim="$drive/victim"
rm -rf "$victim" && mkdir -p "$victim" && echo keep >"$victim/held.dat" && echo keep >"$victim/victim.dat"
mv "$drive/$folder" "$drive/$folder.moved" && ln -s "$victim" "$drive/$folder"
run setup /silent /debug
debug_folder=$(sed -n 's/^self=C:\\\(.*\)\\instup.exe$/\1/p' <<<"$received" | tr '\\' '/')
"$runner" --prefix "$prefix" wineboot -r >/dev/null 2>&1
check "after a restart: the debug run's folder is gone, and nothing behind the link to the held file's folder" \
  "[ -n '$debug_folder' ] && [ ! -e '$drive/$debug_folder' ] && [ -f '$victim/held.dat' ] && [ -f '$victim/victim.dat' ]"
rm -rf "$victim" "$drive/$folder" "$drive/$folder.moved"
wreg delete "$pending_key" /v PendingFileRenameOperations /f >/dev/null 2>&1
clear_folders

# The child crashes: its exception code is the run's result.
wreg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
run setup /silent /crash
check "the child crashes: its exception code 0xC0000005 is the result, END, the folder gone" \
  "[ $code -eq $((0xC0000005)) ] && [ -n \"\$received\" ] && [ \$(leftover_folders) -eq 0 ] && \
   in_order 'finished \(process return code 0xc0000005\)' ' END: .*\(0xc0000005\)$'"
rm -f "$drive/users/Public/Desktop/setup.exe"

# GDI+, WinHTTP and dbghelp cannot be loaded: the window, the ping and the crash dump do without.
WINEDLLOVERRIDES='gdiplus=d;winhttp=d;dbghelp=d' run setup
check "GDI+, WinHTTP and dbghelp missing: the installation goes on, END, the folder gone" \
  "[ $code -eq 0 ] && grep -q '^args=' <<<\"\$received\" && [ \$(leftover_folders) -eq 0 ] && in_order ' END: .*\(0x00000000\)$'"

# The disk fills up during extraction: a 1 MiB tmpfs mounted over the system's temporary folder,
# where the elevated run makes its own, in a user and mount namespace of its own. Wine's server
# opens the files, so the prefix's server is started in there too, and stopped before the
# namespace ends. One run's only entry does not fit; another's three entries fit one by one but
# not together, written by both lanes.
head -c 2097152 /dev/urandom >"$scratch/big.bin"
for n in 1 2 3; do head -c 409600 /dev/urandom >"$scratch/part$n.bin"; done
full() {  # full NAME FILE...: an installer of raw entries
  local name=$1 files="" file; shift
  for file in "$@"; do files="$files${files:+, }{ \"path\": \"$file\", \"time\": 1429621132 }"; done
  printf '{ "commandLine": "/sfx", "sfxName": "e2e", "installer": { "path": "child.exe", "packer": "lzma" },
    "files": [ %s ], "signature": { "type": 5, "key": "%s" } }' "$files" "$key" >"$scratch/$name.json"
  "$sfxpack" build "$scratch/$name.json" -o "$scratch/$name.exe" --stub "$stub" >/dev/null || echo "FAIL: build $name"
}
full fullone big.bin
full fulltwo part1.bin part2.bin part3.bin
WINEPREFIX="$prefix" wineserver -k 2>/dev/null; WINEPREFIX="$prefix" wineserver -w 2>/dev/null
export -f run wreg
export runner prefix scratch log record drive systemp
unshare --user --map-root-user --mount bash -c '
  mount -t tmpfs -o size=1m tmpfs "$systemp" || exit 1
  for installer in fullone fulltwo; do
    run $installer /silent
    printf "%s\n" "$code" >"$scratch/$installer.code"
    printf "%s\n" "$records" >"$scratch/$installer.records"
    printf "%s" "$received" >"$scratch/$installer.received"
    find "$systemp" -mindepth 1 -name "_av_iup.tm~*" >"$scratch/$installer.left"
  done
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null; WINEPREFIX="$prefix" wineserver -w 2>/dev/null'
for installer in fullone fulltwo; do
  code=$(cat "$scratch/$installer.code" 2>/dev/null) records=$(cat "$scratch/$installer.records" 2>/dev/null)
  check "disk full ($installer): 112, the entry's record, END, nothing left on the drive, no child" \
    "[ '$code' = 112 ] && [ ! -s '$scratch/$installer.received' ] && [ ! -s '$scratch/$installer.left' ] && [ -e '$scratch/$installer.left' ] && \
     in_order \"Error extracting file '(big|part[0-9])\\.bin' \\(code 0x70\\)\" ' END: .*\\(0x00000070\\)$'"
done

fi
if [ "$part" = places ]; then
mkdir -p "$dataroot"

# --- places a program of the user can prepare before the elevated run -------------------------
# Users may create folders in the all-users application data: the data root made a link before the
# first installation would have the run's log appended wherever the user points it. Wine cannot
# remove a host symlink as itself, so here the run keeps no log at all; Windows removes the link.
mv "$dataroot" "$scratch/dataroot.saved"
for level in "" "/Persistent Data/Zanti/Logs"; do
  mkdir -p "$(dirname "$dataroot$level")" && planted "$dataroot$level"
  run setup /silent
  check "data root level '${level:-/}' a link to a user's folder: nothing written through it, the run still installs" \
    "[ $code -eq 0 ] && grep -q '^args=' <<<\"\$received\" && [ -z \"\$(ls -A '$squat')\" ]"
  rm -rf "$dataroot"
done
mv "$scratch/dataroot.saved" "$dataroot"
# With TEMP missing the run once fell back to C:\TEMP, which any user may create first.
environment=$(wreg query 'HKCU\Environment')
wreg add 'HKCU\Environment' /v TEMP /d 'C:\missing' /f >/dev/null
planted "$drive/TEMP"
run setup /silent
check "TEMP missing, C:\\TEMP a link to a user's folder: the child runs from the system's temporary folder" \
  "[ $code -eq 0 ] && grep -qiE '^self=C:\\\\windows\\\\temp\\\\_av_iup' <<<\"\$received\" && [ -z \"\$(ls -A '$squat')\" ]"
line=$(grep -E '^ +TEMP +REG_' <<<"$environment")
wreg add 'HKCU\Environment' /v TEMP /t "$(awk '{print $2}' <<<"$line")" /d "$(sed -E 's/^ +TEMP +REG_[A-Z_]+ +//' <<<"$line")" /f >/dev/null
rm -f "$drive/TEMP"
check "the user's TEMP is back" "[ \"\$(wreg query 'HKCU\\Environment')\" = \"\$environment\" ]"
rm -rf "$squat"

fi
if [ "$part" = product ]; then

# --- an installed product takes the installation over ------------------------------------------
installed="$drive/e2e/product/setup"
register() {  # register SETUP_VERSION
  wreg add "$product" /v ProgramFolder /d 'C:\e2e\product' /f >/dev/null
  wreg add "$product" /v DataFolder /d 'C:\e2e\product\data' /f >/dev/null
  wreg add "$product" /v SetupFolder /d 'C:\e2e\product\setup' /f >/dev/null
  wreg add "$product" /v SetupVersion /t REG_DWORD /d "$1" /f >/dev/null
}
runs_of() { iconv -f UTF-16LE -t UTF-8 "$1.record" 2>/dev/null | tr -d '\r' | grep -c '^cmdline='; }
rm -rf "$drive/e2e/product" && mkdir -p "$installed/Sfx" "$drive/e2e/product/data"

# A current product copies the new installer into its own folder and runs it from there.
cp "$setup" "$installed/instup.exe" && printf '/exit:0' >"$installed/instup.exe.plan"
cp "$child" "$installed/Sfx/instup.exe"
register 2000
run setup /silent /cookie:jar
check "installed product: two copy runs of its setup, then its copy is the child" \
  "[ $code -eq 0 ] && [ \$(runs_of '$installed/instup.exe') -eq 2 ] && \
   grep -qx 'self=C:\\\\e2e\\\\product\\\\setup\\\\Sfx\\\\instup.exe' <<<\"\$received\""
check "installed product: the copy runs name the new installer and wait" \
  "iconv -f UTF-16LE -t UTF-8 '$installed/instup.exe.record' | grep -q '/copy_sfx:C:.*_av_iup.tm~.*instup.exe /wait' && \
   iconv -f UTF-16LE -t UTF-8 '$installed/instup.exe.record' | grep -q '/copy_sfx:C:.*_av_iup.tm~.*Instup.dll /wait'"
check "installed product: the child gets build_id and keeps the user's cookie" \
  "grep -q '^args=.*/build_id .*/cookie:jar' <<<\"\$received\""
# The same folder in the long form: a full path too, for the hand-over and for its notice alike.
rm -f "$installed/instup.exe.record"
wreg add "$product" /v SetupFolder /d '\\?\C:\e2e\product\setup' /f >/dev/null
run setup /silent
check "installed product named in the long form (\\\\?\\): copied and run from there, no notice that nothing is run from it" \
  "[ $code -eq 0 ] && [ \$(runs_of '$installed/instup.exe') -eq 2 ] && grep -q '^self=.*\\\\Sfx\\\\instup.exe$' <<<\"\$received\" && \
   ! grep -q 'is not an absolute path' <<<\"\$records\""

# An old product's setup answers "again" twice, then done: three runs, 3 s apart.
rm -f "$installed/instup.exe" "$installed/instup.exe.record"
cp "$setup" "$installed/setup.ovr" && printf '/codes:0x2000000A,0x2000000A,0x20000001' >"$installed/setup.ovr.plan"
cp "$child" "$installed/Sfx/zanti.setup"
register 1995
run setup /silent
check "old product: setup.ovr runs three times, then its zanti.setup is the child" \
  "[ $code -eq 0 ] && [ \$(runs_of '$installed/setup.ovr') -eq 3 ] && grep -q '^self=.*\\\\Sfx\\\\zanti.setup$' <<<\"\$received\""
check "old product: the temporary folder is appended to the child's PATH" \
  "grep -qiE '^path=.*;C:\\\\windows\\\\temp\\\\_av_iup\.tm~[a-z][0-9]{5};$' <<<\"\$received\""
# An empty setup folder is still an installation, so its running service is no damage; but
# nothing is started from the current directory, where a setup program lies in wait.
register 2000
wreg add "$product" /v SetupFolder /d '' /f >/dev/null
cp "$setup" "$scratch/instup.exe" && rm -f "$scratch/instup.exe.record"
start_service
run setup /silent
wsc stop tzkSP
wsc delete tzkSP
check "an empty setup folder: installed, the service no damage, nothing run from the current directory" \
  "[ $code -eq 0 ] && grep -q '^self=.*_av_iup\.tm~.*instup\.exe$' <<<\"\$received\" && [ ! -e '$scratch/instup.exe.record' ] && \
   in_order \"Installation folder '' is not an absolute path; nothing is run from it\""
wreg delete "$product" /f >/dev/null
fi
if [ "$part" = signed ]; then

# --- two signatures, the archive's and Authenticode, and per-download tags inside the latter -----
# Without embedded items, so that the stub reads the tail block. Three ways to sign: sfxpack runs
# osslsigncode; the same with a timestamp from osslsigncode's test authority; prepared, signed by
# the engineer's own osslsigncode with a description and URL (RSA, and ECDSA), then sealed. Each
# is tagged, retagged with another item and untagged in place; the judges are osslsigncode and
# Wine's WinVerifyTrust (e2e_trust.exe), asked once for every file.
keys=$(dirname "$key")
trust=$(dirname "$child")/e2e_trust.exe
[ -f "$trust" ] || { echo "FAIL: $trust is missing: the code-signature judge was not built"; exit 1; }
cp "$trust" "$scratch/trust.exe"
cat >"$scratch/signed.json" <<JSON
{ "commandLine": "/sfx", "sfxName": "e2e", "installer": { "path": "child.exe", "packer": "lzma" },
  "files": [ { "path": "vps1.vpx", "time": 1429621132 } ], "signature": { "type": 5, "key": "$key" } }
JSON
printf 'ticket' >"$scratch/ticket.bin"
printf 'recommendation' >"$scratch/rid.bin"
cert=(--cert "$keys/codesign.pem" --cert-key "$keys/codesign.key.pem")
signed_build() { "$sfxpack" build "$scratch/signed.json" -o "$scratch/$1.exe" --stub "$stub" "${@:2}" >/dev/null ||
                   { echo "FAIL: build $1"; exit 1; }; }
engineer_sign() {  # engineer_sign NAME CERT KEY: prepared, signed by osslsigncode, kept unsealed as NAME-unsealed
  osslsigncode sign -certs "$keys/$2" -key "$keys/$3" -h sha256 -n 'e2e setup' -i https://example.invalid/ \
    -in "$scratch/prepared.exe" -out "$scratch/$1.exe" >/dev/null 2>&1 || { echo "FAIL: osslsigncode sign $1"; exit 1; }
  cp "$scratch/$1.exe" "$scratch/$1-unsealed.exe"
  "$sfxpack" seal "$scratch/$1.exe" >/dev/null || { echo "FAIL: seal $1"; exit 1; }
}
signed_build signed "${cert[@]}" --signing-time 1429621132
signed_build stamped "${cert[@]}" --signing-time 1796752800 --test-tsa-certs "$keys/tsa.pem" --test-tsa-key "$keys/tsa.key.pem"
signed_build prepared --prepare
engineer_sign engineer codesign.pem codesign.key.pem
engineer_sign engineer-ec codesign-ec.pem codesign-ec.key.pem
# Signers that append their entry behind the zero-filled reservation, which seal moves into it.
# pesign takes its key from an NSS database, made here from the same test certificate.
nss="$scratch/nssdb"
rm -rf "$nss" && mkdir -p "$nss" && certutil -N -d "sql:$nss" --empty-password &&
  openssl pkcs12 -export -in "$keys/codesign.pem" -inkey "$keys/codesign.key.pem" -name signer -passout pass: \
    -out "$scratch/signer.p12" && pk12util -i "$scratch/signer.p12" -d "sql:$nss" -W '' >/dev/null ||
  { echo "FAIL: an NSS database for pesign"; exit 1; }
sbsign --key "$keys/codesign.key.pem" --cert "$keys/codesign.pem" --output "$scratch/sbsign.exe" "$scratch/prepared.exe" \
  >/dev/null 2>&1 && "$sfxpack" seal "$scratch/sbsign.exe" >/dev/null || { echo "FAIL: sbsign, then seal"; exit 1; }
pesign -n "sql:$nss" -c signer -s -i "$scratch/prepared.exe" -o "$scratch/pesign.exe" </dev/null >/dev/null 2>&1 &&
  "$sfxpack" seal "$scratch/pesign.exe" >/dev/null || { echo "FAIL: pesign, then seal"; exit 1; }
flows="signed stamped engineer engineer-ec sbsign pesign"
sizes_kept=1 tag_failed=
for f in $flows; do
  size=$(stat -c %s "$scratch/$f.exe")
  cp "$scratch/$f.exe" "$scratch/$f-tag.exe"
  "$sfxpack" tag "$scratch/$f-tag.exe" --item EAPT="$scratch/ticket.bin" >/dev/null || tag_failed+=" $f-tag"
  cp "$scratch/$f-tag.exe" "$scratch/$f-retag.exe"
  "$sfxpack" tag "$scratch/$f-retag.exe" --item ERID="$scratch/rid.bin" >/dev/null || tag_failed+=" $f-retag"
  cp "$scratch/$f-retag.exe" "$scratch/$f-untag.exe"
  "$sfxpack" tag "$scratch/$f-untag.exe" --remove >/dev/null || tag_failed+=" $f-untag"
  for step in tag retag untag; do [ "$(stat -c %s "$scratch/$f-$step.exe")" -eq "$size" ] || sizes_kept=0; done
done
check "code-signed installers are tagged, retagged and untagged, keeping their size${tag_failed:+ (failed:$tag_failed)}" \
  "[ -z '$tag_failed' ] && [ $sizes_kept -eq 1 ]"
ossl_failed=
for f in $flows; do
  for step in tag retag untag; do
    osslsigncode verify -CAfile "$keys/codesign-ca.pem" -TSA-CAfile "$keys/codesign-ca.pem" -in "$scratch/$f-$step.exe" \
      2>/dev/null | grep -qx Succeeded || ossl_failed+=" $f-$step"
  done
done
check "osslsigncode accepts every tagged, retagged and untagged one${ossl_failed:+ (not:$ossl_failed)}" "[ -z '$ossl_failed' ]"
# Read apart from sfxpack: each table ends its file, and inside it nothing but up to 7 zero bytes
# follows the PKCS#7 (what the certificate padding check allows).
checker=$(cd "$(dirname "$0")/../.." && pwd)/sfxpack/table_ends_file.py
padding_failed=$(cd "$scratch" && python3 "$checker" $(for f in $flows; do echo "$f-tag.exe $f-retag.exe $f-untag.exe"; done)) ||
  padding_failed+=" (the check failed)"
padding_failed=${padding_failed//$'\n'/ }
check "every table ends its file with nothing but zero padding after the PKCS#7${padding_failed:+ (not: $padding_failed)}" \
  "[ -z '$padding_failed' ]"
# A download of the signed one from sfxpack serve, stamped with an ERID as it went out, is judged
# and run as the files tag wrote are.
mkdir -p "$scratch/served" && cp "$scratch/signed.exe" "$scratch/served/signed.exe"
"$sfxpack" serve "$scratch/served" --listen 127.0.0.1:0 >/dev/null 2>"$scratch/serve.err" &
serve_pid=$!
port=
for _ in $(seq 300); do
  port=$(sed -n 's/^sfxpack serve: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$scratch/serve.err")
  [ -n "$port" ] || ! kill -0 "$serve_pid" 2>/dev/null && break
  sleep 0.1
done
rm -f "$scratch/served.exe"
[ -n "$port" ] && python3 "$(dirname "$checker")/serve_client.py" fetch "$port" '/signed.exe?ERID=recommendation' \
  "$scratch/served.exe" >/dev/null
kill -TERM "$serve_pid" 2>/dev/null
wait "$serve_pid"
check "sfxpack serve: a download stamped with an ERID, which osslsigncode accepts" \
  "[ -s '$scratch/served.exe' ] && osslsigncode verify -CAfile '$keys/codesign-ca.pem' -in '$scratch/served.exe' 2>/dev/null | grep -qx Succeeded"
cp "$scratch/signed.exe" "$scratch/flipped.exe"
printf 'X' | dd of="$scratch/flipped.exe" bs=1 seek=2000 conv=notrunc 2>/dev/null  # inside .text
judged=(served.exe)
for f in $flows; do judged+=("$f-tag.exe" "$f-retag.exe" "$f-untag.exe"); done
verdicts=$("$runner" --prefix "$prefix" --cwd "$scratch" "$scratch/trust.exe" "${judged[@]}" flipped.exe \
  engineer-ec-unsealed.exe 2>/dev/null | tr -d '\r')
verdict() { sed -n "s/^$1=//p" <<<"$verdicts"; }
trusted_not=
[ "$(verdict served.exe)" = 0x00000000 ] || trusted_not+=" served=$(verdict served.exe)"
for f in signed stamped engineer sbsign pesign; do
  for step in tag retag untag; do [ "$(verdict "$f-$step.exe")" = 0x00000000 ] || trusted_not+=" $f-$step=$(verdict "$f-$step.exe")"; done
done
check "WinVerifyTrust: 0 for the served download and every RSA-signed one, tagged, retagged and untagged, and 0x80096010 for a flipped code byte${trusted_not:+ (not:$trusted_not)}" \
  "[ -z '$trusted_not' ] && [ '$(verdict flipped.exe)' = 0x80096010 ]"
# Wine 8 verifies no ECDSA signer at all (0x80096004 for any ECDSA-signed file): the sealed and
# tagged file must get the same answer as the signing tool's own output.
ec_same=1
for step in tag retag untag; do [ "$(verdict "engineer-ec-$step.exe")" = "$(verdict engineer-ec-unsealed.exe)" ] || ec_same=0; done
check "WinVerifyTrust answers the ECDSA-signed ones as it answers the signing tool's own output ($(verdict engineer-ec-unsealed.exe))" \
  "[ $ec_same -eq 1 ] && [ -n '$(verdict engineer-ec-unsealed.exe)' ]"
run signed-tag /silent
check "code-signed, tagged: the stub runs it and saves the tail item beside the child" \
  "[ $code -eq 0 ] && grep -qx 'file=pairing.bin' <<<\"\$received\""
run stamped-retag /silent
check "code-signed with a timestamp, retagged: the stub saves the new item, not the old" \
  "[ $code -eq 0 ] && grep -qx 'file=rid.bin' <<<\"\$received\" && ! grep -qx 'file=pairing.bin' <<<\"\$received\""
run engineer-ec-tag /silent
check "signed by the engineer's tool and sealed, tagged: the stub runs it and saves the tail item" \
  "[ $code -eq 0 ] && grep -qx 'file=pairing.bin' <<<\"\$received\""
run served /silent
check "served by sfxpack serve with an ERID: the stub runs it and saves the item beside the child" \
  "[ $code -eq 0 ] && grep -qx 'file=rid.bin' <<<\"\$received\""
run pesign-retag /silent
check "signed by a tool that appends (pesign), sealed, retagged: the stub runs it and saves the new item" \
  "[ $code -eq 0 ] && grep -qx 'file=rid.bin' <<<\"\$received\""

fi

WINEPREFIX="$prefix" wineserver -k 2>/dev/null
exit $fail
