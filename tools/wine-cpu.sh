#!/usr/bin/env bash
# Prints how this machine runs 32-bit Windows programs under Wine: "native" where the kernel
# runs 32-bit (i386) programs, "emulated" where it does not (kernels built or booted without
# IA-32 emulation): there every i386 program, Wine's loader included, runs through qemu-i386
# (tools/setup.sh fetches it; tools/wine-run.sh puts it in place). SFX_WINE_CPU=emulated forces
# the emulator on any machine, to rehearse that route.
set -u
case "${SFX_WINE_CPU:-}" in
  native|emulated) echo "$SFX_WINE_CPU"; exit 0 ;;
  "") ;;
  *) echo "SFX_WINE_CPU must be native or emulated, not '$SFX_WINE_CPU'" >&2; exit 64 ;;
esac
if /lib/ld-linux.so.2 --help >/dev/null 2>&1; then echo native; else echo emulated; fi
