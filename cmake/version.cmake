# The project's version (project() in the top CMakeLists.txt) as a header,
# for the Windows version resources and for programs that print it:
#   #include "platform/base/version.h"   (TAVIK_VERSION_STRING, ..._MAJOR)
# The header is made in the build folder under the path of the base layer,
# which every layer may use; the folder is on every target's include path,
# resource scripts included.
set(TAVIK_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${TAVIK_GENERATED_DIR}/platform/base/version.h @ONLY)
include_directories(${TAVIK_GENERATED_DIR})
