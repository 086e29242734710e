# The trace builds: the library core with the recording layer of src/trace/
# around it, writing a session trace (src/trace/format.h).
#   - zqlusb_recorded_core: the core's sources compiled with
#     ZQLUSB_RECORDED_CORE (its platform calls reach the recording binding)
#     and each export renamed to zqlcore_<name>, so that the traced exports
#     take the names;
#   - zqlusb_trace: on Windows the trace zqlusb.dll (build/<tree>/trace/),
#     the shipping DLL's core, real Win32 binding and exports with recording
#     around them; natively build/native/trace/libzqlusb.so over the stand-in.
# The shipping library is untouched by all of this.
set(ZQLUSB_TRACE_DIR ${PROJECT_SOURCE_DIR}/src/trace)
set(ZQLUSB_TRACE_SOURCES ${ZQLUSB_TRACE_DIR}/session.cpp ${ZQLUSB_TRACE_DIR}/pcapng.cpp
    ${ZQLUSB_TRACE_DIR}/recording_binding.cpp ${ZQLUSB_TRACE_DIR}/exports.cpp)
if(WIN32)
  list(APPEND ZQLUSB_TRACE_SOURCES ${ZQLUSB_TRACE_DIR}/platform_win32.cpp)
else()
  list(APPEND ZQLUSB_TRACE_SOURCES ${ZQLUSB_TRACE_DIR}/platform_posix.cpp)
endif()
set(ZQLUSB_TRACE_DEFINITIONS ZQLUSB_VERSION_TEXT="${PROJECT_VERSION}")

# Name=zqlcore_Name for each export of zqlusb.def; a new export there
# configures the tree again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/zqlusb.def)
file(STRINGS ${PROJECT_SOURCE_DIR}/include/zqlusb.def def_lines REGEX "^[ \t]+[A-Za-z0-9_]+ @[0-9]+")
set(ZQLUSB_CORE_RENAMES)
foreach(line IN LISTS def_lines)
  string(REGEX REPLACE "^[ \t]+([A-Za-z0-9_]+) @.*" "\\1" name "${line}")
  list(APPEND ZQLUSB_CORE_RENAMES ${name}=zqlcore_${name})
endforeach()

# The core as the trace builds compile it, into an object library for
# `target` (zqlusb_recorded_core, or another name for the benchmark).
function(zqlusb_add_recorded_core target)
  add_library(${target} OBJECT ${ZQLUSB_CORE_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(${target} PRIVATE ZQLUSB_RECORDED_CORE ${ZQLUSB_CORE_RENAMES} ${ARGN})
  target_compile_options(${target} PRIVATE ${ZQLUSB_WARNINGS})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

if(WIN32)
  zqlusb_add_recorded_core(zqlusb_recorded_core ZQLUSB_REAL_WIN32 WIN32_LEAN_AND_MEAN)
  target_compile_options(zqlusb_recorded_core PRIVATE ${ZQLUSB_PLAIN_CXX})
  set(ZQLUSB_FILE_DESCRIPTION "Zelqa oscilloscope control library, trace build (records the session)")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/zqlusb_trace_version.rc @ONLY)
  add_library(zqlusb_trace SHARED ${ZQLUSB_TRACE_SOURCES} ${ZQLUSB_TRACE_DIR}/dll_entry.c
              $<TARGET_OBJECTS:zqlusb_recorded_core> ${ZQLUSB_LINK_DEF} ${CMAKE_BINARY_DIR}/zqlusb_trace_version.rc)
  target_compile_definitions(zqlusb_trace PRIVATE ZQLUSB_REAL_WIN32 WIN32_LEAN_AND_MEAN ${ZQLUSB_TRACE_DEFINITIONS})
  target_include_directories(zqlusb_trace PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(zqlusb_trace PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${ZQLUSB_PLAIN_CXX} ${ZQLUSB_WARNINGS}>
                         $<$<COMPILE_LANGUAGE:C>:${ZQLUSB_PLAIN_C}>)
  target_link_libraries(zqlusb_trace PRIVATE setupapi)
  # Linked as the shipping DLL is: the C driver, no start-up, our entry point.
  set_target_properties(zqlusb_trace PROPERTIES LINKER_LANGUAGE C PREFIX "" OUTPUT_NAME zqlusb
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/trace ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/trace)
  if(ZQLUSB_ARCH STREQUAL "x86")
    set(entry _ZqlusbDllEntry@12)
  else()
    set(entry ZqlusbDllEntry)
  endif()
  target_link_options(zqlusb_trace PRIVATE -nostartfiles -Wl,--entry,${entry} ${ZQLUSB_STATIC_RUNTIME} -Wl,--kill-at
                      $<$<CONFIG:Release>:-s> $<$<STREQUAL:${ZQLUSB_ARCH},x86>:-Wl,--disable-stdcall-fixup>)
else()
  zqlusb_add_recorded_core(zqlusb_recorded_core)
  target_compile_options(zqlusb_recorded_core PRIVATE -fvisibility=hidden)
  add_library(zqlusb_trace SHARED ${ZQLUSB_TRACE_SOURCES} $<TARGET_OBJECTS:zqlusb_recorded_core>)
  target_compile_definitions(zqlusb_trace PRIVATE ZQLUSB_BUILDING_LIBRARY ${ZQLUSB_TRACE_DEFINITIONS})
  target_include_directories(zqlusb_trace PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(zqlusb_trace PRIVATE ${ZQLUSB_WARNINGS} -fvisibility=hidden)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(zqlusb_trace PRIVATE -fno-gnu-unique)
  endif()
  target_link_options(zqlusb_trace PRIVATE -Wl,-Bsymbolic)
  target_link_options(zqlusb_trace PRIVATE -Wl,--no-undefined)
  target_link_libraries(zqlusb_trace PRIVATE zqlvi)
  set_target_properties(zqlusb_trace PROPERTIES OUTPUT_NAME zqlusb LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/trace)
endif()
