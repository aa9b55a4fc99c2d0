# Shared part of the MinGW-w64 toolchain files; TAVIK_MINGW_TRIPLE is set by
# the including file.
#
# The "-posix" compilers use the winpthreads thread model, the one under which
# GCC 12 offers std::thread and std::mutex; the runtime is linked statically
# (cmake/windows.cmake), so nothing of winpthreads has to ship beside the .exe.
find_program(CMAKE_C_COMPILER NAMES ${TAVIK_MINGW_TRIPLE}-gcc-posix
             ${TAVIK_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TAVIK_MINGW_TRIPLE}-g++-posix
             ${TAVIK_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TAVIK_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
