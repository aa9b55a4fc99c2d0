# The tables of a package that wixl is known to get wrong, read with
# msiinfo; no Windows Installer is needed. A test of a Windows cross build
# (cmake/msi.cmake adds them) and of scripts/test-msi.sh, for every package
# it makes:
#
#   cmake -DPACKAGE=PKG.msi -DARCH=x86|x64 -DKIND=tavik|machine|user
#         -P cmake/check_msi_tables.cmake
#
# KIND is Tavik's own package, or a library package made machine-wide or
# per user. Quiet when the tables are right; else one line that says what
# is wrong, and exit 1.
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/msi_common.cmake)

foreach(variable PACKAGE ARCH KIND)
  if(NOT ${variable})
    message(FATAL_ERROR "check_msi_tables.cmake: ${variable} is not set")
  endif()
endforeach()
find_program(msiinfo msiinfo)
if(NOT msiinfo)
  message(FATAL_ERROR "check_msi_tables.cmake: msiinfo is needed "
                      "(scripts/setup.sh --windows installs it)")
endif()
if(NOT EXISTS "${PACKAGE}")
  message(FATAL_ERROR "no package ${PACKAGE}")
endif()

# table_text(OUT TABLE): the rows of TABLE, a line each, fields separated
# by tabs, after a newline; table_rows(OUT TABLE): the same as a list, with
# every ; in a field read as a space (no field that is checked holds one).
function(table_text out table)
  execute_process(COMMAND ${msiinfo} export "${PACKAGE}" ${table}
                  RESULT_VARIABLE status OUTPUT_VARIABLE text
                  ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PACKAGE}: msiinfo export ${table} failed: ${error}")
  endif()
  string(REPLACE "\r" "" text "${text}")
  # Three lines of header: the column names, their types, the table's key.
  foreach(line 1 2 3)
    string(FIND "${text}" "\n" at)
    math(EXPR at "${at} + 1")
    string(SUBSTRING "${text}" ${at} -1 text)
  endforeach()
  string(PREPEND text "\n")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
function(table_rows out table)
  table_text(text ${table})
  string(REPLACE ";" " " text "${text}")
  string(REPLACE "\n" ";" rows "${text}")
  list(FILTER rows EXCLUDE REGEX "^$")
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${msiinfo} suminfo "${PACKAGE}"
                RESULT_VARIABLE status OUTPUT_VARIABLE suminfo)
string(REGEX MATCH "\nTemplate: ([^\r\n]*)" template "\n${suminfo}")
set(template "${CMAKE_MATCH_1}")
if(ARCH STREQUAL x86)
  set(platform "Intel;1033")
elseif(ARCH STREQUAL x64)
  set(platform "x64;1033")
else()
  message(FATAL_ERROR "check_msi_tables.cmake: ARCH is x86 or x64, not ${ARCH}")
endif()
if(NOT status EQUAL 0 OR NOT template STREQUAL platform)
  message(FATAL_ERROR "${PACKAGE} is for platform '${template}', not ${ARCH}")
endif()

# The actions in the order they run (by sequence number, then name), each
# after a space.
table_rows(rows InstallExecuteSequence)
set(keyed)
foreach(row IN LISTS rows)
  string(REPLACE "\t" ";" fields "${row}")
  list(GET fields 0 action)
  list(GET fields 2 number)
  if(number STREQUAL "")
    set(number 0)
  endif()
  # Sequence numbers are 16-bit: shifted and padded, they sort as text.
  math(EXPR number "${number} + 100000")
  list(APPEND keyed "${number} ${action}")
endforeach()
list(SORT keyed)
set(sequence "")
foreach(entry IN LISTS keyed)
  string(REGEX REPLACE "^[0-9]+" "" entry "${entry}")
  string(APPEND sequence "${entry}")
endforeach()
string(APPEND sequence " ")

# expect_order(WHAT RUN...): each RUN (names that follow one another) comes
# after the one before it, with any actions between.
function(expect_order what)
  string(REPLACE ";" "( | .* )" pattern "${ARGN}")
  if(NOT sequence MATCHES " ${pattern} ")
    message(FATAL_ERROR "${PACKAGE}: ${what}:${sequence}")
  endif()
endfunction()
expect_order("RemoveExistingProducts is not right after InstallInitialize"
             "InstallInitialize RemoveExistingProducts ProcessComponents")

if(KIND STREQUAL tavik)
  expect_order("the environment actions are out of place"
               RemoveEnvironmentStrings InstallFiles WriteEnvironmentStrings
               InstallFinalize)
  table_text(text Environment)
  set(found FALSE)
  if(text MATCHES "\nTavikPath\t=-\\*PATH\t\\[~\\];\\[INSTALLFOLDER\\]\t")
    set(found TRUE)
  endif()
  if(NOT found)
    message(FATAL_ERROR "${PACKAGE} has no PATH row in its Environment table")
  endif()
  return()
elseif(NOT KIND STREQUAL machine AND NOT KIND STREQUAL user)
  message(FATAL_ERROR "check_msi_tables.cmake: KIND is tavik, machine or user, not ${KIND}")
endif()

expect_order("Tavik's actions are out of place"
             "TavikWithdrawRollback TavikWithdraw RemoveFiles"
             "InstallFiles TavikComplete TavikRegisterRollback TavikRegister"
             InstallFinalize)
string(TOUPPER ${KIND} scope)
set(deferred ${TAVIK_MSI_ACTION_DEFERRED_${scope}})
set(rollback ${TAVIK_MSI_ACTION_ROLLBACK_${scope}})
table_rows(rows CustomAction)
set(actions)
foreach(row IN LISTS rows)
  string(REPLACE "\t" ";" fields "${row}")
  list(GET fields 0 action)
  list(GET fields 1 type)
  list(APPEND actions "${action}:${type}")
endforeach()
list(SORT actions)
string(REPLACE ";" " " actions "${actions}")
set(expected "TavikComplete:${deferred} TavikRegister:${deferred} TavikRegisterRollback:${rollback} TavikWithdraw:${deferred} TavikWithdrawRollback:${rollback}")
if(NOT actions STREQUAL expected)
  message(FATAL_ERROR "${PACKAGE}: custom action types ${actions}, not ${expected}")
endif()
