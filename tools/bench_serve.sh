#!/usr/bin/env bash
# bench_serve.sh: `sfxpack serve` stamping every request with its own ERID, against nginx sending
# the same installer unstamped as a static file, in the same run, on loopback, measured by wrk:
# requests and MiB per second at 8 and at 64 connections, for a 1 MiB and a 64 MiB installer
# (target: at least 0.9 x nginx's throughput, in MiB/s); the peak memory of serve at 64
# connections against its bound; and one stamp of a 300 MiB installer (the per-request work
# besides sending, sfxpack/stamp_bench) against `sfxpack tag` of it (target: under 1 ms).
#
# Both servers get two worker threads (the machine's two cores), keep connections open, send the
# file with sendfile and log every request to a file; wrk sends both the same requests, each with
# its own ERID (nginx ignores the query), from two threads on the same cores. Both listen on
# 127.0.0.1 only, on ports the system chose, and are stopped when the script ends.
#
# Its own set-up: wrk is installed from Debian when missing. nginx is Debian's (nginx-light in
# bookworm is a metapackage of the package nginx): its package is fetched and unpacked under
# build/bench/serve-tools, never installed, so no service starts on the machine.
# Builds nothing: `make bench` builds the bench preset's sfxpack and stamp_bench. The installers
# are cached under build/bench/serve-bench, keyed by their recipe. RUNS (3) runs of each; the
# best (by MiB/s) is compared. SERVE_BENCH_SECONDS (5) is each wrk run's length for the 1 MiB installer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-3}
seconds=${SERVE_BENCH_SECONDS:-5}
sfxpack=$top/build/bench/sfxpack/sfxpack
stamp_bench=$top/build/bench/sfxpack/stamp_bench
for program in "$sfxpack" "$stamp_bench"; do
  [ -x "$program" ] || { echo "bench_serve.sh: $program is missing; run \`make bench\`" >&2; exit 2; }
done
for tool in python3 osslsigncode apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "bench_serve.sh: $tool is missing (tools/setup.sh installs it)" >&2; exit 2; }
done

# --- wrk and nginx ---------------------------------------------------------------------------
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
if ! command -v wrk >/dev/null; then
  echo "bench_serve.sh: installing wrk from Debian"
  as_root apt-get install -y -qq --no-install-recommends wrk >/dev/null 2>&1 ||
    { as_root apt-get update -qq && as_root apt-get install -y -qq --no-install-recommends wrk >/dev/null; }
fi
tools=$top/build/bench/serve-tools
nginx=$tools/nginx/usr/sbin/nginx
if ! "$nginx" -v >/dev/null 2>&1; then
  echo "bench_serve.sh: unpacking Debian's nginx under $tools (not installed)"
  fetch=$(mktemp -d)
  ( cd "$fetch" && apt-get download -qq nginx ) || { echo "bench_serve.sh: apt-get download nginx failed" >&2; exit 2; }
  rm -rf "$tools/nginx" && mkdir -p "$tools/nginx"
  dpkg-deb -x "$fetch"/nginx_*.deb "$tools/nginx"
  rm -rf "$fetch"
  "$nginx" -v >/dev/null 2>&1 || { echo "bench_serve.sh: the unpacked nginx does not run" >&2; exit 2; }
fi

# --- the installers --------------------------------------------------------------------------
recipe="entries: 1, 64, 300 MiB from python random.Random(size); stand_in_stub.py; --cert, time 0; key5"
base=$top/build/bench/serve-bench
key=$( { echo "$recipe"; sha256sum "$top/sfxpack/stand_in_stub.py" "$top/keys/test/key5.pem" \
           "$top/keys/test/codesign.pem" | cut -d' ' -f1; } | sha256sum | cut -c1-16)
cache=$base/inputs-$key
make_inputs() {
  local staging keys=$top/keys/test size
  mkdir -p "$base"
  rm -rf "$base"/inputs-* "$base"/staging.*
  staging=$(mktemp -d "$base/staging.XXXXXX")
  echo "bench_serve.sh: building the 1, 64 and 300 MiB installers (once per recipe)"
  python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$staging/stub.exe"
  python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$staging/installer.exe" --no-table
  for size in 1 64 300; do
    python3 - "$staging/entry.bin" "$size" <<'PY'
import random, sys
r = random.Random(int(sys.argv[2]))
with open(sys.argv[1], "wb") as out:
    for _ in range(int(sys.argv[2])):
        out.write(r.randbytes(1 << 20))
PY
    printf '{ "installer": { "path": "installer.exe", "packer": "zlib" }, "files": [ { "path": "entry.bin", "time": 0 } ],
  "signature": { "type": 5, "key": "%s" } }\n' "$keys/key5.pem" >"$staging/manifest.json"
    "$sfxpack" build "$staging/manifest.json" -o "$staging/setup-$size.exe" --stub "$staging/stub.exe" \
      --cert "$keys/codesign.pem" --cert-key "$keys/codesign.key.pem" --signing-time 0 -q >/dev/null
  done
  rm -f "$staging/entry.bin"
  mv "$staging" "$cache"
}
[ -f "$cache/setup-300.exe" ] || make_inputs

work=$(mktemp -d "$base/run.XXXXXX")
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/nginx-temp"
ln "$cache/setup-1.exe" "$work/www/setup-1.exe"
ln "$cache/setup-64.exe" "$work/www/setup-64.exe"

# --- the servers -----------------------------------------------------------------------------
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
nginx_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 2;
pid $work/nginx.pid;
$([ "$(id -u)" -eq 0 ] && echo "user root;")
events { worker_connections 1024; }
http {
  access_log $work/nginx-access.log;
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_requests 100000000;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx-temp/body;
  proxy_temp_path $work/nginx-temp/proxy;
  fastcgi_temp_path $work/nginx-temp/fastcgi;
  uwsgi_temp_path $work/nginx-temp/uwsgi;
  scgi_temp_path $work/nginx-temp/scgi;
  server { listen 127.0.0.1:$nginx_port; root $work/www; }
}
CONF
"$nginx" -p "$work" -e "$work/nginx-error.log" -c "$work/nginx.conf" &
pids+=($!)
"$sfxpack" serve "$work/www" --listen 127.0.0.1:0 --threads 2 >"$work/serve-access.log" 2>"$work/serve.err" &
serve_pid=$!
pids+=("$serve_pid")
serve_port=
for _ in $(seq 600); do
  serve_port=$(sed -n 's/^sfxpack serve: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/serve.err")
  [ -n "$serve_port" ] && python3 -c "import socket; socket.create_connection(('127.0.0.1', $nginx_port), 1)" 2>/dev/null &&
    break
  sleep 0.1
done
[ -n "$serve_port" ] || { echo "bench_serve.sh: sfxpack serve did not start" >&2; cat "$work/serve.err" >&2; exit 1; }
grep -q 'setup-64.exe: served' "$work/serve.err" || { echo "bench_serve.sh: serve refused a base" >&2; cat "$work/serve.err" >&2; exit 1; }

# Every request its own ERID: the thread's number and its count.
cat >"$work/erid.lua" <<'LUA'
threads = 0
function setup(thread)
  thread:set("id", threads)
  threads = threads + 1
end
function init(args)
  n = 0
end
function request()
  n = n + 1
  return wrk.format(nil, wrk.path .. "?ERID=rec-" .. id .. "-" .. n)
end
LUA

# rate PORT SIZE CONNECTIONS: "requests/s MiB/s" of one wrk run; fails on any error or non-2xx.
# MiB/s counts every byte wrk read, of responses it finished or not: at 64 connections a 64 MiB
# response takes seconds, and counting whole responses alone would measure when a run's end falls.
# Those runs take four times as long.
rate() {
  local length=$seconds
  [ "$2" -ge 64 ] && length=$((seconds * 4))
  wrk -t2 -c"$3" -d"${length}s" --timeout 120s -s "$work/erid.lua" "http://127.0.0.1:$1/setup-$2.exe" >"$work/wrk.txt"
  if grep -qE 'Non-2xx|Socket errors' "$work/wrk.txt"; then
    echo "bench_serve.sh: wrk saw errors:" >&2; cat "$work/wrk.txt" >&2; return 1
  fi
  python3 - "$work/wrk.txt" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
rps = float(re.search(r"Requests/sec:\s*([0-9.]+)", text)[1])
value, unit = re.search(r"Transfer/sec:\s*([0-9.]+)([KMGT]?B)", text).groups()
scale = {"B": 1, "KB": 2**10, "MB": 2**20, "GB": 2**30, "TB": 2**40}[unit]
print(f"{rps} {float(value) * scale / 2**20}")
PY
}
rss_kib() { sed -n "s/^$1:[[:space:]]*\([0-9]*\) kB$/\1/p" "/proc/$serve_pid/status"; }
idle_kib=$(rss_kib VmRSS)
# The peak resident size of serve during one run: the kernel's high-water mark, set back to the
# current size before it (clear_refs 5), read after it. Nothing samples while wrk runs.
peak_kib=0
peak_during() {
  echo 5 >"/proc/$serve_pid/clear_refs"
  "$@"
  local now
  now=$(rss_kib VmHWM)
  [ "$now" -gt "$peak_kib" ] && peak_kib=$now
  return 0
}

verdict() { if [ "$1" = 1 ]; then echo met; else echo MISSED; fi; }
echo "(best of $runs runs of ${seconds} s each, $((seconds * 4)) s for 64 MiB; $(nproc) cores, shared with wrk; load $(cut -d' ' -f1 /proc/loadavg))"
for size in 1 64; do
  bytes=$(stat -c %s "$work/www/setup-$size.exe")
  for connections in 8 64; do
    : >"$work/ours" && : >"$work/theirs"
    # The two take turns going first: a neighbour's load that comes and goes favours neither.
    for run in $(seq "$runs"); do
      if [ $((run % 2)) -eq 1 ]; then rate "$nginx_port" "$size" "$connections" >>"$work/theirs"; fi
      if [ "$connections" -eq 64 ]; then
        peak_during rate "$serve_port" "$size" "$connections" >>"$work/ours"
      else
        rate "$serve_port" "$size" "$connections" >>"$work/ours"
      fi
      if [ $((run % 2)) -eq 0 ]; then rate "$nginx_port" "$size" "$connections" >>"$work/theirs"; fi
    done
    python3 - "$size" "$connections" "$work/ours" "$work/theirs" <<'PY'
import sys
size, connections = sys.argv[1], sys.argv[2]
best = lambda path: max((tuple(map(float, line.split()))[::-1] for line in open(path)), default=(0, 0))[::-1]
(ours_rps, ours_mib), (theirs_rps, theirs_mib) = best(sys.argv[3]), best(sys.argv[4])
ratio = ours_mib / theirs_mib
print(f"{size} MiB installer, {connections} connections: serve, own ERID each: {ours_rps:.1f} req/s, {ours_mib:.0f} MiB/s |"
      f" nginx, static: {theirs_rps:.1f} req/s, {theirs_mib:.0f} MiB/s | ratio {ratio:.2f} | target >= 0.9 |"
      f" {'met' if ratio >= 0.9 else 'MISSED'}")
PY
  done
done

# The bound: what serve held before the load, and what each connection may hold at most
# (kConnectionBytes in sfxpack/download_request.h: two header buffers of 24 KiB, a stamp, a head).
peak=$peak_kib
bound=$((idle_kib + 64 * 66))
echo "peak memory of serve at 64 connections: $((peak / 1024)) MiB ($peak KiB) | bound: $idle_kib KiB before the load" \
  "+ 64 x 66 KiB = $bound KiB | target <= bound | $(verdict "$([ "$peak" -le "$bound" ] && echo 1 || echo 0)")"
grep -q '" 200 ' "$work/serve-access.log" || { echo "bench_serve.sh: serve logged no download" >&2; exit 1; }

# --- one stamp of the 300 MiB installer, against tag of it ------------------------------------
STAMP_BENCH_FILE=$cache/setup-300.exe "$stamp_bench" --benchmark_format=json --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true >"$work/stamp.json"
stamp_us=$(python3 -c '
import json, sys
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b["name"].endswith("_median"):
        print(b["real_time"])' "$work/stamp.json")
printf 'rec-7' >"$work/rid.bin"
for _ in $(seq "$runs"); do
  cp "$cache/setup-300.exe" "$work/tagged.exe"
  python3 - "$work/tag-seconds" "$sfxpack" tag "$work/tagged.exe" --item "ERID=$work/rid.bin" <<'PY'
import subprocess, sys, time
start = time.perf_counter()
subprocess.run(sys.argv[2:], check=True, stdout=subprocess.DEVNULL)
with open(sys.argv[1], "a") as out:
    out.write(f"{time.perf_counter() - start:.3f}\n")
PY
  rm -f "$work/tagged.exe"
done
tag_s=$(sort -n "$work/tag-seconds" | head -1)
python3 - "$stamp_us" "$tag_s" <<'PY'
import sys
stamp_us, tag_s = float(sys.argv[1]), float(sys.argv[2])
print(f"one download's stamp, 300 MiB installer (parse, tail block, checksum, ranges, ETag digest): {stamp_us:.1f} us |"
      f" sfxpack tag of it: {tag_s:.2f} s ({tag_s * 1e6 / stamp_us:.0f} x) | target < 1 ms |"
      f" {'met' if stamp_us < 1000 else 'MISSED'}")
PY
