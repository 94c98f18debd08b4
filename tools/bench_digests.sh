#!/usr/bin/env bash
# bench_digests.sh: the signature check's MD5 and SHA-256 (signature/digest_bench) beside
# `openssl dgst -md5` and `openssl dgst -sha256` on the same 64 MiB file in the same run, with
# the ratio of the throughputs; then the same digests as the 32-bit stub computes them, under
# Wine (signature/digest_speed.exe of the win32 build). Needs the bench preset built:
#   cmake --preset bench && cmake --build --preset bench --target digest_bench
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bench=${DIGEST_BENCH:-$top/build/bench/signature/digest_bench}
[ -x "$bench" ] || { echo "bench_digests: $bench is missing; build the bench preset first" >&2; exit 2; }
command -v openssl >/dev/null || { echo "bench_digests: openssl is missing" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
content=$work/content.bin
head -c $((64 << 20)) /dev/urandom >"$content"
mib=64

# Best of five runs of openssl, in MiB/s of CPU time (user + system, start-up and reading
# included), since Google Benchmark rates our digests by CPU time too and the machine may be
# shared: wall-clock time would measure the neighbours.
openssl_rate() {
  python3 - "$1" "$content" "$mib" <<'PY'
import resource, subprocess, sys
digest, content, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
def cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
best = None
for run in range(6):
    before = cpu()
    subprocess.run(["openssl", "dgst", "-" + digest, content], check=True, stdout=subprocess.DEVNULL)
    spent = cpu() - before
    if run > 0 and (best is None or spent < best):  # the first run only warms the page cache
        best = spent
print(mib / best)
PY
}

DIGEST_BENCH_FILE=$content "$bench" --benchmark_format=json --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true >"$work/ours.json"
ours_rate() {  # the median of our repetitions, in MiB/s
  python3 -c '
import json, sys
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b["name"] == sys.argv[2] + "_median":
        print(b["bytes_per_second"] / 2**20)' "$work/ours.json" "$1"
}

md5_openssl=$(openssl_rate md5)
sha_openssl=$(openssl_rate sha256)
md5_ours=$(ours_rate BM_Md5)
sha_ours=$(ours_rate BM_Sha256)
text_ours=$(ours_rate BM_Md5Text)

echo "64 MiB, CPU time, $(nproc) cores, $(openssl version | cut -d' ' -f1-2), load $(cut -d' ' -f1 /proc/loadavg)"
printf '%-22s %12s %14s %14s\n' digest "ours MiB/s" "openssl MiB/s" "ours/openssl"
row() { printf '%-22s %12.0f %14s %14s\n' "$1" "$2" "$3" "$4"; }
ratio() { python3 -c "print('%.2f' % ($1 / $2))"; }
row md5 "$md5_ours" "$(printf '%.0f' "$md5_openssl")" "$(ratio "$md5_ours" "$md5_openssl")"
row sha256-pe-checksum-0 "$sha_ours" "$(printf '%.0f' "$sha_openssl")" "$(ratio "$sha_ours" "$sha_openssl")"
row md5-text-bytes-only "$text_ours" "-" "$(ratio "$text_ours" "$md5_openssl") (vs md5)"
target() {  # target NAME OURS THEIRS: the throughput ratio against its floor of 0.9
  python3 -c "r = $2 / $3; print('%s against openssl: %.2f, target >= 0.9: %s' % ('$1', r, 'met' if r >= 0.9 else 'MISSED'))"
}
target "MD5 (host)" "$md5_ours" "$md5_openssl"
target "SHA-256 (host)" "$sha_ours" "$sha_openssl"

# The stub's own code: 32-bit, with the CPU's SHA extensions found at run time. Timed natively
# only: through an emulator it would measure the emulator.
speed=$top/build/win32/signature/digest_speed.exe
if [ "$(bash "$top/tools/wine-cpu.sh")" != native ]; then
  echo "32-bit stub digests: SKIPPED, this kernel runs 32-bit programs only through an emulator"
  exit 0
fi
[ -f "$speed" ] || { echo "bench_digests: $speed is missing; build the win32 preset first" >&2; exit 2; }
rates=$(bash "$top/tools/wine-run.sh" --prefix "$top/build/bench/wine" --arch win64 "$speed" "Z:${content//\//\\}" | tr -d "\r")
stub_rate() { awk -v name="$1" '$1 == name { print $2 }' <<<"$rates"; }
echo "the same in the 32-bit stub under Wine (best of 5, wall-clock)"
row md5-stub "$(stub_rate md5)" "$(printf '%.0f' "$md5_openssl")" "$(ratio "$(stub_rate md5)" "$md5_openssl")"
row sha256-stub "$(stub_rate sha256)" "$(printf '%.0f' "$sha_openssl")" "$(ratio "$(stub_rate sha256)" "$sha_openssl")"
target "MD5 (32-bit stub)" "$(stub_rate md5)" "$md5_openssl"
target "SHA-256 (32-bit stub)" "$(stub_rate sha256)" "$sha_openssl"
