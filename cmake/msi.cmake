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
# replaces it (a major upgrade).

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
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DTAVIK_MSI_VERSION=${PROJECT_VERSION}
            -DTAVIK_MSI_ARCH=${arch}
            "-DTAVIK_MSI_PROGRAMS=$<TARGET_FILE:Tavik>;$<TARGET_FILE:Tavik-diag>;$<TARGET_FILE:vmpkg>"
            -DTAVIK_MSI_STRIP=${CMAKE_STRIP} -DTAVIK_MSI_OUTPUT=${output}
            -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS Tavik Tavik-diag vmpkg ${sources} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Making Tavik-${PROJECT_VERSION}-${arch}.msi"
    VERBATIM)
  add_custom_target(msi DEPENDS ${output})
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
# Windows Installer compares three fields: major and minor up to 255, build
# up to 65535.
if(NOT TAVIK_MSI_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$"
   OR CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255
   OR CMAKE_MATCH_3 GREATER 65535)
  message(FATAL_ERROR "msi.cmake: version ${TAVIK_MSI_VERSION} is not X.Y.Z "
                      "within Windows Installer's limits")
endif()
find_program(wixl wixl)
find_program(msibuild msibuild)
if(NOT wixl OR NOT msibuild)
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

string(UUID product_code NAMESPACE ${upgrade_code}
       NAME "product ${TAVIK_MSI_VERSION}" TYPE SHA1 UPPER)
set(defines -D Version=${TAVIK_MSI_VERSION} -D Arch=${TAVIK_MSI_ARCH}
            -D ProductCode=${product_code} -D UpgradeCode=${upgrade_code})
# A component's code stays the same across versions, as Windows Installer's
# component rules want: the same file at the same place.
foreach(component TavikExe TavikDiagExe VmpkgExe License)
  string(UUID guid NAMESPACE ${upgrade_code} NAME "component ${component}"
         TYPE SHA1 UPPER)
  list(APPEND defines -D Guid${component}=${guid})
endforeach()

execute_process(COMMAND ${wixl} -a ${TAVIK_MSI_ARCH} ${defines}
                        -o package.msi Tavik.wxs
                WORKING_DIRECTORY ${work} RESULT_VARIABLE status
                OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "msi.cmake: wixl failed:\n${log}")
endif()
execute_process(COMMAND ${msibuild} package.msi
                        -i ${source_dir}/packaging/windows/Environment.idt
                WORKING_DIRECTORY ${work} RESULT_VARIABLE status
                OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "msi.cmake: msibuild failed:\n${log}")
endif()
file(RENAME ${work}/package.msi ${output})
file(REMOVE_RECURSE ${work})
