# Every dependency comes from Debian's archive; tools/setup.sh installs them and builds those
# Debian has no cross build of into SFX_DEPS_CACHE, which follows the environment variable of
# that name as tools/setup.sh and tools/wine-run.sh do.
if(DEFINED ENV{SFX_DEPS_CACHE})
  set(SFX_DEPS_CACHE "$ENV{SFX_DEPS_CACHE}" CACHE PATH "Cross-built dependencies" FORCE)
else()
  set(SFX_DEPS_CACHE "/var/cache/sfxstub-deps" CACHE PATH "Cross-built dependencies")
endif()

# A cross-built library that only some targets link may be missing (`tools/setup.sh demo` makes
# what the demo's targets need): configuring says so, and building a target that links it stops
# on the missing file.
function(sfx_note_missing_library what file)
  if(NOT EXISTS "${file}")
    message(STATUS "${what} is missing (${file}): what links it cannot be built until tools/setup.sh "
                   "makes it; the stub, the demo and the host build can")
  endif()
endfunction()

# Headers that live in the host's /usr/include are exposed to the cross compiler one folder
# at a time: adding /usr/include itself would mix glibc headers into the Windows build.
function(sfx_header_shim name source)
  set(shim "${CMAKE_BINARY_DIR}/shim/${name}")
  file(MAKE_DIRECTORY "${shim}")
  file(CREATE_LINK "${source}" "${shim}/${name}" SYMBOLIC)
  set(SFX_SHIM_${name} "${shim}" PARENT_SCOPE)
endfunction()

# zlib: the system library natively, Debian's mingw package for Windows.
if(SFX_WIN32)
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)

# Boost headers (the logger's shared texts); header-only on both sides.
add_library(sfx_boost INTERFACE)
if(SFX_WIN32)
  sfx_header_shim(boost /usr/include/boost)
  target_include_directories(sfx_boost SYSTEM INTERFACE "${SFX_SHIM_boost}")
  target_compile_definitions(sfx_boost INTERFACE BOOST_USE_WINDOWS_H BOOST_ALL_NO_LIB)
endif()

# nlohmann-json for the producer's manifests.
add_library(sfx_json INTERFACE)
if(SFX_WIN32)
  sfx_header_shim(nlohmann /usr/include/nlohmann)
  target_include_directories(sfx_json SYSTEM INTERFACE "${SFX_SHIM_nlohmann}")
endif()

# The LZMA codec's C sources from Debian's 7zip source package, cached by tools/setup.sh: the
# encoder with its two-thread match finder for packing, the decoder for unpacking. A program
# that only unpacks (the stub) pulls in the decoder's object alone, which needs no threads.
set(SFX_LZMA_DIR "${SFX_DEPS_CACHE}/lzma-sdk/C")
if(NOT EXISTS "${SFX_LZMA_DIR}/LzFindMt.c")
  message(FATAL_ERROR "The LZMA codec's sources are missing in ${SFX_LZMA_DIR}: run tools/setup.sh")
endif()
add_library(sfx_lzma STATIC)
target_sources(sfx_lzma PRIVATE ${SFX_LZMA_DIR}/LzmaDec.c ${SFX_LZMA_DIR}/LzmaEnc.c ${SFX_LZMA_DIR}/LzFind.c
               ${SFX_LZMA_DIR}/LzFindMt.c ${SFX_LZMA_DIR}/LzFindOpt.c ${SFX_LZMA_DIR}/Threads.c
               ${SFX_LZMA_DIR}/CpuArch.c)
target_include_directories(sfx_lzma SYSTEM PUBLIC ${SFX_LZMA_DIR})
# 32-bit probabilities: the decoder avoids 16-bit loads and stores, a few percent faster. The
# encoder keeps its 16-bit ones: half the cache they take, packing a few percent faster, the
# same stream. Its interface holds no probabilities, so the two halves still link together.
target_compile_definitions(sfx_lzma PUBLIC Z7_LZMA_PROB32)
set_source_files_properties(${SFX_LZMA_DIR}/LzmaEnc.c PROPERTIES COMPILE_OPTIONS -UZ7_LZMA_PROB32)
# Unpacking the largest entry is most of the stub's run: built for speed in every build type,
# and linked as that machine code, which the stub's optimising link would otherwise compile anew.
target_compile_options(sfx_lzma PRIVATE -w -O2 -fno-lto)
# The codec reads and writes 32-bit fields at any address where the CPU allows it (x86) and
# shifts negative values, on purpose: UBSan would stop every packing in the sanitized builds.
# AddressSanitizer still watches its memory.
target_compile_options(sfx_lzma PRIVATE -fno-sanitize=undefined)
if(NOT SFX_WIN32)
  find_package(Threads REQUIRED)
  target_link_libraries(sfx_lzma PUBLIC Threads::Threads)
endif()

# Crypto++: Debian's package natively; the cached cross builds for Windows. Code that includes
# its headers must see the macros the library was built with, or object layouts differ. The
# stub's executables (target property SFX_UNPACK_ONLY) link the verifier build, which holds
# only Integer's arithmetic and the digests; everything else links the full one. Both are built
# from the same source package, so every target compiles against the verifier build's headers,
# the one build every Windows configuration has (the stub is in each).
add_library(sfx_cryptopp INTERFACE)
if(SFX_WIN32)
  set(cpp_root "${SFX_DEPS_CACHE}/cryptopp-stub-${CMAKE_SYSTEM_PROCESSOR}")
  set(cpp_verifier_root "${SFX_DEPS_CACHE}/cryptopp-verify-lto-${CMAKE_SYSTEM_PROCESSOR}")
  if(NOT EXISTS "${cpp_verifier_root}/lib/libcryptopp.a")
    message(FATAL_ERROR "Crypto++ for mingw is missing in ${cpp_verifier_root}: run tools/setup.sh")
  endif()
  file(STRINGS "${cpp_verifier_root}/.built" cpp_verifier_flags LIMIT_COUNT 1)
  sfx_note_missing_library("The full Crypto++ for mingw" "${cpp_root}/lib/libcryptopp.a")
  if(EXISTS "${cpp_root}/.built")
    file(STRINGS "${cpp_root}/.built" cpp_flags LIMIT_COUNT 1)
    if(NOT cpp_flags STREQUAL cpp_verifier_flags)
      message(FATAL_ERROR "The two Crypto++ builds were made with other macros: run tools/setup.sh")
    endif()
  endif()
  string(REGEX MATCHALL "-D[A-Za-z0-9_=]+" cpp_defs "${cpp_verifier_flags}")
  list(TRANSFORM cpp_defs REPLACE "^-D" "")
  list(REMOVE_ITEM cpp_defs NDEBUG)
  target_include_directories(sfx_cryptopp SYSTEM INTERFACE "${cpp_verifier_root}/include")
  target_link_libraries(sfx_cryptopp INTERFACE
    "$<IF:$<BOOL:$<TARGET_PROPERTY:SFX_UNPACK_ONLY>>,${cpp_verifier_root},${cpp_root}>/lib/libcryptopp.a")
  target_compile_definitions(sfx_cryptopp INTERFACE ${cpp_defs})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)
  target_link_libraries(sfx_cryptopp INTERFACE PkgConfig::CRYPTOPP)
endif()

# OpenSSL's libcrypto for the Windows build of sfxpack, which reads Authenticode signatures with
# it: the cached cross build, made for the 32-bit build only (the 64-bit one goes without). Where
# it is missing, building sfxpack.exe stops: it is never made without.
if(SFX_WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ossl_root "${SFX_DEPS_CACHE}/openssl-${CMAKE_SYSTEM_PROCESSOR}")
  sfx_note_missing_library("OpenSSL's libcrypto for mingw" "${ossl_root}/lib/libcrypto.a")
  add_library(sfx_openssl INTERFACE)
  target_include_directories(sfx_openssl SYSTEM INTERFACE "${ossl_root}/include")
  target_link_libraries(sfx_openssl INTERFACE "${ossl_root}/lib/libcrypto.a" user32 advapi32)
endif()

# GoogleTest: Debian's host package; for Windows compiled from the sources Debian ships.
if(SFX_WIN32)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  target_compile_options(gtest PUBLIC -include "${CMAKE_CURRENT_LIST_DIR}/gtest_mingw_notification.h")
  # Machine code only: no optimising link takes the test framework, and with the intermediate
  # form beside its code, the tests' links, which name its archive twice, took its object twice.
  target_compile_options(gtest PRIVATE -fno-lto)
  target_compile_options(gtest_main PRIVATE -fno-lto)
else()
  find_package(GTest REQUIRED)
  if(SFX_BENCH)
    find_package(benchmark REQUIRED)
  endif()
endif()
