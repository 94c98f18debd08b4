#!/usr/bin/env bash
# The stub carries the progress window's twelve frames: "FILE" resources 1001 to 1012, each a
# PNG of 199 x 133 pixels with an 8-bit palette, in the order of the animation.
set -uo pipefail
exe=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
for id in $(seq 1001 1012); do
  wrestool -x --raw --type=FILE --name="$id" "$exe" >"$work/$id.png" 2>/dev/null
  if /usr/bin/python3 - "$work/$id.png" <<'PY'
import sys
from PIL import Image
im = Image.open(sys.argv[1])
sys.exit(0 if (im.format, im.size, im.mode) == ("PNG", (199, 133), "P") else 1)
PY
  then echo "ok: frame $id"; else echo "FAIL: frame $id"; fail=1; fi
done
# Consecutive frames differ: the ring's shading moves on every one.
for id in $(seq 1001 1011); do
  if cmp -s "$work/$id.png" "$work/$((id + 1)).png"; then echo "FAIL: frames $id and $((id + 1)) are the same"; fail=1; fi
done
exit $fail
