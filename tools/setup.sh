#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, then builds the
# cross-compiled Crypto++ once per machine. Idempotent: a second run only checks.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${SFX_DEPS_CACHE:-/var/cache/sfxstub-deps}

packages=(
  # host toolchain and tools
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  # cross toolchain (win32 thread model: no winpthread DLL in the stub)
  g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
  # the 64-bit build: the CPU-fault tests where the 32-bit one runs through the emulator
  # (tools/wine-cpu.sh), and the x64 image of the self-defense test driver
  g++-mingw-w64-x86-64-win32 gcc-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  # libraries
  zlib1g-dev libz-mingw-w64-dev lzma-dev libcrypto++-dev libboost-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev nlohmann-json3-dev
  # the Windows we test on
  wine wine32:i386 wine64 xvfb xauth x11-apps imagemagick
  # producer cross-checks, benchmarks, resources and the image checks (tools/pe_imports.py)
  openssl osslsigncode 7zip xz-utils gzip python3 python3-pil python3-pefile icoutils
  # Crypto++ source package
  dpkg-dev
)

need_install=()
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  updated=
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need_install+=("$p")
done
if [ ${#need_install[@]} -gt 0 ] || [ -n "${updated+x}" ]; then
  echo "setup: installing ${need_install[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${need_install[@]}" >/dev/null
fi

# Crypto++ for mingw: Debian ships no cross build, so build it from Debian's own source
# package, for both Windows architectures. The objects must see the same configuration macros
# as our code, so the flags are recorded beside the library and read back by CMake.
cryptopp_flags="-O2 -DNDEBUG -DCRYPTOPP_DISABLE_ASM -DCRYPTOPP_NO_CXX11_THREADS"
build_cryptopp() {  # $1: mingw triplet, $2: cache folder name
  local triplet=$1 dest="$cache/$2" stamp="$cache/$2/.built"
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$cryptopp_flags" ] && return 0
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ /etc/apt/sources.list 2>/dev/null; then
    echo "setup: adding a deb-src entry for Debian's source packages"
    as_root sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
    as_root apt-get update -qq
  fi
  local work src
  work=$(mktemp -d)
  ( cd "$work" && apt-get source -qq libcrypto++ >/dev/null 2>&1 )
  src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n1)
  echo "setup: building Crypto++ for $triplet from $(basename "$src")"
  make -C "$src" -j"$(nproc)" -f GNUmakefile-cross static \
    CXX="$triplet-g++-win32" AR="$triplet-ar" RANLIB="$triplet-ranlib" \
    CXXFLAGS="$cryptopp_flags" >"$work"/build.log 2>&1 || { tail -30 "$work"/build.log; exit 1; }
  as_root mkdir -p "$dest/include/cryptopp" "$dest/lib"
  as_root cp "$src"/*.h "$dest/include/cryptopp/"
  as_root cp "$src"/libcryptopp.a "$dest/lib/"
  echo "$cryptopp_flags" | as_root tee "$stamp" >/dev/null
  rm -rf "$work"
}
build_cryptopp i686-w64-mingw32 cryptopp-i686
build_cryptopp x86_64-w64-mingw32 cryptopp-x86_64

# qemu-i386, through which Wine runs 32-bit programs where the kernel runs none
# (tools/wine-cpu.sh, tools/wine-run.sh). Debian 12's own qemu-user takes ~48 s per process
# start; the backported QEMU 10 is fast and static. It is unpacked into the cache, not
# installed: nothing on the host changes. Fetched on every machine, so that the emulated route
# can be rehearsed anywhere (SFX_WINE_CPU=emulated).
fetch_qemu() {
  local dest="$cache/qemu" work lists
  [ -x "$dest/qemu-i386" ] && "$dest/qemu-i386" --version >/dev/null 2>&1 && return 0
  work=$(mktemp -d)
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-backports main" \
    >"$work/sources.list"
  local apt_private=(-o Dir::Etc::sourcelist="$work/sources.list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$work/lists"
                     -o Dir::Cache="$work/cache" -o APT::Architecture=amd64 -o APT::Architectures=amd64
                     -o APT::Sandbox::User=root)
  echo "setup: fetching qemu-i386 from bookworm-backports"
  ( cd "$work" && apt-get "${apt_private[@]}" update -qq && apt-get "${apt_private[@]}" download -qq qemu-user ) \
    >"$work/fetch.log" 2>&1 || { cat "$work/fetch.log"; exit 1; }
  dpkg-deb --fsys-tarfile "$work"/qemu-user_*.deb | tar -x -C "$work" ./usr/bin/qemu-i386
  as_root mkdir -p "$dest"
  as_root install -m 755 "$work/usr/bin/qemu-i386" "$dest/qemu-i386"
  rm -rf "$work"
}
fetch_qemu
echo "setup: ready ($cache)"
