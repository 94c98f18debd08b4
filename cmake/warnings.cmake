add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(SFX_WIN32)
  # Unicode Win32 API; declarations of Windows 7 so newer functions can be named, while every
  # function newer than XP SP2 is looked up at run time.
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                          _WIN32_WINNT=0x0601 WINVER=0x0601
                          # msvcrt's printf family: "%s" in a wide format takes a wide string.
                          __USE_MINGW_ANSI_STDIO=0)
  # No runtime DLLs beside the stub: libgcc, libstdc++ and the rest are linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # What nothing calls is dropped; the stub's size is checked.
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections)
  # The crash guard turns hardware faults into C++ exceptions: any instruction that may fault
  # must be able to throw, with exact unwind data at every instruction.
  add_compile_options(-fnon-call-exceptions -fasynchronous-unwind-tables)
  # GCC's identical-code folding takes a 32-bit member function (thiscall: `this` in ECX, the
  # callee pops its arguments) and a free function (cdecl) with the same body for one, since the
  # member's convention is not written on its type: LzmaFree and CUFile::Release became one
  # body that pops four bytes the codec's caller still counts as its own, and the stub returned
  # into its stack. Within one object this can strike any build; across objects, any optimised
  # link.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_compile_options(-fno-ipa-icf-functions)
  endif()
  # The objects carry both machine code and the compiler's intermediate form: the stub's link
  # (stub/CMakeLists.txt) optimises across them, so that what nothing calls never becomes code,
  # nor an unwind entry that ld would have to keep. Every other link takes the code as it is:
  # gcc would otherwise optimise any link whose objects carry the intermediate form.
  add_compile_options(-flto -ffat-lto-objects)
  add_link_options(-fno-lto)
  # No string member is taken from libstdc++'s instantiation objects (string_instances.h).
  add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/string_instances.h>")
  # Each image's link time and the compiler's date are the commit's (the toolchain's launchers).
  # After a new commit, even one that changed none of their inputs, the shipped images relink and
  # every source that reads the compiler's date compiles again, so that an incremental build
  # gives the bytes a fresh checkout does.
  set(SFX_SOURCE_DATE_STAMP "${CMAKE_BINARY_DIR}/source_date_epoch")
  add_custom_target(sfx_source_date
    COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/source_date_epoch.sh" --stamp "${SFX_SOURCE_DATE_STAMP}"
    BYPRODUCTS "${SFX_SOURCE_DATE_STAMP}" VERBATIM)
  cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL sfx_rebuild_at_new_commit "${CMAKE_SOURCE_DIR}")
elseif(SFX_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(SFX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# The targets of folder and of every folder under it.
function(sfx_targets_under folder out)
  get_property(targets DIRECTORY "${folder}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subfolders DIRECTORY "${folder}" PROPERTY SUBDIRECTORIES)
  foreach(subfolder IN LISTS subfolders)
    sfx_targets_under("${subfolder}" more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(sfx_rebuild_at_new_commit top)
  foreach(image sfxstub sfxpack)
    if(TARGET ${image})
      add_dependencies(${image} sfx_source_date)
      set_property(TARGET ${image} APPEND PROPERTY LINK_DEPENDS "${SFX_SOURCE_DATE_STAMP}")
    endif()
  endforeach()
  sfx_targets_under("${top}" targets)
  foreach(target IN LISTS targets)
    get_target_property(sources ${target} SOURCES)
    get_target_property(folder ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
      if(source MATCHES "^\\$<" OR NOT source MATCHES "\\.(c|cpp)$")
        continue()
      endif()
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${folder}")
      if(NOT EXISTS "${source}")  # made by the build
        continue()
      endif()
      file(STRINGS "${source}" dated REGEX "__DATE__|__TIME__" LIMIT_COUNT 1)
      if(dated)
        set_property(SOURCE "${source}" TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS
                     "${SFX_SOURCE_DATE_STAMP}")
        add_dependencies(${target} sfx_source_date)
      endif()
    endforeach()
  endforeach()
endfunction()

