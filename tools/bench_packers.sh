#!/usr/bin/env bash
# Unpacking speed of the packers against gzip, xz and 7-Zip on the same 64 MiB of data and
# the same packed streams, each tool reading them in its own container; then packing speed of
# the same data against the same tools at the same settings, and the packers' peak memory.
# Builds nothing: run `cmake --preset bench && cmake --build --preset bench` first.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bench="$top/build/bench/packers/packers_bench"
runs=${RUNS:-5}
if [ ! -x "$bench" ]; then
  echo "bench_packers.sh: $bench is missing; build the bench preset first" >&2
  exit 2
fi
for tool in gzip xz 7zz python3; do
  command -v "$tool" >/dev/null || { echo "bench_packers.sh: $tool is missing (tools/setup.sh installs it)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench" --export "$work" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=false \
  --benchmark_out="$work/bench.json" --benchmark_out_format=json

# The reference tools must give back the payload before their times mean anything.
gzip -dc "$work/sample.gz" | cmp -s - "$work/sample.bin" || { echo "gzip does not read sample.gz" >&2; exit 1; }
xz --format=lzma -dc "$work/sample.lzma" | cmp -s - "$work/sample.bin" || { echo "xz does not read sample.lzma" >&2; exit 1; }
7zz e -so -tlzma "$work/sample.lzma" 2>/dev/null | cmp -s - "$work/sample.bin" || { echo "7zz does not read sample.lzma" >&2; exit 1; }

best_ms() {  # the fastest of $runs wall-clock runs of a command, output discarded
  local best="" start end ms
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo "bench_packers.sh: $* failed" >&2; exit 1; }
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

# Packing. 7zz writes no bare .lzma stream, so it packs into a 7z archive with our settings
# (level 5's: dictionary 16 MiB, fb 32, bt4 match finder, lc 3, lp 0, pb 2) and two threads;
# xz packs the .lzma form at the same settings in one thread, which is all it has for it.
sevenzip_pack() {
  rm -f "$work/ref.7z"
  7zz a -t7z -m0=LZMA:d=16m:fb=32:mf=bt4:lc=3:lp=0:pb=2 -mmt2 -mhc=off "$work/ref.7z" "$work/sample.bin"
}
xz_pack() { xz --format=lzma --lzma1=preset=5,dict=16MiB,lc=3,lp=0,pb=2,nice=32,mf=bt4 -T1 -c "$work/sample.bin"; }
ours_pack() { "$bench" --pack "$1" "$work/sample.bin" "$work/packed.$2"; }
peak_kib() {  # what our packer of kind $1 took at its peak, in KiB, checked against the tools
  ours_pack "$1" "$2" | sed -n 's/.*packer peak \([0-9]*\) KiB$/\1/p'
}
lzma_peak=$(peak_kib lzma lzma)
zlib_peak=$(peak_kib zlib gz)
[ -n "$lzma_peak" ] && [ -n "$zlib_peak" ] || { echo "packers_bench --pack printed no peak" >&2; exit 1; }
xz --format=lzma -dc "$work/packed.lzma" | cmp -s - "$work/sample.bin" || { echo "xz does not read our packed .lzma" >&2; exit 1; }
7zz e -so -tlzma "$work/packed.lzma" 2>/dev/null | cmp -s - "$work/sample.bin" || { echo "7zz does not read our packed .lzma" >&2; exit 1; }
gzip -dc "$work/packed.gz" | cmp -s - "$work/sample.bin" || { echo "gzip does not read our packed .gz" >&2; exit 1; }
ours_lzma_pack_ms=$(best_ms ours_pack lzma lzma)
sevenzip_pack_ms=$(best_ms sevenzip_pack)
xz_pack_ms=$(best_ms xz_pack)
ours_zlib_pack_ms=$(best_ms ours_pack zlib gz)
gzip_pack_ms=$(best_ms gzip -9 -c "$work/sample.bin")
sizes="$(stat -c %s "$work/packed.lzma" "$work/ref.7z" "$work/packed.gz") $(gzip -9 -c "$work/sample.bin" | wc -c)"

gzip_ms=$(best_ms gzip -dc "$work/sample.gz")
xz_ms=$(best_ms xz --format=lzma -dc "$work/sample.lzma")
sevenzip_ms=$(best_ms 7zz e -so -tlzma "$work/sample.lzma")

python3 - "$work/bench.json" "$gzip_ms" "$xz_ms" "$sevenzip_ms" "$ours_lzma_pack_ms" "$sevenzip_pack_ms" \
  "$xz_pack_ms" "$ours_zlib_pack_ms" "$gzip_pack_ms" "$lzma_peak" "$zlib_peak" $sizes <<'PY'
import json, sys
# The fastest repetition of each benchmark, as the tools get the fastest of their runs.
best = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "iteration":
        name = b["run_name"]
        best[name] = min(best.get(name, float("inf")), b["real_time"])
zlib, lzma = best["BM_UnpackZlib/real_time"], best["BM_UnpackLzma/real_time"]
gzip, xz, sevenzip = (float(v) for v in sys.argv[2:5])
mib = 64.0
print()
print(f"{'unpacking 64 MiB':34} {'ms':>8} {'MiB/s':>8} {'tool / ours':>12}")
rows = [("zlib package (LoadFilePackage)", zlib, None), ("gzip -d", gzip, zlib),
        ("LZMA package (LoadFilePackage)", lzma, None), ("xz -d (.lzma)", xz, lzma),
        ("7zz e (.lzma)", sevenzip, lzma)]
for name, ms, ours in rows:
    ratio = f"{ms / ours:.2f}" if ours else ""
    print(f"{name:34} {ms:8.0f} {mib / ms * 1000:8.1f} {ratio:>12}")
verdict = lambda ok: "met" if ok else "MISSED"
print(f"zlib against gzip -d: {gzip / zlib:.2f}, target >= 1.0: {verdict(gzip / zlib >= 1.0)}")
print(f"LZMA against 7zz: {sevenzip / lzma:.2f}, target >= 0.9: {verdict(sevenzip / lzma >= 0.9)}")

ours_lzma, sevenzip_pack, xz_pack, ours_zlib, gzip_pack = (float(v) for v in sys.argv[5:10])
lzma_peak, zlib_peak = (int(v) for v in sys.argv[10:12])
size_lzma, size_7z, size_gz, size_gzip = (int(v) for v in sys.argv[12:16])
print()
print(f"{'packing 64 MiB':34} {'ms':>8} {'MiB/s':>8} {'bytes':>10} {'tool / ours':>12}")
rows = [("LZMA (--pack lzma, 2 threads)", ours_lzma, None, size_lzma),
        ("7zz a -t7z LZMA -mmt2", sevenzip_pack, ours_lzma, size_7z),
        ("xz --format=lzma -T1", xz_pack, ours_lzma, None),
        ("zlib (--pack zlib)", ours_zlib, None, size_gz), ("gzip -9", gzip_pack, ours_zlib, size_gzip)]
for name, ms, ours, size in rows:
    ratio = f"{ms / ours:.2f}" if ours else ""
    print(f"{name:34} {ms:8.0f} {mib / ms * 1000:8.1f} {size or '':>10} {ratio:>12}")
print(f"LZMA packing against 7zz -mmt2: {sevenzip_pack / ours_lzma:.2f}, target >= 1.0: "
      f"{verdict(sevenzip_pack / ours_lzma >= 1.0)}")
print(f"zlib packing against gzip -9: {gzip_pack / ours_zlib:.2f}, target >= 1.0: {verdict(gzip_pack / ours_zlib >= 1.0)}")
# The LZMA encoder's own state at a 16 MiB dictionary: hash heads (2 x dictionary), the binary
# tree's two links per position (8 x), the two-thread match finder's blocks and the encoder's
# tables (a few MiB), each table resident in whole 2 MiB pages since the packer asks for huge
# pages. zlib's deflate state is a few hundred KiB.
lzma_bound, zlib_bound = (10 * 16 + 12) * 1024, 1024
print(f"LZMA packer peak: {lzma_peak} KiB, bound {lzma_bound} KiB: {verdict(lzma_peak <= lzma_bound)}")
print(f"zlib packer peak: {zlib_peak} KiB, bound {zlib_bound} KiB: {verdict(zlib_peak <= zlib_bound)}")
PY
