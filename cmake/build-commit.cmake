# SPDX-License-Identifier: BSD-2-Clause
# Writes the header that tells the `kestrel` command which commit it is built from:
# `git describe --always --dirty` of the source tree, or an empty text when the tree is no
# git checkout (a source archive) or git is missing. Run at every build; the header is
# rewritten only when its text changes, so an unchanged tree recompiles nothing.
#
#   cmake -DSOURCE_DIR=<tree> -DOUTPUT=<header> -P build-commit.cmake
find_package(Git QUIET)
set(commit "")
if(GIT_EXECUTABLE)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE toplevel OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
  file(REAL_PATH "${SOURCE_DIR}" source_dir)
  # Only the tree's own repository counts, not one the unpacked sources happen to sit in.
  if(status EQUAL 0 AND toplevel STREQUAL source_dir)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --always --dirty
                    OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND described MATCHES "^[0-9A-Za-z._+-]+$")
      set(commit "${described}")
    endif()
  endif()
endif()

set(text "// The commit this build is made from (git describe), empty when unknown.\n#pragma once\n#define KESTREL_BUILD_COMMIT \"${commit}\"\n")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
