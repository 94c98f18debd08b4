# sfx_add_test(NAME SOURCES ... LIBS ... [LABELS ...] [WINE_PREFIXES win64 win32] [DISPLAY])
# One GoogleTest executable per module. Windows tests run under Wine through
# tools/wine-run.sh, each prefix kept under the build tree and made on first use: the 32-bit
# build in a 64-bit (WOW64) and a 32-bit prefix unless WINE_PREFIXES says otherwise, the 64-bit
# build in the 64-bit one. LABELS native-cpu marks a test that means nothing on an emulated CPU
# (tools/wine-cpu.sh): one whose point is a CPU fault's exact code, or one that needs the
# process's memory at the addresses it sees.
set(SFX_WINE_RUN "${CMAKE_SOURCE_DIR}/tools/wine-run.sh")
set(SFX_WINE_ROOT "${CMAKE_BINARY_DIR}/wine")
# No Windows test may take longer: a crash on one thread can leave a process waiting for ever,
# and a crash must end its test, not CI's time.
set(SFX_WINE_TIMEOUT 180)
# The prefixes a whole-program test runs in: the 32-bit build in a 64-bit (WOW64) and a 32-bit
# prefix, the 64-bit build in the 64-bit one.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SFX_WINE_ARCHES win64 win32)
else()
  set(SFX_WINE_ARCHES win64)
endif()
# sfx_wine_script_test(NAME ARCH [LOCK name] [LABELS ...]): the properties of a test script that
# runs programs through tools/wine-run.sh, which takes the prefix's kind from SFX_WINE_ARCH.
function(sfx_wine_script_test name arch)
  cmake_parse_arguments(S "" "LOCK" "LABELS;ENVIRONMENT" ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS "wine;${S_LABELS}" TIMEOUT ${SFX_WINE_TIMEOUT}
                       ENVIRONMENT "SFX_WINE_ARCH=${arch};${S_ENVIRONMENT}")
  if(S_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${S_LOCK}")
  endif()
endfunction()

# The arguments of tools/wine-run.sh for a prefix name.
function(sfx_wine_arch_args prefix out)
  if(prefix STREQUAL "win32")
    set(${out} --arch win32 PARENT_SCOPE)
  else()
    set(${out} --arch win64 PARENT_SCOPE)
  endif()
endfunction()

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
      set(T_WINE_PREFIXES win64 win32)
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
      sfx_wine_arch_args(${prefix} arch)
      set(run "${SFX_WINE_RUN}" --prefix "${prefix_dir}" ${arch})
      if(T_DISPLAY)
        list(APPEND run --display)
      endif()
      # Through the launcher, a crash fails the test with its exception code. Wine's own crash
      # notice tells too: a 32-bit process names an 8-digit address. (Wine's 64-bit helper
      # processes of a new prefix have been seen to crash on their own; that is not the test's.)
      add_test(NAME ${name}.${prefix} COMMAND ${run} $<TARGET_FILE:wine_launcher> Z:$<TARGET_FILE:${name}>)
      set_tests_properties(${name}.${prefix} PROPERTIES LABELS "wine;${T_LABELS}"
                           RESOURCE_LOCK "${lock}" TIMEOUT ${SFX_WINE_TIMEOUT}
                           FAIL_REGULAR_EXPRESSION "wine: Unhandled [^\n]* at address [0-9A-Fa-f]{8} ")
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
  # libFuzzer prints its seed first; a failing input is kept beside the scratch corpus, so a
  # failure replays with `NAME -seed=N` or `NAME FILE`.
  add_test(NAME ${name} COMMAND ${name} -max_total_time=${SFX_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=4096
           -print_final_stats=1 "-artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${name}-" "${scratch}" "${F_CORPUS}")
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

# The 32-bit Windows build's compiler settings (warnings.cmake), checked where they matter.
if(SFX_WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  sfx_add_test(calling_convention_win_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/calling_convention_win_test.cpp)
endif()
