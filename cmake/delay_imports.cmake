# Delay-import libraries for the Windows DLLs that the stub's own code calls. The loader maps a
# static import, and everything that DLL imports in turn, before the entry routine runs; where
# a system does not protect those dependencies as known DLLs, a copy planted beside the stub
# would be taken. A delay-loaded DLL is mapped on its first call instead, after the entry
# routine has restricted the search to the system folder.
#   sfx_delay_import(user32) gives the target sfx_delay_user32 to link against.
function(sfx_delay_import name)
  set(dir "${CMAKE_BINARY_DIR}/delayimp")
  set(import_lib "${CMAKE_FIND_ROOT_PATH}/lib/lib${name}.a")
  set(def "${dir}/${name}.def")
  set(lib "${dir}/lib${name}_delay.a")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(pattern "s/^[0-9a-f]* I __imp__\\(.*\\)$/\\1/p")
    set(kill_at --kill-at)
  else()
    set(pattern "s/^[0-9a-f]* I __imp_\\(.*\\)$/\\1/p")
    set(kill_at)
  endif()
  add_custom_command(OUTPUT "${lib}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND sh -c "{ echo EXPORTS; ${SFX_MINGW_TRIPLET}-nm -g --defined-only '${import_lib}' | sed -n '${pattern}' | sort -u; } > '${def}'"
    COMMAND ${SFX_MINGW_TRIPLET}-dlltool --input-def "${def}" --dllname ${name}.dll ${kill_at}
            --output-delaylib "${lib}"
    DEPENDS "${import_lib}"
    VERBATIM)
  add_custom_target(sfx_delay_${name}_lib DEPENDS "${lib}")
  add_library(sfx_delay_${name} STATIC IMPORTED GLOBAL)
  set_target_properties(sfx_delay_${name} PROPERTIES IMPORTED_LOCATION "${lib}")
  add_dependencies(sfx_delay_${name} sfx_delay_${name}_lib)
endfunction()

if(SFX_WIN32)
  foreach(dll user32 gdi32 ole32)
    sfx_delay_import(${dll})
  endforeach()
endif()
