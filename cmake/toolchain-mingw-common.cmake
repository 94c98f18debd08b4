# What both mingw-w64 toolchains share; the including file sets SFX_MINGW_TRIPLET first. The
# win32 thread model links no winpthread DLL: the programs need nothing but system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${SFX_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${SFX_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${SFX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SFX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Archives of objects built with -flto: gcc's wrappers index their intermediate symbols too.
set(CMAKE_AR ${SFX_MINGW_TRIPLET}-gcc-ar-win32)
set(CMAKE_RANLIB ${SFX_MINGW_TRIPLET}-gcc-ranlib-win32)
# Every image's link time, and the compiler's date and time, are the commit's
# (source_date_epoch.sh): the same commit builds to the same bytes in any folder, at any time.
foreach(lang C CXX)
  set(CMAKE_${lang}_COMPILER_LAUNCHER sh ${CMAKE_CURRENT_LIST_DIR}/source_date_epoch.sh)
  set(CMAKE_${lang}_LINKER_LAUNCHER sh ${CMAKE_CURRENT_LIST_DIR}/source_date_epoch.sh)
endforeach()
