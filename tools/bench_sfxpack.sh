#!/usr/bin/env bash
# bench_sfxpack.sh: the producer on an installer of one 1 GiB entry stored as it is, against the
# reference tools in the same run. Time: `sfxpack build` against `sha256sum` plus `cp` of the
# same bytes (target <= 1.5 x: build reads, writes and digests them once each). Memory: the
# peak resident size of build, sign, verify and extract of that installer against the bound of
# 64 MiB; nothing in it is packed with LZMA (the installer/updater is packed with zlib), so no
# encoder's state is added to the bound. The stub is the host tests' stand-in
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
for tool in python3 sha256sum cp; do
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

verdict() { if [ "$1" = 1 ]; then echo met; else echo MISSED; fi; }
build=$(best_seconds build) reference=$(best_seconds reference)
ratio=$(python3 -c "print(f'{$build / $reference:.2f}')")
echo "(best of $runs; the machine may be shared: compare the ratios)"
echo "build, $mib MiB stored entry: ${build} s | sha256sum + cp of the same bytes: ${reference} s | ratio $ratio |" \
  "target <= 1.5 | $(verdict "$(python3 -c "print(int($ratio <= 1.5))")")"
for command in build sign verify extract; do
  peak=$(peak_kib "$command")
  echo "peak memory, $command: $((peak / 1024)) MiB | bound 64 MiB (no LZMA entry) | target <= bound |" \
    "$(verdict "$([ "$peak" -le "$bound_kib" ] && echo 1 || echo 0)")"
done
