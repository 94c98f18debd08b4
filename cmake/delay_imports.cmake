# Delay-loaded imports of the Windows DLLs that the stub's own code calls. The loader maps a
# static import, and everything that DLL imports in turn, before the entry routine runs; where a
# system does not protect those dependencies as known DLLs, a copy planted beside the stub would
# be taken. A delay-loaded DLL is mapped on its first call instead, after the entry routine has
# restricted the search, and root/delay_load.cpp maps it from the system folder by full path.
#
# The functions are listed by name, not taken wholesale from the import library, for two
# reasons. GNU ld for i386 drops the code of an import-library member whose thunk symbol nothing
# names, and code calls through the import slot, never the thunk: the slot then points at
# nothing and the first call jumps to address 0. So every listed thunk is kept by naming it
# (-u) at link time. And a function missing here is not silently delay-loaded with a zero slot:
# it comes from the ordinary import library, where the KnownDLL and import checks see it.
set(SFX_DELAY_user32
  AllowSetForegroundWindow BeginPaint CharUpperBuffW CreateWindowExW DefWindowProcW
  DispatchMessageW DrawTextW EndPaint FillRect FindWindowW GetClientRect GetDC GetMessageW
  GetSystemMetrics GetWindowRect GetWindowRgn GetWindowThreadProcessId InvalidateRect IsWindow
  IsWindowVisible KillTimer LoadCursorW LoadIconW MessageBoxW MoveWindow PostMessageW
  PostQuitMessage RegisterClassExW ReleaseDC SendMessageW SetTimer SetWindowRgn SetWindowTextW
  TranslateMessage UnregisterClassW)
set(SFX_DELAY_gdi32
  BitBlt CreateCompatibleDC CreateDIBSection CreatePen CreateRectRgn CreateRoundRectRgn
  CreateSolidBrush DeleteDC DeleteObject GdiFlush GetStockObject LineTo MoveToEx PtInRegion
  SelectObject SetBkMode SetTextColor)
set(SFX_DELAY_ole32 CreateStreamOnHGlobal)

# Every executable and DLL this build links gets its delay-import table entered in its data
# directory right after linking, inside the link rule itself so that no image is missed.
if(SFX_WIN32)
  find_program(SFX_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
  set(enter "\"${SFX_SYSTEM_PYTHON}\" \"${PROJECT_SOURCE_DIR}/tools/pe_imports.py\" enter-delay-table <TARGET>")
  foreach(lang C CXX)
    string(APPEND CMAKE_${lang}_LINK_EXECUTABLE " && ${enter}")
    string(APPEND CMAKE_${lang}_CREATE_SHARED_LIBRARY " && ${enter}")
  endforeach()
endif()

#   sfx_delay_import(user32) gives the target sfx_delay_user32 to link against.
function(sfx_delay_import name)
  set(dir "${CMAKE_BINARY_DIR}/delayimp")
  set(import_lib "${CMAKE_FIND_ROOT_PATH}/lib/lib${name}.a")
  set(def "${dir}/${name}.def")
  set(lib "${dir}/lib${name}_delay.a")
  # The import library's own names: on i686 they carry the stdcall decoration ("Name@bytes")
  # that both the thunk symbols and the definition file need.
  execute_process(COMMAND ${SFX_MINGW_TRIPLET}-nm -g --defined-only "${import_lib}"
                  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(imp "__imp__")
    set(thunk "_")
    set(kill_at --kill-at)
  else()
    set(imp "__imp_")
    set(thunk "")
    set(kill_at)
  endif()
  set(exports "EXPORTS\n")
  set(keep)
  foreach(function ${SFX_DELAY_${name}})
    if(NOT symbols MATCHES " I ${imp}(${function}(@[0-9]+)?)\n")
      message(FATAL_ERROR "${import_lib} has no ${function}")
    endif()
    string(APPEND exports "${CMAKE_MATCH_1}\n")
    list(APPEND keep "-Wl,-u,${thunk}${CMAKE_MATCH_1}")
  endforeach()
  # Rewritten only when it changes, so a new configure run relinks nothing.
  file(WRITE "${def}.new" "${exports}")
  file(COPY_FILE "${def}.new" "${def}" ONLY_IF_DIFFERENT)
  add_custom_command(OUTPUT "${lib}"
    COMMAND ${SFX_MINGW_TRIPLET}-dlltool --input-def "${def}" --dllname ${name}.dll ${kill_at}
            --output-delaylib "${lib}"
    DEPENDS "${def}"
    VERBATIM)
  add_custom_target(sfx_delay_${name}_lib DEPENDS "${lib}")
  add_library(sfx_delay_${name}_thunks STATIC IMPORTED GLOBAL)
  set_target_properties(sfx_delay_${name}_thunks PROPERTIES IMPORTED_LOCATION "${lib}"
                        INTERFACE_LINK_LIBRARIES tzk_delay_load)
  add_dependencies(sfx_delay_${name}_thunks sfx_delay_${name}_lib)
  add_library(sfx_delay_${name} INTERFACE)
  target_link_libraries(sfx_delay_${name} INTERFACE sfx_delay_${name}_thunks)
  target_link_options(sfx_delay_${name} INTERFACE ${keep})
endfunction()

if(SFX_WIN32)
  foreach(dll user32 gdi32 ole32)
    sfx_delay_import(${dll})
  endforeach()
endif()
