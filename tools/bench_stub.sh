#!/usr/bin/env bash
# bench_stub.sh: the shipped 32-bit stub end to end under Wine, against the reference tools in
# the same run, on installers of two shapes: "packages", 128 MiB of installer-like data in four
# packages, and "stored", 112 MiB in three stored entries beside an installer/updater of 16 MiB
# (its LZMA stream then weighs in). The installer runs silently; a launcher
# (stub/e2e/bench_launcher.c) times it from just before its start to the start of its
# installer/updater (stub/e2e/bench_child.c, which only notes the time) and reads its peak
# working set. The reference tools do the same work on the same bytes one after another,
# writing to the same folder kind (Wine's temp folder): openssl checks the installer's SHA-256,
# 7zz and gzip unpack each package's own stream (the installer/updater's too, where it is
# large), dd copies each stored entry out of the installer in 1 MiB blocks. Targets, for each
# shape: stub time <= 1.0 x the tools' sum; peak working set <= the largest entry's packed plus
# unpacked size plus 16 MiB. Then the producer's `sfxpack verify` of the same installer against
# `openssl dgst -sha256` (target <= 1.1, where the installer/updater is small).
# Builds nothing: `make bench` builds the win32 stub and helpers and the bench preset's sfxpack.
# The installers are cached under build/bench/stub-e2e, keyed by everything they are made of.
# RUNS (5) measured runs of each, after one warm-up run of the stub; best times are compared.
# SFX_BENCH_SHAPES ("packages stored") the shapes to run; SFX_WINE_ARCH (win64) the prefix's
# kind. Exits 0 when it ran, whether or not targets were met.
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

# A shape is its installer's make-up: the installer/updater (the child, optionally grown by
# MiB of sample data, which makes its LZMA stream a part of the work), then one line per file
# entry: raw name (the entry as stored), extraction name ("-" for none: the entry is only
# stored), packer, MiB, sample seed.
shape_packages=("child 0 0"
  "program.pkg program.dat lzma 100 1" "defs.pkg defs.vpx zlib 16 2"
  "engine.pkg engine.dll lzma 8 3" "help.pkg help.chm zlib 4 4")
shape_stored=("child 16 9"
  "base.vpx - stored 48 5" "update.vpx - stored 48 6" "rules.vpx - stored 16 7")

base=$top/build/bench/stub-e2e
gives_back() {  # gives_back PAYLOAD COMMAND...: the command's output is PAYLOAD, or the benchmark stops
  local payload=$1; shift
  "$@" 2>/dev/null | cmp -s - "$payload" || { echo "bench_stub.sh: '$*' does not give back $payload" >&2; exit 1; }
}
json_field() {  # json_field FILE EXPRESSION: a value of sfxpack inspect's JSON object d
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$1" "$2"
}
copy_out() {  # copy_out FILE OFFSET SIZE OUT: one stored entry's bytes copied to a file of its own
  dd if="$1" of="$4" bs=1M iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none
}

# Sets the shape's manifest, payload size and cache folder.
describe_shape() {  # describe_shape NAME: reads the array shape_NAME
  local -n lines=shape_$1
  local name extraction packer mib seed child_mib files=""
  read -r _ child_mib _ <<<"${lines[0]}"
  entries=("${lines[@]:1}") total_mib=$child_mib
  for entry in "${entries[@]}"; do
    read -r name extraction packer mib seed <<<"$entry"
    if [ "$extraction" = - ]; then
      files+="${files:+, }{ \"path\": \"in/$name\", \"name\": \"$name\", \"time\": 1429621132 }"
    else
      files+="${files:+, }{ \"path\": \"in/$extraction\", \"name\": \"$name\", \"extractionName\": \"$extraction\","
      files+=" \"packer\": \"$packer\", \"time\": 1429621132 }"
    fi
    total_mib=$((total_mib + mib))
  done
  manifest=$(cat <<JSON
{ "commandLine": "/sfx", "sfxName": "bench", "installer": { "path": "child.exe", "packer": "lzma" },
  "files": [ $files ],
  "signature": { "type": 5, "key": "$key" } }
JSON
)
  local key_of_inputs
  key_of_inputs=$( { sha256sum "$stub" "$child" "$sfxpack" "$inputs" "$key" | cut -d' ' -f1
                     printf '%s\n' "${lines[@]}" "$manifest"; } | sha256sum | cut -c1-16)
  cache=$base/$1-installer-$key_of_inputs
}

# Packs the installer, takes it back apart with sfxpack and writes down each reference tool's
# step in refs.txt (tool, its input, what it gives back, the payload's size); every step must
# give back the very payload before the cache is kept. Stored entries are copied out of the
# installer itself, at their offsets.
make_installer() {  # make_installer NAME
  local staging name extraction packer mib seed child_mib child_seed offset size
  mkdir -p "$base"
  rm -rf "$base/$1"-installer-* "$base"/staging.*
  staging=$(mktemp -d "$base/staging.XXXXXX")
  mkdir "$staging/in"
  for entry in "${entries[@]}"; do
    read -r name extraction packer mib seed <<<"$entry"
    [ "$extraction" = - ] && extraction=$name
    "$inputs" sample $((mib << 20)) "$seed" "$staging/in/$extraction"
  done
  local -n lines=shape_$1
  read -r _ child_mib child_seed <<<"${lines[0]}"
  cp "$child" "$staging/child.exe"
  if [ "$child_mib" -gt 0 ]; then  # data after the image: the child still runs
    "$inputs" sample $((child_mib << 20)) "$child_seed" "$staging/child.data"
    cat "$staging/child.data" >>"$staging/child.exe"
  fi
  echo "$manifest" >"$staging/manifest.json"
  echo "bench_stub.sh: packing $total_mib MiB into the $1 installer (once per stub, child and sfxpack build; minutes)"
  "$sfxpack" build "$staging/manifest.json" -o "$staging/setup.exe" --stub "$stub" >/dev/null
  "$sfxpack" extract "$staging/setup.exe" "$staging/out" >/dev/null
  "$sfxpack" inspect "$staging/setup.exe" --json >"$staging/inspect.json"
  for entry in "${entries[@]}"; do
    read -r name extraction packer mib seed <<<"$entry"
    if [ "$extraction" = - ]; then
      local payload=$staging/in/$name
      offset=$(json_field "$staging/inspect.json" "[f['offset'] for f in d['files'] if f['name'] == '$name'][0]")
      size=$(stat -c %s "$payload")
      gives_back "$payload" cat "$staging/out/$name"
      gives_back "$payload" copy_out "$staging/setup.exe" "$offset" "$size" /dev/stdout
      echo "copy $name $size $size $offset" >>"$staging/refs.txt"
      continue
    fi
    local payload=$staging/in/$extraction container=$staging/$extraction.gz
    [ "$packer" = zlib ] || container=$staging/$extraction.lzma
    "$inputs" container "$staging/out/$name" "$container"
    gives_back "$payload" cat "$staging/out/$extraction"
    if [ "$packer" = zlib ]; then gives_back "$payload" gzip -dc "$container"
    else gives_back "$payload" 7zz e -so -tlzma "$container"; fi
    echo "$packer $extraction $(stat -c %s "$staging/out/$name") $(stat -c %s "$payload")" >>"$staging/refs.txt"
  done
  gives_back "$staging/child.exe" cat "$staging/out/instup.exe"
  if [ "$child_mib" -gt 0 ]; then  # the installer's own package, cut out of the installer
    offset=$(json_field "$staging/inspect.json" "d['installer']['offset']")
    size=$(json_field "$staging/inspect.json" "d['installer']['size']")
    copy_out "$staging/setup.exe" "$offset" "$size" "$staging/instup.pkg"
    "$inputs" container "$staging/instup.pkg" "$staging/instup.exe.lzma"
    gives_back "$staging/child.exe" 7zz e -so -tlzma "$staging/instup.exe.lzma"
    echo "lzma instup.exe $size $(stat -c %s "$staging/child.exe")" >>"$staging/refs.txt"
  fi
  rm -rf "$staging/in" "$staging/out" "$staging/child.exe" "$staging/child.data" "$staging/instup.pkg"
  mv "$staging" "$cache"
}

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

# Wine starting a program and what it takes: the child alone, once for every shape.
start_times=() wine_peak=0
for _ in $(seq "$runs"); do
  out=$(launch "$(windows_path "$child")")
  start_times+=("$(us "$(value child_start_ms "$out")")")
  p=$(value peak_working_set "$out")
  [ "${p:-0}" -gt "$wine_peak" ] && wine_peak=$p
done

echo "$(nproc) cores, $(wine --version), $(openssl version | cut -d' ' -f1-2)," \
  "7-Zip $(7zz | sed -n 's/^7-Zip (z) \([^ ]*\).*/\1/p'), load $(cut -d' ' -f1 /proc/loadavg)"

# One shape: the stub's runs, then the tools' on the same installer, then the verdicts.
bench_shape() {  # bench_shape NAME
  describe_shape "$1"
  [ -f "$cache/refs.txt" ] || make_installer "$1"
  local setup out p t kind name packed unpacked offset
  setup=$(windows_path "$cache/setup.exe")
  launch "$setup" /silent >/dev/null  # warm-up: page cache, the prefix's first start
  local stub_times=() exit_times=() peak=0 peak_reads=""
  for _ in $(seq "$runs"); do
    out=$(launch "$setup" /silent)
    stub_times+=("$(us "$(value child_start_ms "$out")")")
    exit_times+=("$(us "$(value exit_ms "$out")")")
    p=$(value peak_working_set "$out")
    [ -n "$p" ] || { echo "bench_stub.sh: no reading of the stub's working set:" >&2; echo "$out" >&2; exit 1; }
    [ "$p" -gt "$peak" ] && peak=$p
    peak_reads+=" $(value peak_read "$out")"
  done

  local rows=() tools_sum=0 largest="" largest_unpacked=0 installer_size openssl_us verify_us
  installer_size=$(stat -c %s "$cache/setup.exe")
  t=$(best_us openssl dgst -sha256 "$cache/setup.exe")
  rows+=("openssl dgst -sha256 setup.exe|$t|$installer_size") tools_sum=$((tools_sum + t)) openssl_us=$t
  verify_us=$(best_us "$sfxpack" verify "$cache/setup.exe")
  while read -r kind name packed unpacked offset; do
    case $kind in
      zlib) t=$(best_us gunzip_to "$cache/$name.gz" "$name"); rows+=("gzip -d $name.gz|$t|$unpacked") ;;
      lzma) t=$(best_us 7zz e -tlzma -y "-o$reference" "$cache/$name.lzma"); rows+=("7zz e $name.lzma|$t|$unpacked") ;;
      copy) t=$(best_us copy_out "$cache/setup.exe" "$offset" "$packed" "$reference/$name")
            rows+=("dd (1 MiB blocks) $name out of setup.exe|$t|$unpacked") ;;
    esac
    tools_sum=$((tools_sum + t))
    if [ "$unpacked" -gt "$largest_unpacked" ]; then
      largest="$name $packed $unpacked" largest_unpacked=$unpacked
    fi
  done <"$cache/refs.txt"
  rm -rf "$reference"

  local largest_packed
  read -r _ largest_packed largest_unpacked <<<"$largest"
  echo
  echo "shape '$1': setup.exe /silent under Wine ($arch prefix), $total_mib MiB, ${#entries[@]} file entries" \
    "($(printf '%s; ' "${entries[@]}" | sed 's/; $//'));" "best of $runs runs after a warm-up"
  python3 - "$(best "${stub_times[@]}")" "$(median "${stub_times[@]}")" "$(median "${exit_times[@]}")" \
    "$(best "${start_times[@]}")" "$tools_sum" "$peak" "$largest_packed" "$largest_unpacked" "$wine_peak" \
    "$peak_reads" "$1" "${rows[@]}" <<'PY'
import sys
stub, stub_median, stub_exit, wine_start, tools, peak, packed, unpacked, wine_peak = (int(v) for v in sys.argv[1:10])
peak_reads, shape, rows = sys.argv[10].split(), sys.argv[11], sys.argv[12:]
mib = lambda n: n / 2**20
verdict = lambda ok: "met" if ok else "MISSED"
target = 1.0
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
print(f"[{shape}] time, stub / tools' sum: {ratio:.2f}, target <= {target}: {verdict(ratio <= target)}")
print(f"[{shape}] peak working set, worst run: {mib(peak):.1f} MiB, bound {mib(limit):.1f} (largest entry {mib(packed):.1f}"
      f" packed + {mib(unpacked):.1f} unpacked + 16; read at {reads}): {verdict(peak <= limit)}")
PY

  # The producer's check of the same installer, against openssl's digest of it. The check
  # unpacks the installer/updater too, so it is set beside the digest alone only where that is
  # small.
  if grep -q '^lzma instup.exe ' "$cache/refs.txt"; then
    echo "[$1] sfxpack verify setup.exe: $((verify_us / 1000)) ms; it unpacks the large installer/updater" \
      "too, so it has no target against openssl dgst -sha256 alone"
    return
  fi
  python3 - "$verify_us" "$openssl_us" "$1" <<'PY'
import sys
verify, openssl = (int(v) for v in sys.argv[1:3])
ratio = verify / openssl
print(f"[{sys.argv[3]}] sfxpack verify setup.exe: {verify / 1000:.1f} ms, against openssl dgst -sha256 {openssl / 1000:.1f} ms:"
      f" {ratio:.2f}, target <= 1.1: {'met' if ratio <= 1.1 else 'MISSED'}")
PY
}

for shape in ${SFX_BENCH_SHAPES:-packages stored}; do
  declare -p "shape_$shape" >/dev/null 2>&1 || { echo "bench_stub.sh: no shape '$shape'" >&2; exit 2; }
  bench_shape "$shape"
done
