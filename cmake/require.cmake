# SPDX-License-Identifier: BSD-2-Clause
# Dependencies found or the configuration stopped with one line naming the Debian package
# that provides them (tools/install-deps.sh installs them all).

function(kestrel_missing what package)
  # Indented, CMake prints the text as it is instead of wrapping it.
  message(FATAL_ERROR "  ${what} not found: install the Debian package ${package} "
                      "(tools/install-deps.sh installs every package Kestrel needs)")
endfunction()

# kestrel_require_package(NAME PACKAGE [find_package arguments...])
macro(kestrel_require_package name package)
  find_package(${name} ${ARGN} QUIET)
  if(NOT ${name}_FOUND)
    kestrel_missing("${name}" "${package}")
  endif()
endmacro()

# kestrel_require_module(PREFIX MODULE PACKAGE): a pkg-config module as the imported target
# PkgConfig::PREFIX.
function(kestrel_require_module prefix module package)
  find_package(PkgConfig QUIET)
  if(NOT PKG_CONFIG_FOUND)
    kestrel_missing("pkg-config" "pkg-config")
  endif()
  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET GLOBAL ${module})
  if(NOT ${prefix}_FOUND)
    kestrel_missing("${module} (pkg-config module)" "${package}")
  endif()
endfunction()
