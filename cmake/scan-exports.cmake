# Reads the exports and their ordinals from zqlusb.def and writes, for a
# Windows build:
#   TABLE      a C file that lists every export with its ordinal, its address
#              as a caller links it, and its import slot (__imp_...), for the
#              programs that check the import libraries;
#   DECORATED  (32-bit) the .def with each name as a __stdcall caller
#              references it, Name@bytes. The byte counts come from the
#              compiler: it compiles the address list against zqlusb.h, and
#              nm shows the names the object refers to.
# Usage: cmake -DDEF=zqlusb.def -DINCLUDE=include/ -DCC=gcc -DNM=nm
#              -DWORK=dir -DTABLE=out.c [-DDECORATED=out.def] -P scan-exports.cmake
foreach(var DEF INCLUDE CC NM WORK TABLE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "scan-exports: ${var} is not set")
  endif()
endforeach()

file(STRINGS ${DEF} lines)
set(names)
set(ordinals)
set(library "")
foreach(line IN LISTS lines)
  if(line MATCHES "^LIBRARY[ \t]+([^ \t]+)")
    set(library ${CMAKE_MATCH_1})
  elseif(line MATCHES "^[ \t]+([A-Za-z0-9_]+)[ \t]+@([0-9]+)")
    list(APPEND names ${CMAKE_MATCH_1})
    list(APPEND ordinals ${CMAKE_MATCH_2})
  endif()
endforeach()
list(LENGTH names count)
if(count EQUAL 0 OR library STREQUAL "")
  message(FATAL_ERROR "scan-exports: no LIBRARY line or no exports in ${DEF}")
endif()
math(EXPR last "${count} - 1")

# Step 1: the names the compiler gives callers of each export.
set(probe "/* Generated from zqlusb.def: refers to every export. */\n#include \"zqlusb.h\"\n")
string(APPEND probe "typedef void (*zqlusb_any_function)(void);\n")
string(APPEND probe "zqlusb_any_function const zqlusb_probe[] = {\n")
foreach(name IN LISTS names)
  string(APPEND probe "    (zqlusb_any_function)${name},\n")
endforeach()
string(APPEND probe "};\n")
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/export-probe.c "${probe}")
execute_process(
  COMMAND ${CC} -std=c11 -Wall -Werror -Werror=implicit-function-declaration -I${INCLUDE}
          -c ${WORK}/export-probe.c -o ${WORK}/export-probe.o
  RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scan-exports: zqlusb.h does not declare every export of zqlusb.def:\n${errors}")
endif()
execute_process(COMMAND ${NM} -u ${WORK}/export-probe.o OUTPUT_VARIABLE undefined RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scan-exports: ${NM} failed on the probe object")
endif()

# The symbol of each export: _Name@bytes on 32-bit, Name on 64-bit.
set(symbols)
foreach(name IN LISTS names)
  if(undefined MATCHES "[ \t]U (_${name}@[0-9]+)\n")
    list(APPEND symbols ${CMAKE_MATCH_1})
  elseif(undefined MATCHES "[ \t]U (${name})\n")
    list(APPEND symbols ${CMAKE_MATCH_1})
  else()
    message(FATAL_ERROR "scan-exports: the probe does not refer to ${name}:\n${undefined}")
  endif()
endforeach()

# Step 2: the table for the checking programs. An asm label names the import
# slot exactly as a caller with dllimport refers to it.
set(table "/* Generated from zqlusb.def by scan-exports.cmake. */\n#include \"zqlusb.h\"\n#include \"export_table.h\"\n\n")
foreach(i RANGE ${last})
  list(GET symbols ${i} symbol)
  string(APPEND table "extern const zqlusb_any_function zqlusb_slot_${i} __asm__(\"__imp_${symbol}\");\n")
endforeach()
string(APPEND table "\nconst struct zqlusb_export zqlusb_exports[] = {\n")
foreach(i RANGE ${last})
  list(GET names ${i} name)
  list(GET ordinals ${i} ordinal)
  string(APPEND table "    {\"${name}\", ${ordinal}, (zqlusb_any_function)${name}, &zqlusb_slot_${i}},\n")
endforeach()
string(APPEND table "};\nconst int zqlusb_export_count = ${count};\n")
file(WRITE ${TABLE}.tmp "${table}")
file(COPY_FILE ${TABLE}.tmp ${TABLE} ONLY_IF_DIFFERENT)

if(DEFINED DECORATED)
  set(def "; Generated from zqlusb.def: the names as __stdcall callers reference them.\n")
  string(APPEND def "LIBRARY ${library}\nEXPORTS\n")
  foreach(i RANGE ${last})
    list(GET symbols ${i} symbol)
    list(GET ordinals ${i} ordinal)
    string(REGEX REPLACE "^_" "" decorated ${symbol})
    string(APPEND def "    ${decorated} @${ordinal}\n")
  endforeach()
  file(WRITE ${DECORATED}.tmp "${def}")
  file(COPY_FILE ${DECORATED}.tmp ${DECORATED} ONLY_IF_DIFFERENT)
endif()
