# What Tavik's own Windows Installer package (cmake/msi.cmake) and a
# library's package (cmake/library_msi.cmake) share: Windows Installer's
# limits, the name-based codes, the texts wixl can take, the types of the
# custom actions that run Tavik.exe, and the calls of wixl and msibuild.
# Included by both, in a build and in script mode, and by the check of the
# packages' tables (cmake/check_msi_tables.cmake), which holds the packages
# to the same custom action types.
include_guard(GLOBAL)

# A custom action's type is a sum of flags. Tavik's actions start the
# installed Tavik.exe (an executable, 2, from a file of the package, 16) in
# the installation script (1024), so that they run after the files are in
# place; in a machine-wide package outside the user's context (2048), so
# that Tavik.exe can write the machine's list. A rollback action (256)
# ignores Tavik.exe's exit code (64): a failing undo must not stop the rest
# of the rollback.
set(TAVIK_MSI_ACTION_EXE_FROM_FILE 18)
set(TAVIK_MSI_ACTION_RETURN_IGNORED 64)
set(TAVIK_MSI_ACTION_ROLLBACK 256)
set(TAVIK_MSI_ACTION_IN_SCRIPT 1024)
set(TAVIK_MSI_ACTION_NO_IMPERSONATE 2048)
# The four types in use, by scope (user or machine): deferred_user 1042,
# deferred_machine 3090, rollback_user 1362, rollback_machine 3410.
math(EXPR TAVIK_MSI_ACTION_DEFERRED_USER
     "${TAVIK_MSI_ACTION_EXE_FROM_FILE} + ${TAVIK_MSI_ACTION_IN_SCRIPT}")
math(EXPR TAVIK_MSI_ACTION_ROLLBACK_USER
     "${TAVIK_MSI_ACTION_DEFERRED_USER} + ${TAVIK_MSI_ACTION_ROLLBACK} + ${TAVIK_MSI_ACTION_RETURN_IGNORED}")
foreach(kind DEFERRED ROLLBACK)
  math(EXPR TAVIK_MSI_ACTION_${kind}_MACHINE
       "${TAVIK_MSI_ACTION_${kind}_USER} + ${TAVIK_MSI_ACTION_NO_IMPERSONATE}")
endforeach()

# Windows Installer has no UTF-8 code page; every text of a package is in
# this one.
set(TAVIK_MSI_CODEPAGE 1252)
set(TAVIK_MSI_CHARSET WINDOWS-1252)

# tavik_msi_version_ok(OUT VERSION): whether VERSION is X.Y.Z within what
# Windows Installer compares: major and minor up to 255, build up to 65535.
function(tavik_msi_version_ok out version)
  set(ok FALSE)
  if(version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$"
     AND NOT CMAKE_MATCH_1 GREATER 255 AND NOT CMAKE_MATCH_2 GREATER 255
     AND NOT CMAKE_MATCH_3 GREATER 65535)
    set(ok TRUE)
  endif()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

# tavik_msi_uuid(OUT NAMESPACE NAME): the name-based (SHA-1) code of NAME
# under NAMESPACE, in capitals. Every code a package holds is one, so a
# rebuild of a package is the same product with the same components.
function(tavik_msi_uuid out namespace name)
  string(UUID uuid NAMESPACE ${namespace} NAME "${name}" TYPE SHA1 UPPER)
  set(${out} ${uuid} PARENT_SCOPE)
endfunction()

# tavik_msi_folder_name_ok(OUT NAME): whether NAME can name a Windows
# folder: not empty, none of \ / : * ? " < > |, no trailing dot or space.
function(tavik_msi_folder_name_ok out name)
  set(ok TRUE)
  if(name STREQUAL "" OR name MATCHES "[\\/:*?\"<>|]" OR name MATCHES "[. ]$")
    set(ok FALSE)
  endif()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

# tavik_msi_codepage_ok(OUT TEXT): whether TEXT (UTF-8) has a form in the
# package's code page; iconv decides, as it knows the code page.
function(tavik_msi_codepage_ok out text)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo_append "${text}"
                  COMMAND iconv -f UTF-8 -t ${TAVIK_MSI_CHARSET}
                  RESULTS_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  set(ok TRUE)
  foreach(code IN LISTS status)
    if(NOT code EQUAL 0)
      set(ok FALSE)
    endif()
  endforeach()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

# tavik_msi_define_ok(OUT TEXT): whether TEXT can be the value of a
# definition of wixl's preprocessor. wixl takes the value as it stands,
# without XML escapes, up to the ?> that ends the instruction, less one pair
# of quotes around it, so & < > ' and " in it are themselves, and it writes
# them escaped where $(var.X) puts them into an attribute. A ?> would end
# the instruction early and have the rest read as source. wixl 0.101 leaves
# a $(...) in the value alone, but a preprocessor that expanded it would
# put the building machine's environment ($(env.X)) into the package and
# give the install folder another name from one build to the next.
function(tavik_msi_define_ok out text)
  set(ok TRUE)
  foreach(stop "?>" "$(")
    string(FIND "${text}" "${stop}" at)
    if(NOT at EQUAL -1)
      set(ok FALSE)
    endif()
  endforeach()
  set(${out} ${ok} PARENT_SCOPE)
endfunction()

# tavik_msi_define(OUT NAME VALUE): the definition's line; the value is
# one that tavik_msi_define_ok takes.
function(tavik_msi_define out name value)
  set(${out} "<?define ${name} = \"${value}\" ?>" PARENT_SCOPE)
endfunction()

# The definition whose value is a lone $. wixl's preprocessor drops a lone
# $, expands $(...) even after $$, and decodes &#36; before it looks, so no
# escape of the source makes every $ of a file name come out as one; a
# variable's value comes out as it stands. Every source that an attribute
# of tavik_msi_xml goes into defines it (tavik_msi_define with "$").
set(TAVIK_MSI_DOLLAR TavikDollar)

# tavik_msi_xml(OUT TEXT): TEXT for an attribute of a source wixl reads
# (the .wxs or a .wxi it includes), so that the package holds TEXT exactly:
# & first, then < > " ' as their entities, and each $ as the variable
# above. A file name may hold ' & and $; a name that came out otherwise
# would be installed, and the library registered, under another name.
function(tavik_msi_xml out text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  string(REPLACE "\"" "&quot;" text "${text}")
  string(REPLACE "'" "&apos;" text "${text}")
  string(REPLACE "$" "$(var.${TAVIK_MSI_DOLLAR})" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# tavik_msi_find_tools(): sets TAVIK_MSI_WIXL and TAVIK_MSI_MSIBUILD to the
# programs, or to ...-NOTFOUND; looked up on PATH alone, as a shell would.
macro(tavik_msi_find_tools)
  find_program(TAVIK_MSI_WIXL wixl NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH
               NO_CMAKE_SYSTEM_PATH)
  find_program(TAVIK_MSI_MSIBUILD msibuild NO_CMAKE_PATH
               NO_CMAKE_ENVIRONMENT_PATH NO_CMAKE_SYSTEM_PATH)
endmacro()

# tavik_msi_wixl(RESULT_VARIABLE VAR LOG_FILE FILE DIRECTORY DIR ARCH ARCH
#                SOURCE WXS OUTPUT MSI [DEFINES NAME=VALUE...]): runs wixl
# in DIR, where the sources the .wxs names lie (wixl takes them relative to
# it); its output goes to LOG_FILE.
function(tavik_msi_wixl)
  cmake_parse_arguments(ARG ""
                        "RESULT_VARIABLE;LOG_FILE;DIRECTORY;ARCH;SOURCE;OUTPUT"
                        "DEFINES" ${ARGN})
  set(defines)
  foreach(define IN LISTS ARG_DEFINES)
    list(APPEND defines -D ${define})
  endforeach()
  execute_process(COMMAND ${TAVIK_MSI_WIXL} -a ${ARG_ARCH} ${defines}
                          -o ${ARG_OUTPUT} ${ARG_SOURCE}
                  WORKING_DIRECTORY ${ARG_DIRECTORY}
                  RESULT_VARIABLE status
                  OUTPUT_FILE ${ARG_LOG_FILE} ERROR_FILE ${ARG_LOG_FILE})
  set(${ARG_RESULT_VARIABLE} ${status} PARENT_SCOPE)
endfunction()

# tavik_msi_msibuild(RESULT_VARIABLE VAR [LOG_VARIABLE VAR] PACKAGE MSI
#                    ARGS ARG...): msibuild MSI ARG...; its output is kept
# in LOG_VARIABLE when one is named, else it is shown.
function(tavik_msi_msibuild)
  cmake_parse_arguments(ARG "" "RESULT_VARIABLE;LOG_VARIABLE;PACKAGE" "ARGS"
                        ${ARGN})
  if(ARG_LOG_VARIABLE)
    execute_process(COMMAND ${TAVIK_MSI_MSIBUILD} ${ARG_PACKAGE} ${ARG_ARGS}
                    RESULT_VARIABLE status OUTPUT_VARIABLE log
                    ERROR_VARIABLE log)
    set(${ARG_LOG_VARIABLE} "${log}" PARENT_SCOPE)
  else()
    execute_process(COMMAND ${TAVIK_MSI_MSIBUILD} ${ARG_PACKAGE} ${ARG_ARGS}
                    RESULT_VARIABLE status)
  endif()
  set(${ARG_RESULT_VARIABLE} ${status} PARENT_SCOPE)
endfunction()
