#!/usr/bin/env bash
# Runs every test: the host suite (sanitized), the fuzz targets for a bounded time, then the
# Windows suite under Wine. Each runs even when an earlier one fails; the exit code is non-zero
# when anything failed. Where the kernel runs no 32-bit programs, the 32-bit build's Wine tests
# cannot start: its other checks run, and the Windows suite runs from the 64-bit build.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

status=0
passed=0
failed=0
summarise() {  # adds up CTest's "N% tests passed, F tests failed out of T"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n1)
  if [ -n "$line" ]; then
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f)); failed=$((failed + f))
  fi
}

windows=$(bash tools/windows-preset.sh)
runs=(host fuzz win32)
if [ "$windows" != win32 ]; then
  echo "== this kernel runs no 32-bit programs: Wine tests run from the $windows build"
  runs+=("$windows")
fi
for preset in "${runs[@]}"; do
  echo "== $preset tests"
  log=$(mktemp)
  filter=()
  [ "$preset" = win32 ] && [ "$windows" != win32 ] && filter=(-LE wine)
  ctest --preset "$preset" "${filter[@]}" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  summarise "$log"
  rm -f "$log"
done

echo "all: $passed passed, $failed failed"
exit $status
