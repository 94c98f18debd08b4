#!/usr/bin/env bash
# Runs every test: the host suite (sanitized), the fuzz targets for a bounded time, then the
# Windows suites of the shipped 32-bit build under Wine, in a 64-bit (WOW64) and a 32-bit
# prefix. Where the kernel runs no 32-bit programs, those run through qemu-i386
# (tools/wine-cpu.sh), except the few whose point is a CPU fault's exact code: an emulated CPU
# reports faults with other codes, so there those run only natively from the 64-bit build. That
# build's run of them happens on every machine, so the route the emulated machines rely on is
# exercised everywhere. Each suite runs even when an earlier one fails; the exit code is non-zero
# when anything failed, and the summary says where each Windows suite ran.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

status=0
passed=0
failed=0
where=()
summarise() {  # adds up CTest's "N% tests passed, F tests failed out of T"
  local line f t
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n1)
  if [ -z "$line" ]; then
    # No summary: CTest ran nothing or died. That is a failure, never a quiet pass.
    echo "== $2: CTest printed no summary"
    failed=$((failed + 1)); status=1
    return
  fi
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + t - f)); failed=$((failed + f))
  where+=("$2: $((t - f)) of $t passed")
}

suite() {  # suite NAME DESCRIPTION PRESET [CTEST ARGS...]
  local name=$1 description=$2 preset=$3 log
  shift 3
  echo "== $name: $description"
  log=$(mktemp)
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  summarise "$log" "$name ($description)"
  rm -f "$log"
}

cpu=$(bash tools/wine-cpu.sh)
suite host "native, sanitizers" host
suite fuzz "native, libFuzzer" fuzz
if [ "$cpu" = native ]; then
  suite win32 "32-bit build under Wine, native CPU" win32
else
  suite win32 "32-bit build under Wine through qemu-i386" win32 -LE native-cpu
fi
# Natively and in prefixes no emulator has touched: Wine's dbghelp writes no dump in a prefix
# made or used through the emulator ("failed to initialize process").
SFX_WINE_CPU=native suite win64-native-cpu "64-bit build under Wine, native CPU: fault codes, own memory" win64 -L native-cpu

echo "== where the suites ran"
for line in "${where[@]}"; do echo "   $line"; done
echo "all: $passed passed, $failed failed"
exit $status
