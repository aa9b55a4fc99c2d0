# Installs a build into a scratch prefix and tries what was installed, as
# ctest's "install" test (cmake/install.cmake):
#   cmake -DTAVIK_BUILD_DIR=<build> -DTAVIK_SOURCE_DIR=<repo>
#         -DTAVIK_PREFIX=<scratch> -DTAVIK_VERSION=<x.y.z>
#         -DTAVIK_PROGRAMS=Tavik,vmpkg,... -P cmake/check_install.cmake
# Checks: every program and man page lands in its place; the installed Tavik
# (and Tavik-diag) refuse an empty command line with exit code 3, and Tavik
# stays silent; vmpkg answers --help, and --version with the project's
# version; the man pages carry the project's version, document every switch
# and exit code of the README's tables and every command vmpkg --help lists,
# and render without warnings.
cmake_minimum_required(VERSION 3.16)

foreach(var TAVIK_BUILD_DIR TAVIK_SOURCE_DIR TAVIK_PREFIX TAVIK_VERSION
            TAVIK_PROGRAMS)
  if(NOT ${var})
    message(FATAL_ERROR "${var} not set")
  endif()
endforeach()
string(REPLACE "," ";" programs "${TAVIK_PROGRAMS}")

set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

file(REMOVE_RECURSE ${TAVIK_PREFIX})
execute_process(
  COMMAND ${CMAKE_COMMAND} --install ${TAVIK_BUILD_DIR} --prefix ${TAVIK_PREFIX}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${out}")
endif()

# GNUInstallDirs' defaults for a prefix that is not /usr.
set(bin ${TAVIK_PREFIX}/bin)
set(man1 ${TAVIK_PREFIX}/share/man/man1)
set(expected ${man1}/Tavik.1 ${man1}/vmpkg.1
             ${TAVIK_PREFIX}/share/doc/tavik/copyright)
foreach(program ${programs})
  list(APPEND expected ${bin}/${program})
endforeach()
if("Tavik-diag" IN_LIST programs)
  list(APPEND expected ${man1}/Tavik-diag.1)
endif()
foreach(program Tavik vmpkg)
  if(NOT program IN_LIST programs)
    fail("${program} is not among the installed programs")
  endif()
endforeach()
foreach(file ${expected})
  if(NOT EXISTS ${file})
    fail("not installed: ${file}")
  endif()
endforeach()

# Runs an installed program; sets run_status, run_out, run_err.
function(run program)
  execute_process(COMMAND ${bin}/${program} ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  set(run_status "${status}" PARENT_SCOPE)
  set(run_out "${out}" PARENT_SCOPE)
  set(run_err "${err}" PARENT_SCOPE)
endfunction()

foreach(program Tavik Tavik-diag)
  if(program IN_LIST programs AND EXISTS ${bin}/${program})
    run(${program})
    if(NOT run_status STREQUAL "3")
      fail("${program} without a path: exit ${run_status}, expected 3")
    endif()
    if(program STREQUAL "Tavik" AND NOT "${run_out}${run_err}" STREQUAL "")
      fail("Tavik without a path wrote: ${run_out}${run_err}")
    endif()
  endif()
endforeach()

set(usage "")
if(EXISTS ${bin}/vmpkg)
  run(vmpkg --help)
  if(NOT run_status STREQUAL "0")
    fail("vmpkg --help: exit ${run_status}, expected 0")
  endif()
  set(usage "${run_out}")
  run(vmpkg --version)
  if(NOT run_status STREQUAL "0" OR
     NOT run_out MATCHES "^vmpkg ${TAVIK_VERSION}\n$")
    fail("vmpkg --version: exit ${run_status}, \"${run_out}\", expected "
         "\"vmpkg ${TAVIK_VERSION}\"")
  endif()
endif()

# The man pages against the project's version, the README and vmpkg.
foreach(page Tavik vmpkg)
  if(EXISTS ${man1}/${page}.1)
    file(READ ${man1}/${page}.1 text_${page})
    if(NOT text_${page} MATCHES "\\.TH [^\n]*\"Tavik ${TAVIK_VERSION}\"")
      fail("${page}.1: its .TH line does not name Tavik ${TAVIK_VERSION}")
    endif()
  endif()
endforeach()
# The README's switch and exit code tables: rows "| `-r` | ..." and
# "| 3 | ...".
file(STRINGS ${TAVIK_SOURCE_DIR}/README.md rows REGEX "^\\| (`-[a-z]`|[0-9]) \\|")
if(rows STREQUAL "")
  fail("README.md: no switch or exit code table found")
endif()
foreach(row ${rows})
  string(REGEX REPLACE "^\\| `?([-a-z0-9]+)`? \\|.*" "\\1" item "${row}")
  if(item MATCHES "^-")
    string(REPLACE "-" "\\\\-" item "${item}")
  endif()
  # A tagged paragraph (.TP) headed by the switch or the exit code.
  if(NOT text_Tavik MATCHES "\\.TP\n\\.B ${item}\n")
    fail("Tavik.1 has no entry \".TP\" \".B ${item}\" from the README")
  endif()
endforeach()
# Every command vmpkg --help lists: the lines of its "Subcommands:" section,
# each "  NAME  description", up to the next empty line.
set(commands "")
string(FIND "${usage}" "Subcommands:\n" at)
if(at LESS 0)
  fail("vmpkg --help has no \"Subcommands:\" section")
else()
  string(SUBSTRING "${usage}" ${at} -1 section)
  string(REGEX REPLACE "\n\n.*" "" section "${section}")
  string(REGEX MATCHALL "\n  [a-z]+" commands "${section}")
  string(REGEX REPLACE "\n  " "" commands "${commands}")
endif()
if(NOT "create" IN_LIST commands OR NOT "dump" IN_LIST commands)
  fail("vmpkg --help lists neither create nor dump: \"${commands}\"")
endif()
foreach(command ${commands})
  # A tagged paragraph under COMMANDS headed by the command.
  if(NOT text_vmpkg MATCHES "\n\.TP\n\.B vmpkg ${command}[ \n]")
    fail("vmpkg.1 does not document \"${command}\", which vmpkg --help lists")
  endif()
endforeach()

# groff's warnings, where man is there to ask.
find_program(MAN man)
if(MAN)
  foreach(page Tavik vmpkg)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80
              ${MAN} --warnings -E UTF-8 -l ${man1}/${page}.1
      RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
    if(NOT status EQUAL 0 OR NOT err STREQUAL "")
      fail("man -l ${page}.1: exit ${status}: ${err}")
    endif()
  endforeach()
endif()

if(failures)
  message(FATAL_ERROR "The installation into ${TAVIK_PREFIX}:\n${failures}")
endif()
list(LENGTH expected count)
message(STATUS "install: ${count} files in ${TAVIK_PREFIX}, all checked")
