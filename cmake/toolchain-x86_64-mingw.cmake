# mingw-w64 x86_64, the fallback for machines whose kernel cannot run 32-bit programs (and so
# no 32-bit Wine): the same Windows code and tests, built as 64-bit.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSTEM_VERSION 5.2)
set(SFX_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
