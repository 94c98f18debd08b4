#!/usr/bin/env bash
# Unpacking speed of the packers against gzip, xz and 7-Zip on the same 64 MiB of data and
# the same packed streams, each tool reading them in its own container. Builds nothing:
# run `cmake --preset bench && cmake --build --preset bench` first.
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
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

gzip_ms=$(best_ms gzip -dc "$work/sample.gz")
xz_ms=$(best_ms xz --format=lzma -dc "$work/sample.lzma")
sevenzip_ms=$(best_ms 7zz e -so -tlzma "$work/sample.lzma")

python3 - "$work/bench.json" "$gzip_ms" "$xz_ms" "$sevenzip_ms" <<'PY'
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
PY
