#!/usr/bin/env bash
# Runs every fuzz target of the fuzz build for a long while (SFX_SOAK_SECONDS, 600 by default),
# two at a time, each from its committed seeds plus a scratch corpus of its own. Not part of
# `make test`. Each target prints its seed; a failing input is kept under build/fuzz-soak/.
# The exit code is non-zero when any target found something.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${SFX_SOAK_SECONDS:-600}
out="$top/build/fuzz-soak"
mkdir -p "$out"

# name and committed corpus of each target, as the fuzz build registered them
mapfile -t targets < <(ctest --test-dir "$top/build/fuzz" -L fuzz --show-only=json-v1 |
  python3 -c 'import json,sys
for t in json.load(sys.stdin)["tests"]:
    print(t["command"][0], t["command"][-1])')
[ ${#targets[@]} -gt 0 ] || { echo "fuzz-soak: the fuzz build has no targets" >&2; exit 1; }

soak() {  # soak BINARY CORPUS
  local name
  name=$(basename "$1")
  mkdir -p "$out/$name.corpus"
  "$1" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    "-artifact_prefix=$out/$name-" "$out/$name.corpus" "$2" >"$out/$name.log" 2>&1
  local status=$?
  local seed runs cov
  seed=$(sed -n 's/^INFO: Seed: //p' "$out/$name.log" | head -n1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$name.log")
  cov=$(grep -oE 'cov: [0-9]+' "$out/$name.log" | tail -n1)
  if [ $status -eq 0 ]; then
    echo "fuzz-soak: $name: nothing found in ${seconds} s (seed $seed, $runs runs, $cov)"
  else
    echo "fuzz-soak: $name: FOUND something (exit $status, seed $seed); see $out/$name.log"
    tail -n 30 "$out/$name.log"
  fi
  return $status
}

status=0
pids=()
for target in "${targets[@]}"; do
  read -r binary corpus <<<"$target"
  soak "$binary" "$corpus" &
  pids+=($!)
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
