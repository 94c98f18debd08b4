#!/usr/bin/env bash
# bench_stub.sh: the shipped 32-bit stub end to end under Wine, against the reference tools in
# the same run. An installer of 128 MiB of installer-like data in four packages runs silently;
# a launcher (stub/e2e/bench_launcher.c) times it from just before its start to the start of
# its installer/updater (stub/e2e/bench_child.c, which only notes the time) and reads its peak
# working set. The reference tools do the same work on the same bytes, writing to the same
# folder kind (Wine's temp folder): openssl checks the installer's SHA-256, 7zz and gzip unpack
# each package's own stream. Targets: stub time <= 1.15 x the tools' sum; peak working set <=
# the largest entry's packed plus unpacked size plus 16 MiB. Last, the producer's
# `sfxpack verify` of the same installer against `openssl dgst -sha256` (target <= 1.1).
# Builds nothing: `make bench` builds the win32 stub and helpers and the bench preset's sfxpack.
# The installer is cached under build/bench/stub-e2e, keyed by everything it is made of.
# RUNS (5) measured runs of each, after one warm-up run of the stub; best times are compared.
# SFX_WINE_ARCH (win64) is the prefix's kind. Exits 0 when it ran, whether or not targets were met.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
arch=${SFX_WINE_ARCH:-win64}

cpu=$(bash "$top/tools/wine-cpu.sh")
if [ "$cpu" != native ]; then
  echo "bench_stub.sh: SKIPPED: this machine runs 32-bit Windows programs only through qemu-i386" \
    "(tools/wine-cpu.sh says '$cpu'); the stub's times there would be the emulator's"
  exit 0
fi

win32=$top/build/win32/stub
stub=$win32/sfxstub.exe launcher=$win32/bench_launcher.exe child=$win32/bench_child.exe
sfxpack=$top/build/bench/sfxpack/sfxpack inputs=$top/build/bench/stub/bench_stub_inputs
key=$top/keys/test/key5.pem
for file in "$stub" "$launcher" "$child" "$sfxpack" "$inputs" "$key"; do
  [ -f "$file" ] || { echo "bench_stub.sh: $file is missing; run \`make bench\`" >&2; exit 2; }
done
for tool in openssl 7zz gzip python3 sha256sum; do
  command -v "$tool" >/dev/null || { echo "bench_stub.sh: $tool is missing (tools/setup.sh installs it)" >&2; exit 2; }
done

# The payload: raw name (the package as stored), extraction name, packer, MiB, sample seed.
entries=("program.pkg program.dat lzma 100 1" "defs.pkg defs.vpx zlib 16 2"
         "engine.pkg engine.dll lzma 8 3" "help.pkg help.chm zlib 4 4")

files="" total_mib=0
for entry in "${entries[@]}"; do
  read -r name extraction packer mib seed <<<"$entry"
  files+="${files:+, }{ \"path\": \"in/$extraction\", \"name\": \"$name\", \"extractionName\": \"$extraction\","
  files+=" \"packer\": \"$packer\", \"time\": 1429621132 }"
  total_mib=$((total_mib + mib))
done
manifest=$(cat <<JSON
{ "commandLine": "/sfx", "sfxName": "bench", "installer": { "path": "child.exe", "packer": "lzma" },
  "files": [ $files ],
  "signature": { "type": 5, "key": "$key" } }
JSON
)

base=$top/build/bench/stub-e2e
key_of_inputs=$( { sha256sum "$stub" "$child" "$sfxpack" "$inputs" "$key" | cut -d' ' -f1
                   printf '%s\n' "${entries[@]}" "$manifest"; } | sha256sum | cut -c1-16)
cache=$base/installer-$key_of_inputs

gives_back() {  # gives_back PAYLOAD COMMAND...: the command's output is PAYLOAD, or the benchmark stops
  local payload=$1; shift
  "$@" 2>/dev/null | cmp -s - "$payload" || { echo "bench_stub.sh: '$*' does not give back $payload" >&2; exit 1; }
}

# Packs the installer, takes its packages back out with sfxpack and puts each stream in its
# tool's container; every tool must give back the very payload before the cache is kept.
make_installer() {
  local staging name extraction packer mib seed
  mkdir -p "$base"
  rm -rf "$base"/installer-* "$base"/staging.*
  staging=$(mktemp -d "$base/staging.XXXXXX")
  mkdir "$staging/in"
  for entry in "${entries[@]}"; do
    read -r name extraction packer mib seed <<<"$entry"
    "$inputs" sample $((mib << 20)) "$seed" "$staging/in/$extraction"
  done
  cp "$child" "$staging/child.exe"
  echo "$manifest" >"$staging/manifest.json"
  echo "bench_stub.sh: packing $total_mib MiB into the installer (once per stub, child and sfxpack build; minutes)"
  "$sfxpack" build "$staging/manifest.json" -o "$staging/setup.exe" --stub "$stub" >/dev/null
  "$sfxpack" extract "$staging/setup.exe" "$staging/out" >/dev/null
  for entry in "${entries[@]}"; do
    read -r name extraction packer mib seed <<<"$entry"
    local payload=$staging/in/$extraction container=$staging/$extraction.gz
    [ "$packer" = zlib ] || container=$staging/$extraction.lzma
    "$inputs" container "$staging/out/$name" "$container"
    gives_back "$payload" cat "$staging/out/$extraction"
    if [ "$packer" = zlib ]; then gives_back "$payload" gzip -dc "$container"
    else gives_back "$payload" 7zz e -so -tlzma "$container"; fi
    echo "$extraction $(stat -c %s "$staging/out/$name") $(stat -c %s "$payload")" >>"$staging/sizes.txt"
  done
  rm -rf "$staging/in" "$staging/out" "$staging/child.exe"
  mv "$staging" "$cache"
}
[ -f "$cache/sizes.txt" ] || make_installer

prefix=$base/wine/$arch
drive=$prefix/drive_c
wine_run() {  # no proxy: the stub's analytics request must not leave the machine
  env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
    SFX_BENCH_CHILD_RECORD='C:\bench\child.qpc' "$top/tools/wine-run.sh" --prefix "$prefix" --arch "$arch" "$@"
}
windows_path() { echo "Z:${1//\//\\}"; }
if ! wine_run cmd /c exit 0 >/dev/null 2>&1; then
  echo "bench_stub.sh: Wine does not start a program in $prefix" >&2
  exit 1
fi
temp=$drive/users/$(id -un)/Temp
mkdir -p "$drive/bench" "$temp"

# One launcher run: its key=value lines; a run that did not reach the child stops the
# benchmark, loudly.
launch() {
  local output
  output=$(wine_run "$launcher" "$@" 2>&1 | tr -d '\r') || true
  if ! grep -qx 'exit=0' <<<"$output" || ! grep -q '^child_start_ms=' <<<"$output"; then
    echo "bench_stub.sh: the run of $* did not go through:" >&2
    echo "$output" >&2
    exit 1
  fi
  echo "$output"
}
value() { sed -n "s/^$1=//p" <<<"$2"; }
us() { local ms=$1; echo $((10#${ms%.*} * 1000 + 10#${ms#*.})); }  # "12.345" ms in microseconds

setup=$(windows_path "$cache/setup.exe")
launch "$setup" /silent >/dev/null  # warm-up: page cache, the prefix's first start
stub_times=() exit_times=() peak=0 peak_reads=""
for _ in $(seq "$runs"); do
  out=$(launch "$setup" /silent)
  stub_times+=("$(us "$(value child_start_ms "$out")")")
  exit_times+=("$(us "$(value exit_ms "$out")")")
  p=$(value peak_working_set "$out")
  [ -n "$p" ] || { echo "bench_stub.sh: no reading of the stub's working set:" >&2; echo "$out" >&2; exit 1; }
  [ "$p" -gt "$peak" ] && peak=$p
  peak_reads+=" $(value peak_read "$out")"
done
start_times=() wine_peak=0  # Wine starting a program and what it takes: the child alone
for _ in $(seq "$runs"); do
  out=$(launch "$(windows_path "$child")")
  start_times+=("$(us "$(value child_start_ms "$out")")")
  p=$(value peak_working_set "$out")
  [ "${p:-0}" -gt "$wine_peak" ] && wine_peak=$p
done
best() { printf '%s\n' "$@" | sort -n | head -n1; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }

# The tools, each the best of its runs, output removed before each run.
reference=$temp/bench-reference
best_us() {
  local best="" start end t
  for _ in $(seq "$runs"); do
    rm -rf "$reference" && mkdir -p "$reference"
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo "bench_stub.sh: $* failed" >&2; exit 1; }
    end=$(date +%s%N)
    t=$(( (end - start) / 1000 ))
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  echo "$best"
}
gunzip_to() { gzip -dc "$1" >"$reference/$2"; }
rows=() tools_sum=0 largest="" largest_unpacked=0
installer_size=$(stat -c %s "$cache/setup.exe")
t=$(best_us openssl dgst -sha256 "$cache/setup.exe")
rows+=("openssl dgst -sha256 setup.exe|$t|$installer_size") tools_sum=$((tools_sum + t)) openssl_us=$t
verify_us=$(best_us "$sfxpack" verify "$cache/setup.exe")
while read -r extraction packed unpacked; do
  if [ -f "$cache/$extraction.gz" ]; then
    t=$(best_us gunzip_to "$cache/$extraction.gz" "$extraction")
    rows+=("gzip -d $extraction.gz|$t|$unpacked")
  else
    t=$(best_us 7zz e -tlzma -y "-o$reference" "$cache/$extraction.lzma")
    rows+=("7zz e $extraction.lzma|$t|$unpacked")
  fi
  tools_sum=$((tools_sum + t))
  if [ "$unpacked" -gt "$largest_unpacked" ]; then
    largest="$extraction $packed $unpacked" largest_unpacked=$unpacked
  fi
done <"$cache/sizes.txt"
rm -rf "$reference"

read -r _ largest_packed largest_unpacked <<<"$largest"
echo "stub end to end: setup.exe /silent under Wine ($arch prefix), $total_mib MiB in ${#entries[@]} packages;" \
  "best of $runs runs after a warm-up"
echo "$(nproc) cores, $(wine --version), $(openssl version | cut -d' ' -f1-2)," \
  "7-Zip $(7zz | sed -n 's/^7-Zip (z) \([^ ]*\).*/\1/p'), load $(cut -d' ' -f1 /proc/loadavg)"
python3 - "$(best "${stub_times[@]}")" "$(median "${stub_times[@]}")" "$(median "${exit_times[@]}")" \
  "$(best "${start_times[@]}")" "$tools_sum" "$peak" "$largest_packed" "$largest_unpacked" "$wine_peak" "$peak_reads" \
  "${rows[@]}" <<'PY'
import sys
stub, stub_median, stub_exit, wine_start, tools, peak, packed, unpacked, wine_peak = (int(v) for v in sys.argv[1:10])
peak_reads, rows = sys.argv[10].split(), sys.argv[11:]
mib = lambda n: n / 2**20
verdict = lambda ok: "met" if ok else "MISSED"
print(f"{'':44} {'ms':>9} {'MiB':>8}")
print(f"{'stub: its start to instup.exe start':44} {stub / 1000:9.1f}"
      f"   (median {stub_median / 1000:.1f}; median to its exit {stub_exit / 1000:.1f})")
wine_peak_text = f"{mib(wine_peak):.1f} MiB" if wine_peak else "not readable"
print(f"{'  within it, twice: Wine starting a program':44} {wine_start / 1000:9.1f}"
      f"   (the child alone, best; its peak working set {wine_peak_text})")
for row in rows:
    name, t, size = row.split("|")
    print(f"{name:44} {int(t) / 1000:9.1f} {mib(int(size)):8.1f}")
print(f"{'reference tools, sum':44} {tools / 1000:9.1f}")
ratio, limit = stub / tools, packed + unpacked + (16 << 20)
reads = ", ".join(f"{peak_reads.count(k)} {k}" for k in sorted(set(peak_reads)))
print(f"time, stub / tools' sum: {ratio:.2f}, target <= 1.15: {verdict(ratio <= 1.15)}")
print(f"peak working set, worst run: {mib(peak):.1f} MiB, bound {mib(limit):.1f} (largest entry {mib(packed):.1f}"
      f" packed + {mib(unpacked):.1f} unpacked + 16; read at {reads}): {verdict(peak <= limit)}")
PY

# The producer's check of the same installer, against openssl's digest of it.
python3 - "$verify_us" "$openssl_us" <<'PY'
import sys
verify, openssl = (int(v) for v in sys.argv[1:3])
ratio = verify / openssl
print(f"sfxpack verify setup.exe: {verify / 1000:.1f} ms, against openssl dgst -sha256 {openssl / 1000:.1f} ms:"
      f" {ratio:.2f}, target <= 1.1: {'met' if ratio <= 1.1 else 'MISSED'}")
PY
