#!/usr/bin/env bash
# Prints the Windows configuration this machine can test: "win32" where the kernel runs 32-bit
# programs (and so 32-bit Wine), "win64" where it does not (kernels built or booted without IA-32
# emulation). The stub ships as 32-bit either way; win64 runs the same code and tests as 64-bit
# so that the Windows behaviour is still checked against Wine.
set -u
if [ -n "${SFX_WINDOWS_PRESET:-}" ]; then echo "$SFX_WINDOWS_PRESET"; exit 0; fi
loader=/lib/ld-linux.so.2
if [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1; then
  echo win32
else
  echo win64
fi
