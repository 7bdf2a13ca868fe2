# Writes OUTPUT, a header with the commit the tree was built from (script mode, run at each
# build). The header is rewritten only when its content changes, so an unchanged commit does not
# rebuild what includes it. "unknown" outside a git checkout of this tree or without git.
#   cmake -DSOURCE_DIR=<tree> -DOUTPUT=<header> -P build_info.cmake
set(commit "unknown")
find_program(git_program git)
if(git_program)
  execute_process(COMMAND "${git_program}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE status ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  # A tree unpacked inside some other checkout must not take that checkout's commit.
  if(status EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  if(status EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND "${git_program}" -C "${SOURCE_DIR}" describe --always --dirty
                            --abbrev=12
                    OUTPUT_VARIABLE described RESULT_VARIABLE status ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(status EQUAL 0 AND described MATCHES "^[A-Za-z0-9._+-]+$")
      set(commit "${described}")
    endif()
  endif()
endif()
set(content "#pragma once\n// Generated at build time by cmake/build_info.cmake.\n#define DM_BUILD_COMMIT \"${commit}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
