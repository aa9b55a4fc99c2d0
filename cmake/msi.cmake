# Tavik's own Windows Installer package, made with wixl and msibuild
# (msitools; scripts/setup.sh --windows installs them) from
# packaging/windows/Tavik.wxs. Included by the top CMakeLists.txt; in a
# Windows cross build it adds the target
#
#   cmake --build build-win64 --target msi   # build-win64/Tavik-1.0.0-x64.msi
#
# (-x86.msi from a 32-bit build), the version that of project(). The same
# file is the script that makes the package, so a package of another
# version can be made from the same programs (scripts/test-msi.sh makes one
# to try upgrades):
#
#   cmake -DTAVIK_MSI_VERSION=1.0.1 -DTAVIK_MSI_ARCH=x64
#         -DTAVIK_MSI_PROGRAMS="Tavik.exe;Tavik-diag.exe;vmpkg.exe"
#         -DTAVIK_MSI_OUTPUT=OUT.msi [-DTAVIK_MSI_STRIP=STRIP]
#         -P cmake/msi.cmake
#
# The upgrade codes below identify Tavik for each architecture and never
# change; x86 and x64 are two products (an administrator installs one).
# The product code is derived from the upgrade code and the version, so
# every build of one version is the same product and a newer version
# replaces it (a major upgrade). What it shares with a library's package
# (version limits, name-based codes, wixl and msibuild) is in
# cmake/msi_common.cmake.
#
# With the tests on, a Windows build's ctest makes the package and a
# library's (scripts/make-library-msi.sh, machine-wide and per user) from
# the built programs and checks their tables (cmake/check_msi_tables.cmake);
# none of it needs Wine.
include(${CMAKE_CURRENT_LIST_DIR}/msi_common.cmake)

if(NOT CMAKE_SCRIPT_MODE_FILE)
  if(NOT WIN32 OR NOT TARGET Tavik-diag OR NOT TARGET vmpkg)
    return()
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch x64)
  else()
    set(arch x86)
  endif()
  set(output ${PROJECT_BINARY_DIR}/Tavik-${PROJECT_VERSION}-${arch}.msi)
  set(sources ${PROJECT_SOURCE_DIR}/packaging/windows/Tavik.wxs
              ${PROJECT_SOURCE_DIR}/packaging/windows/Environment.idt
              ${PROJECT_SOURCE_DIR}/LICENSE)
  set(command ${CMAKE_COMMAND} -DTAVIK_MSI_VERSION=${PROJECT_VERSION}
      -DTAVIK_MSI_ARCH=${arch}
      # One argument: $<SEMICOLON> keeps the list whole inside this one.
      "-DTAVIK_MSI_PROGRAMS=$<TARGET_FILE:Tavik>$<SEMICOLON>$<TARGET_FILE:Tavik-diag>$<SEMICOLON>$<TARGET_FILE:vmpkg>"
      -DTAVIK_MSI_STRIP=${CMAKE_STRIP})
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${command} -DTAVIK_MSI_OUTPUT=${output}
            -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS Tavik Tavik-diag vmpkg ${sources} ${CMAKE_CURRENT_LIST_FILE}
            ${CMAKE_CURRENT_LIST_DIR}/msi_common.cmake
    COMMENT "Making Tavik-${PROJECT_VERSION}-${arch}.msi"
    VERBATIM)
  add_custom_target(msi DEPENDS ${output})

  if(TAVIK_BUILD_TESTS)
    # The packages are made in a folder of their own by the commands that
    # make them for a release, then their tables are read. A library
    # package needs only a file with its media folder beside it, so demo/
    # lends its lib.json and lib.qsm.
    set(checks ${PROJECT_BINARY_DIR}/msi-checks)
    add_test(NAME msi_checks_folder
             COMMAND ${CMAKE_COMMAND} -E make_directory ${checks})
    set_tests_properties(msi_checks_folder PROPERTIES
                         FIXTURES_SETUP msi_checks_folder)
    set(tavik_msi ${checks}/Tavik-${PROJECT_VERSION}-${arch}.msi)
    add_test(NAME msi_make_tavik
             COMMAND ${command} -DTAVIK_MSI_OUTPUT=${tavik_msi}
                     -P ${CMAKE_CURRENT_LIST_FILE})
    foreach(scope machine user)
      set(flag)
      if(scope STREQUAL user)
        set(flag --per-user)
      endif()
      add_test(NAME msi_make_${scope}
               COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/make-library-msi.sh
                       --library ${PROJECT_SOURCE_DIR}/demo/lib.json
                       --tavik $<TARGET_FILE:Tavik> --name "Check Library"
                       --version 1.0.0 --manufacturer "Velmora & Söhne"
                       ${flag} -o ${checks}/library-${scope}.msi)
    endforeach()
    foreach(kind tavik machine user)
      set(package ${checks}/library-${kind}.msi)
      if(kind STREQUAL tavik)
        set(package ${tavik_msi})
      endif()
      add_test(NAME msi_tables_${kind}
               COMMAND ${CMAKE_COMMAND} -DPACKAGE=${package} -DARCH=${arch}
                       -DKIND=${kind}
                       -P ${CMAKE_CURRENT_LIST_DIR}/check_msi_tables.cmake)
      set_tests_properties(msi_make_${kind} PROPERTIES
                           FIXTURES_SETUP msi_${kind}
                           FIXTURES_REQUIRED msi_checks_folder LABELS nowine)
      set_tests_properties(msi_tables_${kind} PROPERTIES
                           FIXTURES_REQUIRED msi_${kind} LABELS nowine)
    endforeach()
    set_tests_properties(msi_checks_folder PROPERTIES LABELS nowine)
    # A library whose names XML and wixl's preprocessor would take for
    # their own; and the module's functions, a test of every build.
    add_test(NAME msi_library_names
             COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                     -DTAVIK=$<TARGET_FILE:Tavik> -DWORK=${checks}/names
                     -P ${CMAKE_CURRENT_LIST_DIR}/library_msi_names_test.cmake)
    set_tests_properties(msi_library_names msi_common PROPERTIES
                         LABELS nowine)
  endif()
  return()
endif()

# Script mode: stage the files, run wixl, import the PATH row.
get_filename_component(source_dir ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
foreach(variable TAVIK_MSI_VERSION TAVIK_MSI_ARCH TAVIK_MSI_PROGRAMS
                 TAVIK_MSI_OUTPUT)
  if(NOT ${variable})
    message(FATAL_ERROR "msi.cmake: ${variable} is not set")
  endif()
endforeach()
if(TAVIK_MSI_ARCH STREQUAL x64)
  set(upgrade_code 6B0E3C52-9A4D-4F1B-8E27-C5D3A1F09B64)
elseif(TAVIK_MSI_ARCH STREQUAL x86)
  set(upgrade_code 2D8F61A7-3C5E-4B90-A14D-7E6B2F08C315)
else()
  message(FATAL_ERROR "msi.cmake: TAVIK_MSI_ARCH is x86 or x64, not ${TAVIK_MSI_ARCH}")
endif()
tavik_msi_version_ok(ok ${TAVIK_MSI_VERSION})
if(NOT ok)
  message(FATAL_ERROR "msi.cmake: version ${TAVIK_MSI_VERSION} is not X.Y.Z "
                      "within Windows Installer's limits")
endif()
tavik_msi_find_tools()
if(NOT TAVIK_MSI_WIXL OR NOT TAVIK_MSI_MSIBUILD)
  message(FATAL_ERROR "msi.cmake: wixl and msibuild are needed "
                      "(scripts/setup.sh --windows installs them)")
endif()

get_filename_component(output ${TAVIK_MSI_OUTPUT} ABSOLUTE)
set(work ${output}.work)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
# wixl takes sources relative to the .wxs file, so everything is staged
# beside a copy of it, under the names it installs them as.
foreach(program ${TAVIK_MSI_PROGRAMS})
  get_filename_component(name ${program} NAME)
  if(TAVIK_MSI_STRIP)
    execute_process(COMMAND ${TAVIK_MSI_STRIP} -o ${work}/${name} ${program}
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "msi.cmake: ${TAVIK_MSI_STRIP} ${program} failed")
    endif()
  else()
    file(COPY ${program} DESTINATION ${work})
  endif()
endforeach()
foreach(name Tavik.exe Tavik-diag.exe vmpkg.exe)
  if(NOT EXISTS ${work}/${name})
    message(FATAL_ERROR "msi.cmake: TAVIK_MSI_PROGRAMS names no ${name}")
  endif()
endforeach()
configure_file(${source_dir}/LICENSE ${work}/LICENSE.txt COPYONLY)
configure_file(${source_dir}/packaging/windows/Tavik.wxs ${work}/Tavik.wxs
               COPYONLY)

tavik_msi_uuid(product_code ${upgrade_code} "product ${TAVIK_MSI_VERSION}")
set(defines Version=${TAVIK_MSI_VERSION} Arch=${TAVIK_MSI_ARCH}
            ProductCode=${product_code} UpgradeCode=${upgrade_code})
# A component's code stays the same across versions, as Windows Installer's
# component rules want: the same file at the same place.
foreach(component TavikExe TavikDiagExe VmpkgExe License)
  tavik_msi_uuid(guid ${upgrade_code} "component ${component}")
  list(APPEND defines Guid${component}=${guid})
endforeach()

tavik_msi_wixl(RESULT_VARIABLE status LOG_FILE ${work}/wixl.log
               DIRECTORY ${work} ARCH ${TAVIK_MSI_ARCH} SOURCE Tavik.wxs
               OUTPUT package.msi DEFINES ${defines})
if(NOT status EQUAL 0)
  file(READ ${work}/wixl.log log)
  message(FATAL_ERROR "msi.cmake: wixl failed:\n${log}")
endif()
tavik_msi_msibuild(RESULT_VARIABLE status LOG_VARIABLE log
                   PACKAGE ${work}/package.msi
                   ARGS -i ${source_dir}/packaging/windows/Environment.idt)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "msi.cmake: msibuild failed:\n${log}")
endif()
file(RENAME ${work}/package.msi ${output})
file(REMOVE_RECURSE ${work})
