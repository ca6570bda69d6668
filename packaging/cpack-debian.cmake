# SPDX-License-Identifier: BSD-2-Clause
# Run by cpack on the staged files before it builds the Debian package: adds the copyright
# file and the changelog that Debian wants in /usr/share/doc/kestrel (both made from the
# project's LICENSE and CHANGELOG.md by debian-docs.sh), leaves out the LICENSE file that
# the copyright file holds, and compresses the manual page and the changelog with gzip -9n.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${usr}/${CPACK_KESTREL_DOC_DIR}")
set(man "${usr}/${CPACK_KESTREL_MAN_DIR}/man1/kestrel.1")
set(docs_script "${CPACK_KESTREL_SOURCE_DIR}/packaging/debian-docs.sh")
if(NOT IS_DIRECTORY "${doc}")
  message(FATAL_ERROR "no documentation folder ${doc} among the staged files")
endif()
if(NOT EXISTS "${man}")
  message(FATAL_ERROR "the manual page ${man} is missing (is help2man installed?)")
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}")
  endif()
endfunction()

run(sh "${docs_script}" copyright "${CPACK_KESTREL_SOURCE_DIR}/LICENSE" OUTPUT_FILE "${doc}/copyright")
run(sh "${docs_script}" changelog "${CPACK_KESTREL_SOURCE_DIR}/CHANGELOG.md" "${CPACK_PACKAGE_CONTACT}"
    OUTPUT_FILE "${doc}/changelog")
file(REMOVE "${doc}/LICENSE")
run(gzip -9nf "${doc}/changelog" "${man}")
