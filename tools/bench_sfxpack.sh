#!/usr/bin/env bash
# bench_sfxpack.sh: the producer on an installer of one 1 GiB entry stored as it is, against the
# reference tools in the same run. Time: `sfxpack build` against `sha256sum` plus `cp` of the
# same bytes (target <= 1.5 x: build reads, writes and digests them once each). Memory: the
# peak resident size of build, sign, verify and extract of that installer against the bound of
# 64 MiB; nothing in it is packed with LZMA (the installer/updater is packed with zlib), so no
# encoder's state is added to the bound. So are the code-signed flows on the same entry: build
# --prepare, build --cert (which runs osslsigncode), seal of the prepared file once osslsigncode
# signed it, and tag of the result; for these only sfxpack's own process counts (osslsigncode
# reads the whole file into its own memory, which is not sfxpack's). The stub is the host tests' stand-in
# (sfxpack/stand_in_stub.py), so no Windows build is needed.
# Builds nothing: `make bench` builds the bench preset's sfxpack. The inputs are cached under
# build/bench/sfxpack-bench, keyed by their recipe. RUNS (3) runs of each; the best is compared.
# Exits 0 when it ran, whether or not targets were met; nonzero, saying why, when it could not.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-3}
sfxpack=$top/build/bench/sfxpack/sfxpack
bound_kib=$((64 * 1024))
mib=1024

[ -x "$sfxpack" ] || { echo "bench_sfxpack.sh: $sfxpack is missing; run \`make bench\`" >&2; exit 2; }
for tool in python3 sha256sum cp osslsigncode; do
  command -v "$tool" >/dev/null || { echo "bench_sfxpack.sh: $tool is missing (tools/setup.sh installs it)" >&2; exit 2; }
done

recipe="entry: $mib MiB from python random.Random(1); stub and installer: stand_in_stub.py; time 0; key5"
base=$top/build/bench/sfxpack-bench
key=$( { echo "$recipe"; sha256sum "$top/sfxpack/stand_in_stub.py" "$top/keys/test/key5.pem" | cut -d' ' -f1; } |
       sha256sum | cut -c1-16)
cache=$base/inputs-$key

# The entry is incompressible bytes written out for real: a sparse file would read as fast as
# memory and flatter the producer and the reference tools alike.
make_inputs() {
  local staging
  mkdir -p "$base"
  rm -rf "$base"/inputs-* "$base"/staging.*
  staging=$(mktemp -d "$base/staging.XXXXXX")
  echo "bench_sfxpack.sh: writing the $mib MiB entry (once per recipe)"
  python3 - "$staging/entry.bin" "$mib" <<'PY'
import random, sys
r = random.Random(1)
with open(sys.argv[1], "wb") as out:
    for _ in range(int(sys.argv[2])):
        out.write(r.randbytes(1 << 20))
PY
  python3 "$top/sfxpack/stand_in_stub.py" "$top/keys/test" "$staging/stub.exe"
  python3 "$top/sfxpack/stand_in_stub.py" "$top/keys/test" "$staging/installer.exe" --no-table
  printf '{ "installer": { "path": "installer.exe", "packer": "zlib" }, "files": [ { "path": "entry.bin", "time": 0 } ],
  "signature": { "type": 5, "key": "%s" } }\n' "$top/keys/test/key5.pem" >"$staging/manifest.json"
  mv "$staging" "$cache"
}
[ -f "$cache/manifest.json" ] || make_inputs

work=$(mktemp -d "$base/run.XXXXXX")
trap 'rm -rf "$work"' EXIT

# measured NAME COMMAND...: runs the command, which must succeed; appends "seconds peak-KiB" of
# that run to $work/NAME.
measured() {
  local name=$1
  shift
  python3 - "$work/$name" "$@" <<'PY' || { echo "bench_sfxpack.sh: '${*}' failed" >&2; exit 1; }
import resource, subprocess, sys, time
start = time.perf_counter()
code = subprocess.call(sys.argv[2:], stdout=subprocess.DEVNULL)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
with open(sys.argv[1], "a") as out:
    out.write(f"{seconds:.3f} {peak}\n")
sys.exit(code)
PY
}
# own_peak NAME COMMAND...: runs the command, which must succeed, and appends the peak resident
# size of its own process in KiB to $work/NAME, read as it ends (stopped there through ptrace):
# getrusage would count the largest program it ran instead when that one is larger.
own_peak() {
  local name=$1
  shift
  python3 - "$work/$name" "$@" <<'PY' || { echo "bench_sfxpack.sh: '${*}' failed or could not be measured" >&2; exit 1; }
import ctypes, os, signal, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
TRACEME, CONT, SETOPTIONS, TRACEEXIT, EVENT_EXIT = 0, 7, 0x4200, 0x40, 6
pid = os.fork()
if pid == 0:
    if libc.ptrace(TRACEME, 0, None, None) != 0:
        os._exit(125)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.execvp(sys.argv[2], sys.argv[2:])
_, status = os.waitpid(pid, 0)
if not os.WIFSTOPPED(status) or libc.ptrace(SETOPTIONS, pid, None, ctypes.c_void_p(TRACEEXIT)) != 0:
    sys.exit("bench_sfxpack.sh: cannot follow the process to its end (ptrace refused)")
peak = None
libc.ptrace(CONT, pid, None, None)
while True:
    _, status = os.waitpid(pid, 0)
    if os.WIFEXITED(status) or os.WIFSIGNALED(status):
        break
    sig = os.WSTOPSIG(status)
    if sig == signal.SIGTRAP and status >> 16 == EVENT_EXIT:
        with open(f"/proc/{pid}/status") as proc:
            peak = next(int(line.split()[1]) for line in proc if line.startswith("VmHWM:"))
        sig = 0
    libc.ptrace(CONT, pid, None, ctypes.c_void_p(sig))
if peak is None:
    sys.exit("bench_sfxpack.sh: the process ended without its exit stop: no peak read")
with open(sys.argv[1], "a") as out:
    out.write(f"0 {peak}\n")
sys.exit(os.waitstatus_to_exitcode(status))
PY
}
best_seconds() { sort -n "$work/$1" | head -1 | cut -d' ' -f1; }
peak_kib() { sort -n -k2 "$work/$1" | tail -1 | cut -d' ' -f2; }

entry=$cache/entry.bin setup=$work/setup.exe
for _ in $(seq "$runs"); do
  measured reference bash -c 'sha256sum "$1" >/dev/null && cp "$1" "$2"' _ "$entry" "$work/copy.bin"
  rm -f "$work/copy.bin" "$setup"
  measured build "$sfxpack" build "$cache/manifest.json" -o "$setup" --stub "$cache/stub.exe" -q
done
content=$("$sfxpack" verify "$setup" | sed -n 's/.*content \([0-9]*\) bytes.*/\1/p')
[ -n "$content" ] || { echo "bench_sfxpack.sh: verify does not name the content's length" >&2; exit 1; }
for _ in $(seq "$runs"); do
  head -c "$content" "$setup" >"$work/unsigned.exe"
  measured sign "$sfxpack" sign --type 5 --key "$top/keys/test/key5.pem" "$work/unsigned.exe" -q
  cmp -s "$work/unsigned.exe" "$setup" || { echo "bench_sfxpack.sh: sign does not give the built bytes" >&2; exit 1; }
  measured verify "$sfxpack" verify "$setup" -q
  rm -rf "$work/out"
  measured extract "$sfxpack" extract "$setup" "$work/out" -q
  cmp -s "$work/out/entry.bin" "$entry" || { echo "bench_sfxpack.sh: extract does not give the entry back" >&2; exit 1; }
  rm -rf "$work/out"
done

# The code-signed flows. osslsigncode signs the prepared file as build --cert has it sign, so the
# sealed file must be build --cert's, byte for byte.
keys=$top/keys/test
cert=(--cert "$keys/codesign.pem" --cert-key "$keys/codesign.key.pem" --signing-time 0)
printf 'ticket' >"$work/ticket.bin"
for _ in $(seq "$runs"); do
  rm -f "$setup" "$work/prepared.exe" "$work/certed.exe"
  own_peak prepare "$sfxpack" build "$cache/manifest.json" -o "$work/prepared.exe" --stub "$cache/stub.exe" --prepare -q
  own_peak cert "$sfxpack" build "$cache/manifest.json" -o "$work/certed.exe" --stub "$cache/stub.exe" "${cert[@]}" -q
  rm -f "$work/sealed.exe"
  osslsigncode sign -certs "$keys/codesign.pem" -key "$keys/codesign.key.pem" -h sha256 -time 0 \
    -in "$work/prepared.exe" -out "$work/sealed.exe" >/dev/null
  rm -f "$work/prepared.exe"
  own_peak seal "$sfxpack" seal "$work/sealed.exe"
  cmp -s "$work/sealed.exe" "$work/certed.exe" || { echo "bench_sfxpack.sh: seal does not give build --cert's bytes" >&2; exit 1; }
  rm -f "$work/sealed.exe"
  own_peak tag "$sfxpack" tag "$work/certed.exe" --item EAPT="$work/ticket.bin"
done

verdict() { if [ "$1" = 1 ]; then echo met; else echo MISSED; fi; }
build=$(best_seconds build) reference=$(best_seconds reference)
ratio=$(python3 -c "print(f'{$build / $reference:.2f}')")
echo "(best of $runs; the machine may be shared: compare the ratios)"
echo "build, $mib MiB stored entry: ${build} s | sha256sum + cp of the same bytes: ${reference} s | ratio $ratio |" \
  "target <= 1.5 | $(verdict "$(python3 -c "print(int($ratio <= 1.5))")")"
for command in build sign verify extract prepare cert seal tag; do
  case $command in
    prepare) what="build --prepare" ;;
    cert) what="build --cert (sfxpack's process, not osslsigncode's)" ;;
    *) what=$command ;;
  esac
  peak=$(peak_kib "$command")
  echo "peak memory, $what: $((peak / 1024)) MiB | bound 64 MiB (no LZMA entry) | target <= bound |" \
    "$(verdict "$([ "$peak" -le "$bound_kib" ] && echo 1 || echo 0)")"
done
