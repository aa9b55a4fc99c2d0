# A library package whose names hold the characters that XML and wixl's
# preprocessor treat as their own (' & " < > $), made by
# scripts/make-library-msi.sh and read back with msiinfo: every file and
# folder must be installed under its own name, from its own source, and
# the runs of Tavik.exe must name the library file as it is, since that
# path is what they register. A test of a Windows cross build
# (cmake/msi.cmake adds it); no Wine:
#
#   cmake -DSOURCE_DIR=DIR -DTAVIK=TAVIK.EXE -DWORK=DIR
#         -P cmake/library_msi_names_test.cmake
#
# WORK is emptied and filled with the library. Quiet when the package is
# right; else a line for each thing that is not, and exit 1.
cmake_minimum_required(VERSION 3.16)

foreach(variable SOURCE_DIR TAVIK WORK)
  if(NOT ${variable})
    message(FATAL_ERROR "library_msi_names_test.cmake: ${variable} is not set")
  endif()
endforeach()
find_program(msiinfo msiinfo)
if(NOT msiinfo)
  message(FATAL_ERROR "library_msi_names_test.cmake: msiinfo is needed "
                      "(scripts/setup.sh --windows installs it)")
endif()

set(library_name "O'Brien & Co.vlmrlib")
set(product_name "O'Brien & Co")
set(manufacturer "O'Brien \"&\" <Sons> $5")
# The media folder's files, under the folder (O'Brien & Co.qsm): each file
# gets as many bytes as its place in this list, so that a file taken from
# another's source shows in its size. &amp; and &apos; are names as they
# stand, not entities; $ and $(...) are names, not the preprocessor's.
# @SC@ stands for a ";", which a CMake list would take apart; the paths
# are compared in that form.
set(media_files
  "1/it's.png"
  "1/it's/crate.png"
  "2/R&D/a&b.png"
  "2/&amp@SC@.png"
  "2/&.png"
  "3/&apos@SC@.png"
  "3/$5 deal.png"
  "3/$(var.Name).png"
  "3/$$.png"
  "4/a$")

file(REMOVE_RECURSE "${WORK}")
set(media "${WORK}/O'Brien & Co.qsm")
file(WRITE "${WORK}/${library_name}" "library")
set(size 0)
set(expected_files "${library_name}\t7")
foreach(path IN LISTS media_files)
  math(EXPR size "${size} + 1")
  string(REPEAT x ${size} content)
  string(REPLACE "@SC@" ";" name "${path}")
  file(WRITE "${media}/${name}" "${content}")
  list(APPEND expected_files "O'Brien & Co.qsm/${path}\t${size}")
endforeach()
file(MAKE_DIRECTORY "${media}/5")

execute_process(COMMAND bash ${SOURCE_DIR}/scripts/make-library-msi.sh
                        --library "${WORK}/${library_name}" --tavik ${TAVIK}
                        --name "${product_name}" --version 1.0.0
                        --manufacturer "${manufacturer}"
                        -o "${WORK}/names.msi"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make-library-msi.sh failed on names with ' & \" < > $")
endif()

set(failures 0)
macro(fail text)
  message(NOTICE "${text}")
  math(EXPR failures "${failures} + 1")
endmacro()

# table(PREFIX TABLE KEY_COLUMN): for each row, PREFIX_<key>_<column> is the
# field of the row of that key; PREFIX_keys the keys. No key of these
# tables holds a ;, so the keys may be a list; the fields are kept whole.
function(table prefix name key_column)
  execute_process(COMMAND ${msiinfo} export "${WORK}/names.msi" ${name}
                  RESULT_VARIABLE status OUTPUT_VARIABLE text)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "msiinfo export ${name} failed")
  endif()
  string(REPLACE "\r" "" text "${text}")
  set(keys)
  set(number 0)
  while(NOT text STREQUAL "")
    string(FIND "${text}" "\n" at)
    string(SUBSTRING "${text}" 0 ${at} line)
    math(EXPR at "${at} + 1")
    string(SUBSTRING "${text}" ${at} -1 text)
    math(EXPR number "${number} + 1")
    if(number EQUAL 1)
      string(REPLACE "\t" ";" columns "${line}")
    elseif(number GREATER 3)
      set(key "")
      set(column 0)
      while(1)
        string(FIND "${line}" "\t" at)
        if(at EQUAL -1)
          set(field "${line}")
        else()
          string(SUBSTRING "${line}" 0 ${at} field)
          math(EXPR at "${at} + 1")
          string(SUBSTRING "${line}" ${at} -1 line)
        endif()
        list(GET columns ${column} column_name)
        if(column_name STREQUAL key_column)
          set(key "${field}")
          list(APPEND keys "${key}")
        endif()
        set(field_${column_name} "${field}")
        math(EXPR column "${column} + 1")
        if(at EQUAL -1)
          break()
        endif()
      endwhile()
      foreach(column_name IN LISTS columns)
        set(${prefix}_${key}_${column_name} "${field_${column_name}}" PARENT_SCOPE)
      endforeach()
    endif()
  endwhile()
  set(${prefix}_keys "${keys}" PARENT_SCOPE)
endfunction()
table(file File File)
table(component Component Component)
table(directory Directory Directory)
table(action CustomAction Action)
table(property Property Property)

# The path of folder ID below the install folder, "" for that one.
function(folder_path out id)
  set(path "")
  while(NOT id STREQUAL "INSTALLFOLDER")
    if(NOT DEFINED directory_${id}_DefaultDir OR id STREQUAL "TARGETDIR")
      set(path "(not in the install folder)/${path}")
      break()
    endif()
    set(name "${directory_${id}_DefaultDir}")
    # A long name follows a short one after a |.
    string(REGEX REPLACE "^[^|]*\\|" "" name "${name}")
    set(path "${name}/${path}")
    set(id "${directory_${id}_Directory_Parent}")
  endwhile()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

set(installed)
foreach(key IN LISTS file_keys)
  if(key STREQUAL "TavikExe")
    continue()
  endif()
  set(component "${file_${key}_Component_}")
  folder_path(folder "${component_${component}_Directory_}")
  set(name "${file_${key}_FileName}")
  string(REGEX REPLACE "^[^|]*\\|" "" name "${name}")
  string(REPLACE ";" "@SC@" path "${folder}${name}")
  list(APPEND installed "${path}\t${file_${key}_FileSize}")
endforeach()
list(SORT installed)
list(SORT expected_files)
foreach(entry IN LISTS expected_files)
  list(FIND installed "${entry}" at)
  if(at EQUAL -1)
    string(REPLACE "\t" " of size " entry "${entry}")
    string(REPLACE "@SC@" ";" entry "${entry}")
    fail("no file ${entry} in the package")
  endif()
endforeach()
foreach(entry IN LISTS installed)
  list(FIND expected_files "${entry}" at)
  if(at EQUAL -1)
    string(REPLACE "\t" " of size " entry "${entry}")
    string(REPLACE "@SC@" ";" entry "${entry}")
    fail("the package installs ${entry}, which the library has not")
  endif()
endforeach()

if(NOT directory_INSTALLFOLDER_DefaultDir STREQUAL product_name)
  fail("the install folder is \"${directory_INSTALLFOLDER_DefaultDir}\", not \"${product_name}\"")
endif()
set(folders)
foreach(key IN LISTS directory_keys)
  folder_path(path "${key}")
  if(NOT path STREQUAL "" AND NOT path MATCHES "^\\(not in")
    string(REPLACE ";" "@SC@" path "${path}")
    list(APPEND folders "${path}")
  endif()
endforeach()
list(SORT folders)
set(expected_folders "O'Brien & Co.qsm/" "O'Brien & Co.qsm/1/"
    "O'Brien & Co.qsm/1/it's/" "O'Brien & Co.qsm/2/" "O'Brien & Co.qsm/2/R&D/"
    "O'Brien & Co.qsm/3/" "O'Brien & Co.qsm/4/" "O'Brien & Co.qsm/5/")
if(NOT folders STREQUAL expected_folders)
  fail("the package's folders are ${folders}, not ${expected_folders}")
endif()

# The command line of each run, its file references resolved to the paths
# that they stand for below [INSTALLFOLDER].
foreach(row
    "TavikComplete\t-l \"[INSTALLFOLDER]${library_name}\""
    "TavikRegister\t-k \"[INSTALLFOLDER]${library_name}\""
    "TavikRegisterRollback\t-r -k \"[INSTALLFOLDER]${library_name}\""
    "TavikWithdraw\t-r -k \"[INSTALLFOLDER]${library_name}\""
    "TavikWithdrawRollback\t-k \"[INSTALLFOLDER]${library_name}\"")
  string(FIND "${row}" "\t" at)
  string(SUBSTRING "${row}" 0 ${at} action)
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${row}" ${at} -1 expected)
  set(command "${action_${action}_Target}")
  while(command MATCHES "\\[#([A-Za-z0-9_.]+)\\]")
    set(key "${CMAKE_MATCH_1}")
    set(name "${file_${key}_FileName}")
    folder_path(folder "${component_${file_${key}_Component_}_Directory_}")
    string(REPLACE "[#${key}]" "[INSTALLFOLDER]${folder}${name}" command "${command}")
  endwhile()
  if(NOT command STREQUAL expected)
    fail("${action} runs Tavik.exe ${command}, not ${expected}")
  endif()
endforeach()

foreach(row "ProductName\t${product_name}" "Manufacturer\t${manufacturer}")
  string(FIND "${row}" "\t" at)
  string(SUBSTRING "${row}" 0 ${at} property)
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${row}" ${at} -1 expected)
  if(NOT "${property_${property}_Value}" STREQUAL expected)
    fail("${property} is \"${property_${property}_Value}\", not \"${expected}\"")
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} name(s) of the package are not the library's")
endif()
