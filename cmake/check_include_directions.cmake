# Checks every #include "..." of the layered folders against the allowed
# directions between layers (docs/architecture.md). Run by ctest as
#   cmake -DTAVIK_SOURCE_DIR=<repo> -P cmake/check_include_directions.cmake
# and fails, naming each offending line, when a file includes a layer that
# its own layer may not use.
#
# A layer may use the layers listed for it and, through them, theirs:
#   base <- os <- {regstore, sdk, vmp}; {sdk, os} <- registration;
#   {vmp, sdk, os} <- update; {registration, update, os} <- driver;
#   tools: update, registration, vmp and os (vmpkg check and refs are dry
#   runs of the update run, vmpkg registry reads the lists); never driver.
# Besides, a layer's tests (*_test.cc, *_test_util.h) may include the
# registry store, the registry the tests run against; only the package
# library itself (with its tests) may include platform/vmp/internal/; and
# in tools/, only the executable's own files (vmpkg_cli.cc, vmpkg_main.cc)
# may include its header tools/vmpkg.h: the commands are a library that
# knows nothing of the command line.
cmake_minimum_required(VERSION 3.16)

if(NOT TAVIK_SOURCE_DIR)
  message(FATAL_ERROR "TAVIK_SOURCE_DIR not set")
endif()

set(uses_base "")
set(uses_os base)
set(uses_regstore os)
set(uses_sdk os)
set(uses_vmp os)
set(uses_registration sdk os)
set(uses_update vmp sdk os)
set(uses_driver registration update os)
set(uses_tools update registration vmp os)
set(layers base os regstore sdk vmp registration update driver tools)

# The layers each layer reaches, itself included.
foreach(layer ${layers})
  set(reach_${layer} ${layer})
  set(todo ${uses_${layer}})
  while(todo)
    list(POP_FRONT todo next)
    if(NOT next IN_LIST reach_${layer})
      list(APPEND reach_${layer} ${next})
      list(APPEND todo ${uses_${next}})
    endif()
  endwhile()
endforeach()

# The layer of a repository path, or "" for a path outside the layers.
function(layer_of path out)
  set(layer "")
  if(path MATCHES "^platform/(base|os|regstore|sdk|vmp)/")
    set(layer ${CMAKE_MATCH_1})
  elseif(path MATCHES "^(registration|update|driver|tools)/")
    set(layer ${CMAKE_MATCH_1})
  endif()
  set(${out} "${layer}" PARENT_SCOPE)
endfunction()

set(folders platform registration update driver tools)
set(failures "")
set(checked 0)
foreach(folder ${folders})
  file(GLOB_RECURSE files RELATIVE ${TAVIK_SOURCE_DIR}
       ${TAVIK_SOURCE_DIR}/${folder}/*.h ${TAVIK_SOURCE_DIR}/${folder}/*.cc)
  foreach(file ${files})
    layer_of(${file} from)
    if(from STREQUAL "")
      string(APPEND failures "  ${file}: in no layer\n")
      continue()
    endif()
    set(is_test FALSE)
    if(file MATCHES "_test\\.cc$|_test_util\\.h$")
      set(is_test TRUE)
    endif()
    file(STRINGS ${TAVIK_SOURCE_DIR}/${file} lines
         REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1"
                           target "${line}")
      math(EXPR checked "${checked} + 1")
      layer_of(${target} to)
      if(to STREQUAL "")
        string(APPEND failures
               "  ${file}: #include \"${target}\" names no layer's file\n")
      elseif(target MATCHES "^platform/vmp/internal/" AND
             NOT from STREQUAL "vmp")
        string(APPEND failures
               "  ${file}: #include \"${target}\" reaches into the package "
               "library's internals\n")
      elseif(target STREQUAL "tools/vmpkg.h" AND
             NOT file MATCHES "^tools/vmpkg_(cli|main)\\.cc$")
        string(APPEND failures
               "  ${file}: #include \"${target}\": only the vmpkg executable "
               "includes its own header\n")
      elseif(NOT to IN_LIST reach_${from} AND
             NOT (is_test AND to STREQUAL "regstore"))
        string(APPEND failures
               "  ${file}: #include \"${target}\": ${from} may not use ${to}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "Includes against the layer directions:\n${failures}")
endif()
message(STATUS "include directions: ${checked} includes checked")
