# The functions of cmake/msi_common.cmake that take a text and give an
# answer, held to tables of cases; needs CMake, and iconv for the code
# page. A test of every build (the top CMakeLists.txt adds it):
#
#   cmake -P cmake/msi_common_test.cmake
#
# Quiet when every case holds; else a line for each case that does not, and
# exit 1.
cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/msi_common.cmake)

set_property(GLOBAL PROPERTY msi_common_test_failures 0)
function(fail text)
  message(NOTICE "${text}")
  get_property(count GLOBAL PROPERTY msi_common_test_failures)
  math(EXPR count "${count} + 1")
  set_property(GLOBAL PROPERTY msi_common_test_failures ${count})
endfunction()

# answers(FUNCTION TABLE): FUNCTION(OUT INPUT) gives EXPECTED for each line
# "{EXPECTED} {INPUT}" of TABLE. The lines are taken apart by hand, not as a
# CMake list, which would split a text at its ";" (as in every entity).
function(answers function table)
  while(NOT table STREQUAL "")
    string(FIND "${table}" "\n" at)
    if(at EQUAL -1)
      set(line "${table}")
      set(table "")
    else()
      string(SUBSTRING "${table}" 0 ${at} line)
      math(EXPR at "${at} + 1")
      string(SUBSTRING "${table}" ${at} -1 table)
    endif()
    string(STRIP "${line}" stripped)
    if(stripped STREQUAL "")
      continue()
    endif()
    if(NOT line MATCHES "^ *{([^}]*)} {([^}]*)}$")
      message(FATAL_ERROR "a case of ${function} is not {EXPECTED} {INPUT}: ${line}")
    endif()
    set(expected "${CMAKE_MATCH_1}")
    set(input "${CMAKE_MATCH_2}")
    cmake_language(CALL ${function} got "${input}")
    if(NOT "${got}" STREQUAL "${expected}")
      fail("${function}(\"${input}\") is \"${got}\", not \"${expected}\"")
    endif()
  endwhile()
endfunction()

# What Windows Installer compares: 255.255.65535 at most, three parts.
answers(tavik_msi_version_ok [[
  {TRUE} {1.0.0}
  {TRUE} {0.0.0}
  {TRUE} {255.255.65535}
  {FALSE} {256.0.0}
  {FALSE} {1.256.0}
  {FALSE} {1.0.65536}
  {FALSE} {4294967296.0.0}
  {FALSE} {99999999999999999999.0.0}
  {FALSE} {1.0}
  {FALSE} {1.0.0.0}
  {FALSE} {1.0.0 }
  {FALSE} { 1.0.0}
  {FALSE} {-1.0.0}
  {FALSE} {1.0.x}
  {FALSE} {1..0}
  {FALSE} {}
]])

# The codes of packages made before: the upgrade code a library's name
# gives, its product codes and component codes, and Tavik's own.
function(library_upgrade_code out name)
  tavik_msi_uuid(uuid 3F0B5C1E-8D2A-4E6B-9C47-1A2D6E5B7C90 "library ${name}")
  set(${out} ${uuid} PARENT_SCOPE)
endfunction()
function(check_library_code out name)
  tavik_msi_uuid(uuid FFE18A8F-FD91-54B9-8341-7AABF2D0FBFA "${name}")
  set(${out} ${uuid} PARENT_SCOPE)
endfunction()
function(tavik_x64_code out name)
  tavik_msi_uuid(uuid 6B0E3C52-9A4D-4F1B-8E27-C5D3A1F09B64 "${name}")
  set(${out} ${uuid} PARENT_SCOPE)
endfunction()
function(tavik_x86_code out name)
  tavik_msi_uuid(uuid 2D8F61A7-3C5E-4B90-A14D-7E6B2F08C315 "${name}")
  set(${out} ${uuid} PARENT_SCOPE)
endfunction()
answers(library_upgrade_code [[
  {FFE18A8F-FD91-54B9-8341-7AABF2D0FBFA} {Check Library}
  {22ED8194-9DAF-522F-BBE0-A578DDBDA1C4} {O'Brien & Co}
  {1E5A230E-2793-55C1-A548-29C2619886FE} {Velmora & Söhne}
]])
answers(check_library_code [[
  {0E4C0CD9-FF10-5A01-8110-F9155DA0E07E} {product 1.0.0 x64 machine}
  {2B837FC4-6029-5523-A04B-561DAB349F3C} {product 1.0.0 x86 user}
  {C7FC4264-6270-513A-B991-274146BA4ED9} {component machine lib.json}
  {898E5ECC-935E-5E5D-B29B-A547F701DBE8} {component user Tavik.exe}
]])
answers(tavik_x64_code [[
  {0912A483-2D4D-5A16-B795-B8068450516F} {product 1.0.0}
  {5B4B2A3F-FF75-5FE6-8018-B33AF6C2D949} {component TavikExe}
]])
answers(tavik_x86_code [[
  {AB4FDB7F-70D7-59D7-A6AA-868964A4219B} {product 1.0.0}
  {0BCB332E-58FC-5335-8D39-F44C84E8AAA8} {component TavikExe}
]])

# A Windows folder name: no \ / : * ? " < > |, no trailing dot or space.
answers(tavik_msi_folder_name_ok [[
  {TRUE} {Forest Assets}
  {TRUE} {O'Brien & Co}
  {TRUE} {Cash $5 (2024)}
  {TRUE} {a;b}
  {TRUE} {.hidden}
  {TRUE} { leading}
  {TRUE} {Velmora & Söhne}
  {FALSE} {}
  {FALSE} {a\b}
  {FALSE} {a/b}
  {FALSE} {C:}
  {FALSE} {a*}
  {FALSE} {a?}
  {FALSE} {say "hi"}
  {FALSE} {<a>}
  {FALSE} {a>}
  {FALSE} {a|b}
  {FALSE} {name.}
  {FALSE} {name }
  {FALSE} {.}
]])

answers(tavik_msi_codepage_ok [[
  {TRUE} {Velmora & Söhne}
  {TRUE} {Café 50 €}
  {FALSE} {Łódź}
  {FALSE} {a ✓}
]])

# Text for an attribute that wixl's preprocessor reads: XML's escapes, &
# first so that an entity already in a name stays text, and $ as the
# variable that holds one.
answers(tavik_msi_xml [[
  {plain name.png} {plain name.png}
  {it&apos;s.png} {it's.png}
  {O&apos;Brien &amp; Co.vlmrlib} {O'Brien & Co.vlmrlib}
  {&amp;amp;.png} {&amp;.png}
  {&amp;lt;&amp;apos;} {&lt;&apos;}
  {&lt;&quot;q&quot;&gt;} {<"q">}
  {&amp;&amp;} {&&}
  {$(var.TavikDollar)5 deal.png} {$5 deal.png}
  {$(var.TavikDollar)$(var.TavikDollar)} {$$}
  {a$(var.TavikDollar)} {a$}
  {$(var.TavikDollar)(var.Name).png} {$(var.Name).png}
  {$(var.TavikDollar)(env.HOME} {$(env.HOME}
  {&amp;#x20AC;} {&#x20AC;}
  {} {}
]])
# Whatever the name, what comes out holds no raw < > " ' and no & that does
# not start one of the five entities.
foreach(text "<a href=\"x\">'&'</a>" "&amp;&lt;&gt;&quot;&apos;&#39;" "'\"'\"<<>>")
  tavik_msi_xml(xml "${text}")
  string(REGEX REPLACE "&(amp|lt|gt|quot|apos);" "" bare "${xml}")
  if(bare MATCHES "[<>\"'&]")
    fail("tavik_msi_xml(\"${text}\") is \"${xml}\", which holds a raw character")
  endif()
endforeach()

# A definition's value: anything but the end of the instruction and an
# expansion.
answers(tavik_msi_define_ok [[
  {TRUE} {Northwood Studio}
  {TRUE} {O'Brien & Co}
  {TRUE} {Studio "North"}
  {TRUE} {"quoted"}
  {TRUE} {<Ltd> & 'Sons'}
  {TRUE} {Cash $5}
  {TRUE} {$ (x)}
  {TRUE} {a ? > b}
  {TRUE} {a;b}
  {FALSE} {a ?> b}
  {FALSE} {?>}
  {FALSE} {a $(env.HOME) b}
  {FALSE} {$(var.Name)}
  {FALSE} {$(}
]])
function(define_line out value)
  tavik_msi_define(line Name "${value}")
  set(${out} "${line}" PARENT_SCOPE)
endfunction()
answers(define_line [[
  {<?define Name = "O'Brien & Co" ?>} {O'Brien & Co}
  {<?define Name = "Studio "North"" ?>} {Studio "North"}
  {<?define Name = "trailing " ?>} {trailing }
  {<?define Name = "$" ?>} {$}
]])

get_property(failures GLOBAL PROPERTY msi_common_test_failures)
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} case(s) of cmake/msi_common.cmake failed")
endif()
