#!/usr/bin/env bash
# sfxpack pack and unpack: the producer's packages read back by the stub's loader, byte for
# byte, and the exit codes for bad command lines and bad packages.
set -uo pipefail
sfxpack=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
status() { "$sfxpack" "$@" >"$work/out.txt" 2>"$work/err.txt"; echo $?; }

head -c 300000 /dev/urandom >"$work/random.bin"
{ for i in $(seq 1 3000); do echo "line $i of a text that repeats itself"; done; } >"$work/text.txt"
: >"$work/empty.bin"

for kind in zlib lzma; do
  for name in random.bin text.txt empty.bin; do
    check "$kind $name packs" "[ \$(status pack --$kind '$work/$name' '$work/$name.$kind') -eq 0 ]"
    check "$kind $name unpacks" "[ \$(status unpack '$work/$name.$kind' '$work/$name.$kind.out') -eq 0 ]"
    check "$kind $name is unchanged" "cmp -s '$work/$name' '$work/$name.$kind.out'"
  done
done
check "zlib magic" "[ \"\$(head -c 16 '$work/text.txt.zlib')\" = TZKsetupFPkgFile ]"
check "lzma magic" "[ \"\$(head -c 16 '$work/text.txt.lzma')\" = TZKsetupFPkgFil3 ]"
check "packing shrinks text" "[ \$(stat -c %s '$work/text.txt.lzma') -lt \$(stat -c %s '$work/text.txt') ]"

# Command lines.
check "pack without a kind" "[ \$(status pack '$work/text.txt' '$work/x') -eq 2 ]"
check "pack with both kinds" "[ \$(status pack --zlib --lzma '$work/text.txt' '$work/x') -eq 2 ]"
check "unpack with one argument" "[ \$(status unpack '$work/text.txt.zlib') -eq 2 ]"
check "unknown option" "[ \$(status unpack --fast '$work/text.txt.zlib' '$work/x') -eq 2 ]"
check "pack --help" "[ \$(status pack --help) -eq 0 ] && grep -q -- '--lzma' '$work/out.txt'"

# Bad input names the file and the reason on stderr; nothing is written.
check "missing input" "[ \$(status pack --zlib '$work/missing' '$work/x') -eq 3 ] && grep -q 'missing: cannot open' '$work/err.txt'"
check "not a package" "[ \$(status unpack '$work/text.txt' '$work/x') -eq 3 ] && grep -q 'text.txt: not a file package' '$work/err.txt'"
check "no output for a bad package" "[ ! -e '$work/x' ]"
head -c 40 "$work/text.txt.lzma" >"$work/cut.lzma"
check "cut package" "[ \$(status unpack '$work/cut.lzma' '$work/x') -eq 3 ] && grep -q 'cut.lzma: the package' '$work/err.txt'"
cp "$work/text.txt.zlib" "$work/flipped.zlib"
printf '\x00\x00\x00\x00' | dd of="$work/flipped.zlib" bs=1 seek=60 conv=notrunc status=none
check "damaged stream" "[ \$(status unpack '$work/flipped.zlib' '$work/x') -eq 3 ] && grep -q 'damaged' '$work/err.txt'"
check "output folder missing" "[ \$(status unpack '$work/text.txt.zlib' '$work/no/such/x') -eq 4 ] && grep -q 'cannot create' '$work/err.txt'"
exit $fail
