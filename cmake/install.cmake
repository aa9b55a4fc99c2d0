# Installation and packages; included at the end of the top CMakeLists.txt,
# once every target exists.
#
#   cmake --install build --prefix P      bin/, share/man/man1/, share/doc/
#   (cd build && cpack)                   tavik_VERSION_ARCH.deb (Linux)
#   (cd build-win64 && cpack)             Tavik-VERSION-win64.zip (cross build)
#
# On Windows the programs go to the top of the prefix, beside each other, as
# a folder that runs as it is unpacked (the runtime is linked statically,
# see cmake/windows.cmake); there are no man pages there.

# vmpkg.exe carries the version information too; Tavik.exe gets its
# resource in cmake/windows.cmake, which runs before vmpkg exists.
if(WIN32 AND TARGET vmpkg)
  target_sources(vmpkg PRIVATE ${PROJECT_SOURCE_DIR}/tools/vmpkg.rc)
  if(NOT CMAKE_VERSION VERSION_LESS 3.18)
    set_property(SOURCE ${PROJECT_SOURCE_DIR}/tools/vmpkg.rc
                 TARGET_DIRECTORY vmpkg APPEND PROPERTY OBJECT_DEPENDS
                 ${TAVIK_GENERATED_DIR}/platform/base/version.h)
  endif()
endif()

# The programs that are installed: the tool, its diagnosis build (when this
# tree has it) and the library file maker.
set(TAVIK_INSTALLED_PROGRAMS Tavik)
foreach(program Tavik-diag vmpkg)
  if(TARGET ${program})
    list(APPEND TAVIK_INSTALLED_PROGRAMS ${program})
  endif()
endforeach()

if(WIN32)
  install(TARGETS ${TAVIK_INSTALLED_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_SOURCE_DIR}/docs/vmpkg.md DESTINATION .)
else()
  include(GNUInstallDirs)
  install(TARGETS ${TAVIK_INSTALLED_PROGRAMS}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/Tavik.1
                ${PROJECT_SOURCE_DIR}/docs/man/vmpkg.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(TARGET Tavik-diag)
    # "man Tavik-diag" shows Tavik's page, which describes both.
    install(FILES ${PROJECT_SOURCE_DIR}/docs/man/Tavik-diag.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  # Debian's place for the licence, under the package's own name.
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tavik RENAME copyright)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_SOURCE_DIR}/docs/vmpkg.md
                ${PROJECT_SOURCE_DIR}/docs/registry.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tavik)
endif()

# Packages.
set(CPACK_PACKAGE_NAME Tavik)
set(CPACK_PACKAGE_VENDOR "The Tavik authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "registers asset library files and completes their file references")
set(CPACK_PACKAGE_DESCRIPTION
    "Tavik adds an asset library file to the registered libraries (a registry\n\
store of its own on Linux) or removes it, and completes the file references\n\
of every asset with the variants found in the numbered media folders, or\n\
prunes the references that no longer lead to a file. It reports only\n\
through its exit code; Tavik-diag is the same tool with its messages on\n\
standard error. vmpkg makes library files from JSON, prints them, and\n\
shows what a run of Tavik would change.")
set(TAVIK_PACKAGE_MAINTAINER "The Tavik authors <authors@tavik.invalid>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_PACKAGE_CONTACT "${TAVIK_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES TRUE)
if(WIN32)
  # Tavik-VERSION-win32.zip or -win64.zip, holding one folder of that name.
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME tavik)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The JSON reader and the argument parser are header-only, so the programs
  # need only the C and C++ runtime; dpkg-shlibdeps names those packages with
  # the versions this build was linked against.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)

# The installation, tried by ctest: install into a scratch prefix, run what
# was installed, find the man pages and hold them to the README.
if(TAVIK_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING)
  # A list inside one test argument would be split; commas keep it whole.
  string(REPLACE ";" "," programs "${TAVIK_INSTALLED_PROGRAMS}")
  add_test(NAME install
           COMMAND ${CMAKE_COMMAND}
                   -DTAVIK_BUILD_DIR=${PROJECT_BINARY_DIR}
                   -DTAVIK_SOURCE_DIR=${PROJECT_SOURCE_DIR}
                   -DTAVIK_PREFIX=${PROJECT_BINARY_DIR}/install_test
                   -DTAVIK_VERSION=${PROJECT_VERSION}
                   -DTAVIK_PROGRAMS=${programs}
                   -P ${PROJECT_SOURCE_DIR}/cmake/check_install.cmake)
endif()
