# Windows-only settings of the executables; included by the top CMakeLists.txt
# after the target Tavik exists, on every system (nothing happens off Windows).
if(NOT WIN32)
  return()
endif()

enable_language(RC)

# A bare folder is enough to run the tools: no libstdc++, libgcc or
# winpthreads DLL beside them. add_link_options reaches the executables made
# after this point (vmpkg); Tavik exists already and gets them directly.
set(TAVIK_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
add_link_options(${TAVIK_STATIC_RUNTIME})
target_link_options(Tavik PRIVATE ${TAVIK_STATIC_RUNTIME})

# Tavik is a program of the GUI subsystem that never opens a window, so no
# console flashes up when another program starts it; its entry is the wide
# wWinMain. The resource script embeds the manifest (execution level
# "asInvoker") and the version information.
target_sources(Tavik PRIVATE ${CMAKE_SOURCE_DIR}/driver/tavik.rc)
# windres leaves no dependency file, so what the script reads is named here.
# A source property is seen only by targets of the folder that sets it,
# unless TARGET_DIRECTORY names theirs (CMake 3.18; Debian has had it since
# bullseye).
if(NOT CMAKE_VERSION VERSION_LESS 3.18)
  set_property(SOURCE ${CMAKE_SOURCE_DIR}/driver/tavik.rc
               TARGET_DIRECTORY Tavik APPEND PROPERTY OBJECT_DEPENDS
               ${CMAKE_SOURCE_DIR}/driver/Tavik.manifest
               ${TAVIK_GENERATED_DIR}/platform/base/version.h)
endif()
target_link_options(Tavik PRIVATE -mwindows -municode)

# Tavik-diag is the same program built for the console subsystem (its
# messages go to standard error), with the same manifest and version.
target_link_options(Tavik-diag PRIVATE ${TAVIK_STATIC_RUNTIME} -municode)
target_sources(Tavik-diag PRIVATE ${CMAKE_SOURCE_DIR}/driver/tavik.rc)

# The helpers of the Wine checks (scripts/test-windows.sh turns them on):
# raw_launch.exe starts Tavik.exe on command lines of their own making,
# hold_file.exe holds a library open as a virus scanner does.
option(TAVIK_WINE_HELPERS "Build the helper programs of the Wine checks" OFF)
if(TAVIK_WINE_HELPERS)
  add_executable(raw_launch ${CMAKE_SOURCE_DIR}/tests/raw_launch_win.cc)
  add_executable(hold_file ${CMAKE_SOURCE_DIR}/tests/hold_file_win.cc)
  target_link_options(hold_file PRIVATE -municode)
endif()
