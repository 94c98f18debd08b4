#!/usr/bin/env bash
# Every benchmark, each against its reference tool in the same run, each figure printed with its
# target and "met" or "MISSED": the packers against gzip, xz and 7-Zip, the signature digests
# against openssl, sfxpack's build against sha256sum and cp with the peak memory of its
# commands, sfxpack serve against nginx and one stamp against tag, the whole stub under Wine
# against openssl, 7-Zip and gzip together, and the stub's size. `make bench` builds the bench
# preset and the win32 stub first.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
status=0
for script in bench_packers.sh bench_digests.sh bench_sfxpack.sh bench_serve.sh bench_stub.sh bench_size.sh; do
  echo "== $script"
  bash "$top/tools/$script" || status=1
done
exit $status
