# sfx_add_test(NAME SOURCES ... LIBS ... [LABELS ...] [WINE_PREFIXES win64 win32] [DISPLAY])
# One GoogleTest executable per module. Windows tests run under Wine through
# tools/wine-run.sh, each prefix kept under the build tree and made on first use.
set(SFX_WINE_RUN "${CMAKE_SOURCE_DIR}/tools/wine-run.sh")
set(SFX_WINE_ROOT "${CMAKE_BINARY_DIR}/wine")

function(sfx_add_test name)
  cmake_parse_arguments(T "DISPLAY" "" "SOURCES;LIBS;LABELS;WINE_PREFIXES" ${ARGN})
  if(SFX_FUZZ OR SFX_BENCH)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  if(SFX_WIN32)
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
    target_link_options(${name} PRIVATE -mconsole)
    if(NOT T_WINE_PREFIXES)
      set(T_WINE_PREFIXES win64)
    endif()
    # A 64-bit build runs in the 64-bit prefix only.
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(T_WINE_PREFIXES win64)
    endif()
    foreach(prefix ${T_WINE_PREFIXES})
      set(prefix_dir "${SFX_WINE_ROOT}/${prefix}")
      set(lock "wine-${prefix}-${name}")
      if(T_DISPLAY)
        # A prefix's wineserver puts every window on the display of the run that started it,
        # and a run without one makes window creation fail: display runs get a prefix of their
        # own and take turns in it.
        string(APPEND prefix_dir "-display")
        set(lock "wine-${prefix}-display")
      endif()
      set(run "${SFX_WINE_RUN}" --prefix "${prefix_dir}")
      if(prefix STREQUAL "win32")
        list(APPEND run --arch win32)
      endif()
      if(T_DISPLAY)
        list(APPEND run --display)
      endif()
      add_test(NAME ${name}.${prefix} COMMAND ${run} $<TARGET_FILE:${name}>)
      # Once any thread has ended, Wine may report a crash of the process with exit code 0:
      # its own crash notice is what tells.
      set_tests_properties(${name}.${prefix} PROPERTIES LABELS "wine;${T_LABELS}"
                           RESOURCE_LOCK "${lock}" TIMEOUT 600
                           FAIL_REGULAR_EXPRESSION "wine: Unhandled")
    endforeach()
  else()
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "host;${T_LABELS}" TIMEOUT 600)
  endif()
endfunction()

# sfx_add_fuzzer(NAME SOURCES ... LIBS ... CORPUS dir): a libFuzzer target, built only in the
# fuzz preset and run by the test command for SFX_FUZZ_SECONDS from its committed seeds. New
# inputs go to a scratch corpus in the build tree, never into the source tree.
function(sfx_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT SFX_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(scratch "${CMAKE_CURRENT_BINARY_DIR}/${name}.corpus")
  file(MAKE_DIRECTORY "${scratch}")
  add_test(NAME ${name} COMMAND ${name} -max_total_time=${SFX_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=4096
           -print_final_stats=1 "${scratch}" "${F_CORPUS}")
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 900)
endfunction()

# sfx_add_benchmark(NAME SOURCES ... LIBS ...): Google Benchmark, built only in the bench
# preset; tools/bench.sh runs them beside the reference tools.
function(sfx_add_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT SFX_BENCH)
    return()
  endif()
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()
