# The project's version (project() in the top CMakeLists.txt) as a header,
# for the Windows version resources and for programs that print it:
#   #include "platform/base/version.h"   (TAVIK_VERSION_STRING, ..._MAJOR)
# with the INTERFACE library tavik_version linked. The header is made in the
# build folder under the path of the base layer, which every layer may use.
set(TAVIK_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${TAVIK_GENERATED_DIR}/platform/base/version.h @ONLY)
add_library(tavik_version INTERFACE)
target_include_directories(tavik_version INTERFACE ${TAVIK_GENERATED_DIR})
