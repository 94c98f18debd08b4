#!/usr/bin/env bash
# `cmake --install` as `make install` runs it, into a scratch DESTDIR: the program, its manual page
# and its bash completion land where man and bash-completion look, the page renders without
# warnings, and the page and the completion offer every command, every option of each command's
# --help and every exit code that --help lists, so neither drifts from the program.
set -uo pipefail
cmake=$1 build=$2 sfxpack=$3 scratch=$4
rm -rf "$scratch" && mkdir -p "$scratch"
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }

stage=$scratch/stage
DESTDIR=$stage "$cmake" --install "$build" --prefix /usr/local >"$scratch/install.log" 2>&1
bin=$stage/usr/local/bin/sfxpack
page=$stage/usr/local/share/man/man1/sfxpack.1
completion=$stage/usr/local/share/bash-completion/completions/sfxpack
check "cmake --install puts the program, the page and the completion under PREFIX" \
  "[ -x '$bin' ] && [ -s '$page' ] && [ -s '$completion' ]"
check "the installed program is the build's" "[ \"\$('$bin' --version)\" = \"\$('$sfxpack' --version)\" ]"

LC_ALL=C MANWIDTH=100 man --warnings -P cat -l "$page" >"$scratch/page.txt" 2>"$scratch/page.err"
check "man -l renders the page without warnings" \
  "grep -q '^NAME' '$scratch/page.txt' && [ ! -s '$scratch/page.err' ]"

# What --help promises: the commands, each one's options (from its usage lines and the names
# that start its option lines, not the descriptions) and the exit codes.
"$sfxpack" --help >"$scratch/help.txt"
mapfile -t commands < <(sed -n '/^commands:/,/^$/s/^  \([a-z]*\) .*/\1/p' "$scratch/help.txt")
check "--help lists the commands" "[ \${#commands[@]} -ge 9 ]"
options_of() {
  "$sfxpack" "$1" --help | awk '/^usage:/ {u = 1} /^$/ {u = 0} u {print; next}
                                /^ +-/ {sub(/^ +/, ""); sub(/  .*/, ""); print}' |
    grep -oE '(^|[][ |])--?[a-z][a-z0-9-]*' | sed 's/^[][ |]//' | sort -u
}
# complete WORD...: what the completion offers for the last word.
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _sfxpack; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$completion" sfxpack "$@"
}

for c in "${commands[@]}"; do
  # The command's subsections of the page, and the shared Authenticode one where it names them.
  section=$(awk -v c="$c" '/^   [^ ]/ {s = index($0, "   " c " ") == 1 || ($0 ~ /^   Authenticode/ && index($0, c))}
                           /^[A-Z]/ {s = 0} s' "$scratch/page.txt")
  offered=$(complete_words "$c" -)
  missing_page= missing_completion=
  for o in $(options_of "$c"); do
    grep -qE -- "(^|[^a-z-])$o([^a-z-]|$)" <<<"$section" || missing_page+=" $o"
    grep -qx -- "$o" <<<"$offered" || missing_completion+=" $o"
  done
  check "$c: the page describes every option of --help${missing_page:+ (not:$missing_page)}" "[ -z '$missing_page' ]"
  check "$c: the completion offers every option of --help${missing_completion:+ (not:$missing_completion)}" \
    "[ -z '$missing_completion' ]"
done
check "the completion offers the commands first" \
  "[ \"\$(complete_words '' | grep -v -- '^-' | grep -vx help | sort)\" = \"\$(printf '%s\n' \"\${commands[@]}\" | sort)\" ]"
touch "$scratch/setup.exe"
check "the completion offers file names for arguments" \
  "(cd '$scratch' && complete_words verify se | grep -qx setup.exe)"

exit_status=$(sed -n '/^EXIT STATUS/,/^[A-Z]/p' "$scratch/page.txt")
for code in $(sed -n 's/^  \([0-9]\)  .*/\1/p' "$scratch/help.txt"); do
  check "the page's exit status names code $code" "grep -qE '^       $code\b' <<<\"\$exit_status\""
done
exit $fail
