#!/usr/bin/env bash
# sfxpack serve as a download site runs it, started and stopped here on 127.0.0.1 at a port the
# system picks: every byte of a download, whole or ranged, is what `sfxpack tag` writes for the
# same items (and osslsigncode accepts it); a URL never sets a business configuration or key;
# every bad request gets its status and one line of reason; entity tags and conditions work as
# resuming clients need them; parallel downloads each get their own items; a base replaced while
# it is downloaded finishes on the old file and the next download gets the new one; bases the
# stub would not read tags from are refused at the scan with the reason; one log line per
# request, in the common log format; SIGTERM ends it with 0.
set -uo pipefail
sfxpack=$(realpath "$1") top=$2 scratch=$3
rm -rf "$scratch" && mkdir -p "$scratch"
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
client() { python3 "$top/sfxpack/serve_client.py" "$@"; }
keys=$top/keys/test
for tool in osslsigncode python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (tools/setup.sh installs it)"; exit 1; }
done

# --- the bases: a code-signed installer made for tags, a second release of it, a large one ----
python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$scratch/stub.exe"
python3 "$top/sfxpack/stand_in_stub.py" "$keys" "$scratch/installer.exe" --no-table
cert=(--cert "$keys/codesign.pem" --cert-key "$keys/codesign.key.pem")
build() {  # build MANIFEST OUTPUT SIGNING-TIME
  "$sfxpack" build "$1" -o "$2" --stub "$scratch/stub.exe" --installer "$scratch/installer.exe" "${cert[@]}" \
    --signing-time "$3" -q >/dev/null
}
served=$scratch/served
mkdir -p "$served"
build "$top/example/manifest-tagged.json" "$served/setup.exe" 1429621132
build "$top/example/manifest-tagged.json" "$scratch/release2.exe" 1500000000
build "$top/example/manifest.json" "$served/embedded.exe" 1429621132
head -c $((24 << 20)) /dev/urandom >"$scratch/large.bin"
printf '{ "installer": { "path": "installer.exe" }, "files": [ { "path": "large.bin", "time": 0 } ],
  "signature": { "type": 5, "key": "%s" } }\n' "$keys/key5.pem" >"$scratch/large.json"
build "$scratch/large.json" "$served/large.exe" 1429621132
cp "$served/large.exe" "$scratch/large-old.exe"
build "$scratch/large.json" "$scratch/large-new.exe" 1500000000
ln -s "$served/setup.exe" "$served/link.exe"
cp "$served/setup.exe" "$scratch/setup-released.exe"

# tagged BASE OUT ITEM...: what `sfxpack tag` writes for the items (TAG=VALUE, in that order).
tagged() {
  local base=$1 out=$2 args=() i=0
  shift 2
  cp "$base" "$out"
  for item in "$@"; do
    printf '%s' "${item#*=}" >"$out.item$i"
    args+=(--item "${item%%=*}=$out.item$i")
    i=$((i + 1))
  done
  "$sfxpack" tag "$out" "${args[@]}" >/dev/null
}

# --- the server ------------------------------------------------------------------------------
# start NAME ARGS...: serve $served with ARGS; waits (bounded) for the line naming its port.
start() {
  local name=$1
  shift
  "$sfxpack" serve "$served" --listen 127.0.0.1:0 "$@" >"$scratch/$name.log" 2>"$scratch/$name.err" &
  pid=$!
  for _ in $(seq 600); do
    port=$(sed -n 's/^sfxpack serve: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$scratch/$name.err")
    [ -n "$port" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL: sfxpack serve did not start listening"; cat "$scratch/$name.err"; exit 1
}
# stop: SIGTERM, and its exit code in $stopped (the wait is bounded by the server's grace of 30 s).
stop() { kill -TERM "$pid"; wait "$pid"; stopped=$?; }
trap 'kill -KILL "$pid" 2>/dev/null' EXIT
start main --threads 2

# Each request made is counted in $scratch/made, to hold the log's lines against.
made() { printf '%*s' "$1" '' | tr ' ' '\n' >>"$scratch/made"; }
# get TARGET OUT [OPTIONS]: the status line and header fields into $scratch/head.txt.
get() { made 1; client fetch "$port" "$1" "$2" "${@:3}" >"$scratch/head.txt"; }
status_is() { [ "$(head -n1 "$scratch/head.txt")" = "$1" ]; }
field() { sed -n "s/^$1: //p" "$scratch/head.txt"; }

check "the scan serves setup.exe and names each refused base with the reason" \
  "grep -qx 'sfxpack serve: setup.exe: served, [0-9]* bytes' '$scratch/main.err' && \
   grep -q '^sfxpack serve: embedded.exe: not served: .*never reads a tail block' '$scratch/main.err' && \
   grep -qx 'sfxpack serve: link.exe: not served: not a regular file' '$scratch/main.err'"

# --- whole and ranged downloads are tag's bytes ----------------------------------------------
tagged "$served/setup.exe" "$scratch/expected.exe" ERID=recommendation-7 'EAPT=ticket 42/+&x'
check "GET with items: 200, every byte what tag writes for them, and osslsigncode accepts it" \
  "get '/setup.exe?ERID=recommendation-7&EAPT=ticket+42%2F%2B%26x' '$scratch/got.exe' && status_is 200 && \
   cmp '$scratch/got.exe' '$scratch/expected.exe' && [ \"\$(field Content-Length)\" = \$(stat -c %s '$scratch/expected.exe') ] && \
   osslsigncode verify -CAfile '$keys/codesign-ca.pem' -in '$scratch/got.exe' | grep -qx Succeeded"
check "GET without items: the base as released, its tail room zero-filled" \
  "get /setup.exe '$scratch/plain.exe' && status_is 200 && cmp '$scratch/plain.exe' '$scratch/setup-released.exe'"
etag=$(field ETag)
size=$(stat -c %s "$scratch/expected.exe")
# piece FIRST LAST: those bytes of the expected download.
piece() { tail -c +$(($1 + 1)) "$scratch/expected.exe" | head -c $(($2 - $1 + 1)); }
q='/setup.exe?ERID=recommendation-7&EAPT=ticket+42%2F%2B%26x'
for range in 0-99 100-$((size - 16385)) $((size - 16400))-$((size - 1)) 216-219 $((size - 1))-$((size + 5000)); do
  first=${range%-*} last=${range#*-}
  [ "$last" -ge "$size" ] && last=$((size - 1))
  check "Range bytes=$range: 206, Content-Range and exactly those bytes of tag's output" \
    "get '$q' '$scratch/part.bin' --header 'Range: bytes=$range' && status_is 206 && \
     [ \"\$(field Content-Range)\" = 'bytes $first-$last/$size' ] && cmp '$scratch/part.bin' <(piece $first $last)"
done
check "a suffix range: the last bytes, the tail block among them" \
  "get '$q' '$scratch/part.bin' --header 'Range: bytes=-20000' && status_is 206 && cmp '$scratch/part.bin' <(piece $((size - 20000)) $((size - 1)))"
check "a download resumed with If-Range and the ETag it began with gets the rest of the same file" \
  "get '$q' '$scratch/first.bin' --header 'Range: bytes=0-29999' && resume=\$(field ETag) && \
   get '$q' '$scratch/rest.bin' --header 'Range: bytes=30000-' --header \"If-Range: \$resume\" && status_is 206 && \
   cat '$scratch/first.bin' '$scratch/rest.bin' | cmp - '$scratch/expected.exe'"
check "HEAD: the GET's status and Content-Length, no body" \
  "get '$q' '$scratch/head-body.bin' --method HEAD && status_is 200 && [ \"\$(field Content-Length)\" = $size ] && \
   [ ! -s '$scratch/head-body.bin' ]"

# --- entity tags and conditions --------------------------------------------------------------
get "$q" "$scratch/x.bin"
etag_items=$(field ETag)
get '/setup.exe?EAPT=ticket+42%2F%2B%26x&ERID=recommendation-7' "$scratch/swapped.exe"
check "the ETag names the bytes: the same items give the same, other items or their order another" \
  "[ \"\$(field ETag)\" != '$etag_items' ] && get '$q' '$scratch/x.bin' && [ \"\$(field ETag)\" = '$etag_items' ] && \
   [ '$etag' != '$etag_items' ] && ! cmp -s '$scratch/swapped.exe' '$scratch/expected.exe'"
check "If-None-Match with the ETag: 304 without a body; with another: 200" \
  "get '$q' '$scratch/nm.bin' --header 'If-None-Match: \"x\", $etag_items' && status_is 304 && [ ! -s '$scratch/nm.bin' ] && \
   get '$q' '$scratch/nm.bin' --header 'If-None-Match: $etag' && status_is 200"
check "If-Range with another ETag: the whole file, 200" \
  "get '$q' '$scratch/ir.bin' --header 'Range: bytes=0-9' --header 'If-Range: $etag' && status_is 200 && \
   cmp '$scratch/ir.bin' '$scratch/expected.exe'"

# --- what is refused, with its status and reason ---------------------------------------------
# refused STATUS TEXT TARGET [OPTIONS]: the status, and a body of one line that gives TEXT.
refused() {
  get "$3" "$scratch/reason.txt" "${@:4}" && status_is "$1" && [ "$(wc -l <"$scratch/reason.txt")" -eq 1 ] &&
    grep -q -- "$2" "$scratch/reason.txt"
}
check "400: a URL never sets EBCF or EBPK" \
  "refused 400 'never sets EBCF' '/setup.exe?ERID=1&EBCF=x' && refused 400 'never sets EBPK' '/setup.exe?EBPK=x'"
check "400: an unknown tag, a tag given twice, a bad percent-encoding" \
  "refused 400 \"unknown tag 'ERIX'\" '/setup.exe?ERIX=1' && refused 400 'given twice' '/setup.exe?ERID=1&ERID=2' && \
   refused 400 'bad percent-encoding' '/setup.exe?ERID=%G1'"
long=$(head -c 16400 /dev/zero | tr '\0' a)
check "400: items too large for the tail block" "refused 400 'do not fit' \"/setup.exe?ERID=$long\""
check "404: names that are no served base, paths that would leave the folder, a link, a refused base" \
  "refused 404 'no download of that name' /nothing.exe && refused 404 'no download' /../served/setup.exe && \
   refused 404 'no download' /%2e%2e%2fserved%2fsetup.exe && refused 404 'no download' /link.exe && \
   refused 404 'no download' /embedded.exe && refused 404 'no download' /SETUP.exe && refused 404 'no download' /"
check "405: another method, with Allow" \
  "refused 405 'GET or HEAD' /setup.exe --method POST && [ \"\$(field Allow)\" = 'GET, HEAD' ] && \
   refused 405 'GET or HEAD' /setup.exe --method DELETE"
check "416: a range beyond the file, with its size" \
  "refused 416 'beyond' '$q' --header 'Range: bytes=$size-' && [ \"\$(field Content-Range)\" = 'bytes */$size' ]"
raw() { made 1; printf "$1" | client raw "$port"; }
check "413: a request with a body; 431: a header too large; 400: no Host, no HTTP" \
  "[ \"\$(raw 'GET /setup.exe HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbody')\" = 'HTTP/1.1 413 Content Too Large' ] && \
   [ \"\$(raw \"GET /setup.exe HTTP/1.1\r\nHost: x\r\nX-Big: $(head -c 30000 /dev/zero | tr '\0' b)\r\n\r\n\")\" = \
     'HTTP/1.1 431 Request Header Fields Too Large' ] && \
   [ \"\$(raw 'GET /setup.exe HTTP/1.1\r\n\r\n')\" = 'HTTP/1.1 400 Bad Request' ] && \
   [ \"\$(raw 'nonsense\r\n\r\n')\" = 'HTTP/1.1 400 Bad Request' ]"

# --- many at once ----------------------------------------------------------------------------
count=16
for i in $(seq 0 $((count - 1))); do tagged "$served/setup.exe" "$scratch/want$i.exe" "ERID=rid-$i"; done
check "$count parallel downloads with different items: each gets its own bytes" \
  "made $count && [ \"\$(client parallel '$port' '/setup.exe?ERID=rid-{i}' '$scratch/par' $count)\" = \"\$(printf '200 %.0s' \$(seq $count) | sed 's/ \$//')\" ] && \
   for i in \$(seq 0 $((count - 1))); do cmp \"$scratch/par\$i\" \"$scratch/want\$i.exe\" || exit 1; done"

# --- a new release while the old one is downloaded -------------------------------------------
tagged "$scratch/large-old.exe" "$scratch/large-old-tagged.exe" ERID=slow
tagged "$scratch/large-new.exe" "$scratch/large-new-tagged.exe" ERID=slow
get '/large.exe?ERID=slow' "$scratch/large-etag.bin" --method HEAD
old_etag=$(field ETag)
made 1
client fetch "$port" '/large.exe?ERID=slow' "$scratch/slow.exe" --rate $((4 << 20)) >"$scratch/slow.txt" &
slow=$!
# Renamed over the name once the download is under way, as a release puts its file in place.
for _ in $(seq 600); do [ -s "$scratch/slow.exe" ] && break; sleep 0.05; done
cp "$scratch/large-new.exe" "$served/.large.exe.new" && mv "$served/.large.exe.new" "$served/large.exe"
# new_served: the server has prepared the new release (bounded: it rescans every second).
new_served() {
  for _ in $(seq 600); do
    get '/large.exe?ERID=slow' "$scratch/probe.bin" --method HEAD
    [ "$(field ETag)" != "$old_etag" ] && return 0
    sleep 0.1
  done
  return 1
}
check "a base replaced while it is downloaded: the next download gets the new release" \
  "new_served && get '/large.exe?ERID=slow' '$scratch/after.exe' && cmp '$scratch/after.exe' '$scratch/large-new-tagged.exe'"
wait "$slow"
check "... and the download under way finished on the old one, whole" \
  "[ \"\$(head -n1 '$scratch/slow.txt')\" = 200 ] && cmp '$scratch/slow.exe' '$scratch/large-old-tagged.exe'"

# --- the log, the version, the stop ----------------------------------------------------------
stop
check "stop: SIGTERM ends it with 0" "[ $stopped -eq 0 ]"
requests=$(grep -c '' "$scratch/made")
check "one log line per request, $requests, in the common log format" \
  "[ \$(grep -c '' '$scratch/main.log') -eq $requests ] && ! grep -vE '^127\.0\.0\.1 - - \[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2} \+0000\] \"[^\"]*\" [0-9]{3} ([0-9]+|-)$' '$scratch/main.log' && \
   grep -qF '\"GET /setup.exe?ERID=1&EBCF=x HTTP/1.1\" 400 ' '$scratch/main.log' && \
   grep -qF '\"HEAD $q HTTP/1.1\" 200 -' '$scratch/main.log' && grep -q '\"-\" 431 ' '$scratch/main.log'"
check "--version: the program's" "[ \"\$('$sfxpack' serve --version)\" = \"\$('$sfxpack' --version)\" ]"
check "--tags never takes EBCF or EBPK: a usage error" \
  "'$sfxpack' serve '$served' --tags ERID,EBCF 2>'$scratch/usage.txt'; [ \$? -eq 2 ] && grep -q 'never set EBCF' '$scratch/usage.txt'"

# --- a URL that may set ECFG when told so ----------------------------------------------------
start ecfg --tags ERID,ECFG --threads 1
tagged "$served/setup.exe" "$scratch/ecfg.exe" 'ECFG=[ui]
theme=dark'
check "--tags ERID,ECFG: ECFG is stored as tag stores it (compressed); EAPT is then refused" \
  "get '/setup.exe?ECFG=%5Bui%5D%0Atheme%3Ddark' '$scratch/ecfg-got.exe' && status_is 200 && \
   cmp '$scratch/ecfg-got.exe' '$scratch/ecfg.exe' && refused 400 'does not let a URL set EAPT' '/setup.exe?EAPT=1'"
stop
check "stop: SIGTERM ends it with 0" "[ $stopped -eq 0 ]"
exit $fail
