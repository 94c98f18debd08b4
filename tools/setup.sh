#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, then builds the
# cross-compiled Crypto++ and OpenSSL's libcrypto once per machine. Idempotent: a second run
# only checks. `setup.sh demo` makes only what `make demo` builds and runs (the end of this
# file says what that is); `make test` runs it without an argument and gets everything.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${SFX_DEPS_CACHE:-/var/cache/sfxstub-deps}
what=${1:-all}
case "$what" in
  all|demo) ;;
  *) echo "usage: tools/setup.sh [demo]" >&2; exit 64 ;;
esac

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
  # locale definitions: the archive tests make a Japanese locale, to run Wine in code page 932
  locales
  # producer cross-checks, benchmarks, resources and the image checks (tools/pe_imports.py);
  # libssl-dev for the producer's reading of Authenticode signatures (osslsigncode: below)
  openssl libssl-dev 7zip xz-utils gzip python3 python3-pil python3-pefile icoutils
  # sfxpack's manual page, rendered by its install test
  man-db groff-base
  # Authenticode signers that append their signature behind the reservation (seal's tests), and
  # the NSS tools that give pesign a certificate database
  sbsigntool pesign libnss3-tools
  # Crypto++, OpenSSL and 7zip source packages
  dpkg-dev
)

need_install=()
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# A mirror caught mid-sync serves an index that does not match its signed Release ("File has
# unexpected size"), and then every install that needs that suite's packages fails. The update
# is tried again; a suite whose index still fails is left out of the install, loudly, so that a
# new machine still gets the packages of the suites that are whole.
broken_suites=()
apt_update() {
  local log attempt
  log=$(mktemp)
  for attempt in 1 2 3; do
    if as_root apt-get update -qq >"$log" 2>&1; then
      rm -f "$log"
      broken_suites=()
      return 0
    fi
    [ "$attempt" -eq 3 ] || sleep 20
  done
  mapfile -t broken_suites < <(sed -n 's|^[EW]: Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$log" | sort -u)
  grep -E '^[EW]: ' "$log" >&2 || cat "$log" >&2
  rm -f "$log"
  [ ${#broken_suites[@]} -gt 0 ] || { echo "setup: apt-get update failed" >&2; exit 1; }
  echo "setup: WARNING: the mirror gives no whole index of ${broken_suites[*]}" >&2
}
apt_install() {  # apt_install [apt-get install options] PACKAGE...
  local log prefs suite
  log=$(mktemp)
  if DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  if [ ${#broken_suites[@]} -eq 0 ]; then cat "$log" >&2; rm -f "$log"; exit 1; fi
  echo "setup: WARNING: installing without ${broken_suites[*]}, whose index the mirror could not give;" \
       "run 'apt-get update && apt-get upgrade' once it can" >&2
  prefs=$(mktemp -d)
  for suite in "${broken_suites[@]}"; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: -1\n\n' "$suite"
  done >"$prefs/broken-suites.pref"
  chmod 755 "$prefs"
  if ! DEBIAN_FRONTEND=noninteractive as_root apt-get -o Dir::Etc::PreferencesParts="$prefs" install -y -qq \
         --no-install-recommends "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -rf "$log" "$prefs"
    exit 1
  fi
  rm -rf "$log" "$prefs"
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  updated=
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need_install+=("$p")
done
if [ ${#need_install[@]} -gt 0 ] || [ -n "${updated+x}" ]; then
  echo "setup: installing ${need_install[*]}"
  apt_update
  apt_install "${need_install[@]}"
fi

# osslsigncode with its built-in test timestamp authority (-TSA-certs, -TSA-key, -TSA-time), which
# the tests use to timestamp signatures offline. Debian 12 ships 2.5, which lacks it; the one in
# bookworm-backports has it. APT never prefers a backport unless asked for it by name, so adding
# that source changes nothing else on the machine.
# Only the tests sign with it.
osslsigncode_ok() { command -v osslsigncode >/dev/null && [[ "$(osslsigncode --help 2>&1)" == *-TSA-certs* ]]; }
if [ "$what" = all ] && ! osslsigncode_ok; then
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "setup: adding bookworm-backports as an APT source, for osslsigncode"
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' 'Components: main' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' | as_root tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
  fi
  echo "setup: installing osslsigncode from bookworm-backports"
  apt_update
  apt_install -t bookworm-backports osslsigncode
  if ! osslsigncode_ok; then
    echo "setup: osslsigncode ($(osslsigncode --version 2>/dev/null | head -n1)) has no built-in test timestamp" \
         "authority (-TSA-certs); the tests need the version of bookworm-backports (2.9)" >&2
    exit 1
  fi
fi

# Crypto++ for mingw: Debian ships no cross build, so build it from Debian's own source
# package, for both Windows architectures. Only the sources behind Integer (the DSA check),
# MD5 and SHA-256 are built, and those the Windows tests' signing adds; the stub links what
# it calls of them: the whole library would double its size. The digests are built for
# speed, the rest for size; the CPU's SHA extensions are used where cpu.cpp finds them at run
# time.
#
# The objects must see the same configuration macros as our code, so the first line of the
# stamp beside the library holds them and CMake reads them back.
# No feature probes: the SSE2 probe executes an instruction that faults on an XP-class CPU,
# inside the stub's crash guard. Without it the vector code (SHA extensions included) is used
# only where the CPU and the system say so (CPUID, OSXSAVE); elsewhere the plain code runs.
cryptopp_flags="-DNDEBUG -DCRYPTOPP_NO_CXX11_THREADS -DCRYPTOPP_NO_CPU_FEATURE_PROBES"
cryptopp_sources="cryptlib cpu integer nbtheory algparam asn queue filters mqueue pubkey misc allocate fips140
                  iterhash md5 sha sha_simd sse_simd instances gfpcrypt base64 basecode hex hmac signing_instances"
cryptopp_fast="iterhash md5 sha sha_simd"
cryptopp_recipe="$cryptopp_flags
sources: $(echo $cryptopp_sources)
fast: $cryptopp_fast
recipe: 5"

# The stub's own, smaller build: it checks DSA signatures with Integer's arithmetic alone and
# takes the two digests, so it needs none of the ASN.1, filter, message-queue, public-key or
# prime-generation code. The linker cannot drop that code function by function here: on i686
# each object's .eh_frame is kept whole and refers to every function in it, so a member that is
# linked at all is linked whole. This build therefore leaves those sources out and cuts from
# integer.cpp and cryptlib.cpp what reaches into them (cryptopp_verifier_cuts). The stub's
# targets link it (cmake/deps.cmake); the producer and the tests keep the full library above.
# Its objects also carry the compiler's intermediate form, so that the stub's optimising link
# (stub/CMakeLists.txt) keeps only the functions it reaches and their unwind entries, and they
# take the project's string shim (cmake/string_instances.h) as the stub's own code does, so that
# neither links libstdc++'s string instantiations whole. Built as the stub's objects are, without
# identical-code folding (cmake/warnings.cmake says why). In a folder of its own: a link
# without -fno-lto would optimise across these objects too.
cryptopp_verifier_extra="-flto -ffat-lto-objects -fno-ipa-icf-functions -include $here/cmake/string_instances.h"
cryptopp_verifier_sources="cryptlib cpu integer algparam misc allocate fips140 iterhash md5 sha sha_simd sse_simd
                           verifier_instances"
cryptopp_verifier_recipe="$cryptopp_flags
sources: $(echo $cryptopp_verifier_sources)
fast: $cryptopp_fast
extra: ${cryptopp_verifier_extra/$here/}
shim: $(md5sum <"$here/cmake/string_instances.h" | cut -c1-32)
recipe: verifier 3"

# The stub never prints a number: without the stream operators of Integer and OID no object
# refers to the C++ streams, and their locale machinery (half a megabyte) stays out. The
# definitions are cut out of the unpacked sources, and a missing one fails the build.
cryptopp_cut_streams() {  # $1: source folder
  cut_definition "$1/integer.cpp" 'std::istream& operator>>(std::istream& in, Integer &a)'
  cut_definition "$1/integer.cpp" 'std::ostream& operator<<(std::ostream& out, const Integer &a)'
  cut_definition "$1/asn.cpp" 'std::ostream& OID::Print(std::ostream& out) const'
}
cut_definition() {  # $1: file, $2: the definition's first line, up to the closing brace at column 0
  grep -qF "$2" "$1" || { echo "setup: '$2' not found in $1" >&2; exit 1; }
  awk -v head="$2" '{ line = $0; sub(/\r$/, "", line) }
    index(line, head) == 1 { skipping = 1 }
    skipping && line == "}" { skipping = 0; next }
    !skipping' "$1" >"$1.cut" && mv "$1.cut" "$1"
}
# Cuts the lines from the one that starts with $2 up to, not including, the next one that starts
# with $3; both must be there.
cut_between() {  # $1: file, $2: first line cut, $3: first line kept after it
  awk -v head="$2" -v tail="$3" '{ line = $0; sub(/\r$/, "", line) }
    !done && !skipping && index(line, head) == 1 { skipping = 1; found = 1 }
    skipping && index(line, tail) == 1 { skipping = 0; done = 1 }
    !skipping { print }
    END { exit !(found && done) }' "$1" >"$1.cut" ||
    { echo "setup: no '$2' ... '$3' in $1" >&2; exit 1; }
  mv "$1.cut" "$1"
}

# What the verifier build cuts: Integer's constructors and codecs that go through a
# BufferedTransformation (byte arrays included: they wrap one), its ASN.1 and OpenPGP forms and
# its random generation; ModularArithmetic's ASN.1 forms; from cryptlib.cpp everything but
# Algorithm, HashTransformation, the keying interface (the digests' objects instantiate the MAC
# bases too) and the library's globals; from sha.cpp SHA-1, SHA-384 and SHA-512, which only the
# cut Integer code used. Integer's two ASN.1 members are virtual (ASN1Object), so they stay as
# ones that throw. A symbol that something kept still needs fails the stub's link.
cryptopp_verifier_cuts() {  # $1: source folder
  local integer=$1/integer.cpp cryptlib=$1/cryptlib.cpp sha=$1/sha.cpp
  cut_between "$integer" 'Integer::Integer(BufferedTransformation &encodedInteger' 'Integer Integer::Power2(size_t e)'
  cut_between "$integer" 'void Integer::Decode(const byte *input' 'size_t Integer::MinEncodedSize('
  cut_between "$integer" 'void Integer::Encode(byte *output' 'inline int FlagToBase(long f)'
  cut_between "$integer" 'ModularArithmetic::ModularArithmetic(BufferedTransformation &bt)' \
    'const Integer& ModularArithmetic::Half('
  cat >>"$integer" <<'CPP'
NAMESPACE_BEGIN(CryptoPP)
void Integer::DEREncode(BufferedTransformation &) const { throw NotImplemented("Integer: no ASN.1 in this build"); }
void Integer::BERDecode(BufferedTransformation &) { throw NotImplemented("Integer: no ASN.1 in this build"); }
NAMESPACE_END
CPP
  cut_between "$cryptlib" 'BufferedTransformation & TheBitBucket()' 'Algorithm::Algorithm(bool checkSelfTestStatus)'
  cut_between "$cryptlib" 'size_t BlockTransformation::AdvancedProcessBlocks(' 'unsigned int HashTransformation::OptimalDataAlignment()'
  cut_between "$cryptlib" 'size_t StreamTransformation::ProcessLastBlock(' 'bool HashTransformation::TruncatedVerify('
  cut_between "$cryptlib" 'unsigned int BufferedTransformation::GetMaxWaitObjectCount()' '// Allow a distro or packager'
  cut_between "$sha" 'void SHA1_HashBlock_CXX(word32 *state, const word32 *data)' 'ANONYMOUS_NAMESPACE_END'
  cut_between "$sha" 'std::string SHA1::AlgorithmProvider() const' '// ******'
  cut_between "$sha" 'std::string SHA512_AlgorithmProvider()' 'NAMESPACE_END'
}

# Templates the library leaves to dll.cpp, which would bring in every algorithm: the ones
# behind modular arithmetic, the digests and algorithm parameters are instantiated here, and
# the signing's in an object of their own that the stub never pulls in. The archive keeps
# this order, so the stub's references find the first one.
cryptopp_instances() {  # $1: source folder
  local head=$'#define CRYPTOPP_MANUALLY_INSTANTIATE_TEMPLATES\n#define CRYPTOPP_DEFAULT_NO_DLL'
  { echo "$head"; printf '#include "%s"\n' algparam.h integer.h iterhash.h md5.h modarith.h sha.h; } >"$1/instances.cpp"
  { echo "$head"; printf '#include "%s"\n' base64.h gfpcrypt.h hex.h hmac.h sha.h; } >"$1/signing_instances.cpp"
  { echo "$head"; printf '#include "%s"\n' algparam.h integer.h iterhash.h md5.h modarith.h sha.h; } >"$1/verifier_instances.cpp"
}

# Debian's source packages, for the libraries built here for mingw.
enable_deb_src() {
  grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ /etc/apt/sources.list 2>/dev/null && return 0
  echo "setup: adding a deb-src entry for Debian's source packages"
  as_root sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
  apt_update
}

build_cryptopp() {  # $1: mingw triplet, $2: cache folder name, $3: sources, $4: recipe, $5: extra preparation,
                    # $6: extra compiler options
  local triplet=$1 dest="$cache/$2" stamp="$cache/$2/.built" sources=$3 recipe=$4 prepare=${5:-true} extra=${6:-}
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ] && return 0
  enable_deb_src
  local work src
  work=$(mktemp -d)
  ( cd "$work" && apt-get source -qq libcrypto++ >/dev/null 2>&1 )
  src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n1)
  echo "setup: building Crypto++ for $triplet from $(basename "$src")"
  cryptopp_cut_streams "$src"
  cryptopp_instances "$src"
  "$prepare" "$src"
  local name opt simd
  for name in $sources; do
    opt=-Os simd=
    case " $cryptopp_fast " in *" $name "*) opt=-O2 ;; esac
    [ "$name" = sha_simd ] && simd="-msse4.2 -msha"
    # Neither <iostream> nor its static initialiser: the include guard is taken in advance.
    echo "$triplet-g++-win32 $opt $simd $cryptopp_flags $extra -ffunction-sections -fdata-sections \
      -D_GLIBCXX_IOSTREAM -include istream -include ostream -c $src/$name.cpp -o $src/$name.o"
  done | xargs -P "$(nproc)" -I{} sh -c '{} 2>>"$0"/build.log' "$work" || { tail -30 "$work"/build.log; exit 1; }
  ( cd "$src" && "$triplet-gcc-ar-win32" rcs libcryptopp.a $(for n in $sources; do echo "$n.o"; done) )
  as_root mkdir -p "$dest/include/cryptopp" "$dest/lib"
  as_root cp "$src"/*.h "$dest/include/cryptopp/"
  as_root cp "$src"/libcryptopp.a "$dest/lib/"
  echo "$recipe" | as_root tee "$stamp" >/dev/null
  rm -rf "$work"
}

# OpenSSL's libcrypto for mingw, with which the Windows build of sfxpack reads Authenticode
# signatures as the Linux build does with Debian's: Debian ships no cross build, so it is built
# from Debian's own source package, static, without what reading a PKCS#7 never needs (the
# engines, the network, the ciphers and protocols Authenticode does not use). Every digest
# stays, so both builds judge the same signatures alike. The objects are built for the linker's
# garbage collection, as ours are. For the 32-bit build only: the 64-bit one carries only the
# CPU-fault tests, and its sfxpack says what it cannot check.
openssl_options="no-shared no-tests no-asm no-engine no-dso no-ui-console no-module no-autoload-config no-async
                 no-sock no-comp no-err no-filenames no-aria no-bf no-camellia no-cast no-chacha no-idea no-ocb
                 no-poly1305 no-rc2 no-rc4 no-seed no-siv no-sm4 no-cmp no-cms no-ct no-ocsp no-srp no-ts
                 -Os -ffunction-sections -fdata-sections"
openssl_recipe="$(echo $openssl_options)
recipe: 1"

# The security archive may list a source whose files its mirror does not serve (yet): the newest
# version that can be fetched is taken. Prints the unpacked folder.
fetch_openssl_source() {  # $1: work folder
  local version
  for version in $(apt-cache showsrc openssl | awk '/^Version:/ { print $2 }' | sort -Vru); do
    ( cd "$1" && apt-get source -qq "openssl=$version" >/dev/null 2>&1 ) && break
  done
  find "$1" -maxdepth 1 -mindepth 1 -type d | head -n1
}

build_openssl() {  # $1: mingw triplet, $2: OpenSSL's target, $3: cache folder name
  local triplet=$1 target=$2 dest="$cache/$3" stamp="$cache/$3/.built"
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$openssl_recipe" ] && return 0
  enable_deb_src
  local work src
  work=$(mktemp -d)
  src=$(fetch_openssl_source "$work")
  [ -n "$src" ] || { echo "setup: no source package of openssl could be fetched" >&2; exit 1; }
  echo "setup: building OpenSSL's libcrypto for $triplet from $(basename "$src")"
  # Only libcrypto: the headers it generates, then the library.
  ( cd "$src" && ./Configure "$target" --cross-compile-prefix="$triplet-" $openssl_options &&
      make -j"$(nproc)" build_generated && make -j"$(nproc)" libcrypto.a ) >"$work/build.log" 2>&1 ||
    { tail -30 "$work/build.log"; exit 1; }
  as_root rm -rf "$dest"
  as_root mkdir -p "$dest/include" "$dest/lib"
  as_root cp -r "$src/include/openssl" "$dest/include/"
  as_root cp "$src/libcrypto.a" "$dest/lib/"
  echo "$openssl_recipe" | as_root tee "$stamp" >/dev/null
  rm -rf "$work"
}

# The LZMA codec's C sources, from Debian's 7zip source package: lzma-dev's are too old to carry
# the two-thread match finder (LzFindMt.c, Threads.c) or the faster decoder. CMake compiles them
# into sfx_lzma for every build, so only the C folder is kept. Like OpenSSL's, the newest version
# that can be fetched is taken; the stamp names it.
lzma_sdk_recipe="recipe: 1"
fetch_lzma_sdk() {
  local dest="$cache/lzma-sdk" stamp="$cache/lzma-sdk/.built" work src version
  [ -f "$stamp" ] && [ "$(head -n1 "$stamp")" = "$lzma_sdk_recipe" ] && return 0
  enable_deb_src
  work=$(mktemp -d)
  for version in $(apt-cache showsrc 7zip | awk '/^Version:/ { print $2 }' | sort -Vru); do
    ( cd "$work" && apt-get source -qq "7zip=$version" >/dev/null 2>&1 ) && break
  done
  src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n1)
  [ -n "$src" ] && [ -f "$src/C/LzFindMt.c" ] || { echo "setup: no source package of 7zip could be fetched" >&2; exit 1; }
  echo "setup: caching the LZMA codec's sources from $(basename "$src")"
  as_root rm -rf "$dest"
  as_root mkdir -p "$dest/C"
  as_root cp "$src"/C/*.c "$src"/C/*.h "$dest/C/"
  printf '%s\nsource: %s\n' "$lzma_sdk_recipe" "$(basename "$src")" | as_root tee "$stamp" >/dev/null
  rm -rf "$work"
}
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

# The demo builds the 32-bit stub, which links the verifier build of Crypto++, and runs it under
# Wine, through qemu-i386 where the kernel runs no 32-bit programs; every build compiles the LZMA
# codec's sources. The full Crypto++ (sfxpack.exe and the Windows tests), OpenSSL (sfxpack.exe)
# and the 64-bit builds are for `make test`. The downloads run beside the first compile.
enable_deb_src
fetch_lzma_sdk &
fetches=$!
if [ "$what" = all ] || [ "$(bash "$here/tools/wine-cpu.sh")" = emulated ]; then
  fetch_qemu &
  fetches="$fetches $!"
fi
build_cryptopp i686-w64-mingw32 cryptopp-verify-lto-i686 "$cryptopp_verifier_sources" "$cryptopp_verifier_recipe" \
  cryptopp_verifier_cuts "$cryptopp_verifier_extra"
for job in $fetches; do wait "$job" || exit 1; done
if [ "$what" = all ]; then
  build_cryptopp i686-w64-mingw32 cryptopp-stub-i686 "$cryptopp_sources" "$cryptopp_recipe"
  build_cryptopp x86_64-w64-mingw32 cryptopp-stub-x86_64 "$cryptopp_sources" "$cryptopp_recipe"
  build_cryptopp x86_64-w64-mingw32 cryptopp-verify-lto-x86_64 "$cryptopp_verifier_sources" \
    "$cryptopp_verifier_recipe" cryptopp_verifier_cuts "$cryptopp_verifier_extra"
  build_openssl i686-w64-mingw32 mingw openssl-i686
fi
if [ "$what" = demo ]; then echo "setup: ready for the demo ($cache)"; else echo "setup: ready ($cache)"; fi
