#!/usr/bin/env bash
# Every benchmark, each against its reference tool in the same run: the packers against gzip,
# xz and 7-Zip, the signature digests against openssl, the whole stub under Wine against
# openssl, 7-Zip and gzip together. `make bench` builds the bench preset and the win32 stub first.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
status=0
for script in bench_packers.sh bench_digests.sh bench_stub.sh; do
  echo "== $script"
  bash "$top/tools/$script" || status=1
done
exit $status
