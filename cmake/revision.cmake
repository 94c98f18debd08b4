# Run at build time (cmake -P): writes OUT from IN with SFX_VERSION and SFX_REVISION, the commit
# SOURCE_DIR is checked out at. A tree that is no checkout of its own (a source archive, even
# one unpacked inside another repository) says "unknown" rather than failing or borrowing the
# enclosing repository's commit. configure_file keeps OUT untouched when nothing changed, so a
# build after no commit recompiles nothing.
set(SFX_REVISION unknown)
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --show-toplevel
                RESULT_VARIABLE status OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(status EQUAL 0)
  file(REAL_PATH "${SOURCE_DIR}" source)
  file(REAL_PATH "${top}" top)
  if(top STREQUAL source)
    execute_process(COMMAND git -C "${SOURCE_DIR}" describe --always --dirty
                    RESULT_VARIABLE status OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(status EQUAL 0 AND NOT revision STREQUAL "")
      set(SFX_REVISION "${revision}")
    endif()
  endif()
endif()
configure_file("${IN}" "${OUT}" @ONLY)
