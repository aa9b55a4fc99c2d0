# What a Windows program of this project must be, read from its headers
# with objdump; no Windows is needed. A test of a Windows cross build
# (tests/CMakeLists.txt adds one per program) and so part of
# scripts/test-windows.sh:
#
#   cmake -DPROGRAM=EXE -DOBJDUMP=OBJDUMP -DEXPECT="gui;manifest;static"
#         -P cmake/check_windows_exe.cmake
#
# EXPECT names what is checked:
#   gui       a program of the GUI subsystem: no console flashes up when an
#             installer starts it;
#   console   a program of the console subsystem (the diagnosis build);
#   manifest  a manifest resource (type 24) asking for "asInvoker": the
#             program never asks for elevation, and Windows does not
#             virtualize its registry and file writes;
#   static    no runtime DLL (libstdc++, libgcc, winpthreads) imported: the
#             program runs from a bare folder.
# Quiet when the program is right; else one line that says what is wrong.
cmake_minimum_required(VERSION 3.16)
foreach(variable PROGRAM OBJDUMP EXPECT)
  if(NOT ${variable})
    message(FATAL_ERROR "check_windows_exe.cmake: ${variable} is not set")
  endif()
endforeach()
if(NOT EXISTS "${PROGRAM}")
  message(FATAL_ERROR "no program ${PROGRAM}")
endif()
execute_process(COMMAND ${OBJDUMP} -p "${PROGRAM}" RESULT_VARIABLE status
                OUTPUT_VARIABLE headers ERROR_VARIABLE error)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${error}")
endif()

foreach(expected IN LISTS EXPECT)
  if(expected STREQUAL gui)
    if(NOT headers MATCHES "\nSubsystem[^\n]*\\(Windows GUI\\)")
      message(FATAL_ERROR "${PROGRAM} is not a program of the GUI subsystem")
    endif()
  elseif(expected STREQUAL console)
    if(NOT headers MATCHES "\nSubsystem[^\n]*\\(Windows CUI\\)")
      message(FATAL_ERROR "${PROGRAM} is not a program of the console subsystem")
    endif()
  elseif(expected STREQUAL manifest)
    # Resource type 24 (RT_MANIFEST), holding the execution level.
    if(NOT headers MATCHES "Entry: ID: 0x000018")
      message(FATAL_ERROR "${PROGRAM} has no manifest resource")
    endif()
    file(STRINGS "${PROGRAM}" level
         REGEX "requestedExecutionLevel level=\"asInvoker\"")
    if(NOT level)
      message(FATAL_ERROR "${PROGRAM}'s manifest does not ask for asInvoker")
    endif()
  elseif(expected STREQUAL static)
    string(REGEX MATCHALL "DLL Name: [^\n]*" dlls "${headers}")
    string(TOLOWER "${dlls}" lower)
    if(NOT dlls OR lower MATCHES "libstdc|libgcc|winpthread")
      message(FATAL_ERROR "${PROGRAM} needs a runtime DLL beside it: ${dlls}")
    endif()
  else()
    message(FATAL_ERROR "check_windows_exe.cmake: nothing called ${expected} to check")
  endif()
endforeach()
