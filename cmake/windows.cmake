# Windows build (mingw-w64): zqlusb.dll with no compiler runtime DLL, its
# version resource and its import libraries. Two kinds of DLL, the same
# exports at the same ordinals:
#   - the shipping DLL, bound to the real SetupAPI, kernel32 and user32;
#   - with ZQLUSB_VIRTUAL_DLL, the virtual-instrument DLL: the same core bound
#     to the stand-in, with the virtual instrument linked in, so that an
#     application runs against a simulated instrument.
option(ZQLUSB_VIRTUAL_DLL "Build the virtual-instrument zqlusb.dll instead of the shipping one" OFF)
enable_language(RC)

set(ZQLUSB_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
# The shipping DLL's code: C-level C++ and one C file. 32-bit code carries
# no unwind tables (nothing there would register them); 64-bit code keeps
# its table-based ones, which Windows itself unwinds with.
set(ZQLUSB_PLAIN_CXX -fno-exceptions -fno-rtti -fno-threadsafe-statics)
set(ZQLUSB_PLAIN_C -Wall -Wextra -Wpedantic -Werror)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZQLUSB_ARCH x64)
  set(ZQLUSB_DLLTOOL_MACHINE i386:x86-64)
  set(ZQLUSB_LANE win64)
else()
  set(ZQLUSB_ARCH x86)
  set(ZQLUSB_DLLTOOL_MACHINE i386)
  set(ZQLUSB_LANE win32)
  list(APPEND ZQLUSB_PLAIN_CXX -fno-asynchronous-unwind-tables)
  list(APPEND ZQLUSB_PLAIN_C -fno-asynchronous-unwind-tables)
endif()
if(ZQLUSB_VIRTUAL_DLL)
  string(APPEND ZQLUSB_LANE -virtual) # names the tests of this build
endif()

include(cmake/exports.cmake)

# The version resource, from the project version.
if(ZQLUSB_VIRTUAL_DLL)
  set(ZQLUSB_FILE_DESCRIPTION "Zelqa oscilloscope control library, virtual instrument (no hardware)")
else()
  set(ZQLUSB_FILE_DESCRIPTION "Zelqa oscilloscope control library")
endif()
configure_file(cmake/version.rc.in ${CMAKE_BINARY_DIR}/zqlusb_version.rc @ONLY)

if(ZQLUSB_VIRTUAL_DLL)
  add_library(zqlusb SHARED ${ZQLUSB_CORE_SOURCES} ${ZQLUSB_VI_SOURCES})
  target_include_directories(zqlusb PRIVATE ${PROJECT_SOURCE_DIR})
  # The static C++ runtime's one-time initialisations run through a
  # pthread_once that leaves nothing behind at unload (see the file).
  target_sources(zqlusb PRIVATE ${PROJECT_SOURCE_DIR}/virtual_instrument/dll/run_once.c)
  target_compile_options(zqlusb PRIVATE $<$<COMPILE_LANGUAGE:C>:${ZQLUSB_PLAIN_C}>)
  target_link_options(zqlusb PRIVATE -Wl,--wrap=pthread_once)
  target_link_libraries(zqlusb PRIVATE zqltrace_reader) # the replay of a trace
else()
  add_library(zqlusb SHARED ${ZQLUSB_CORE_SOURCES})
  target_compile_definitions(zqlusb PRIVATE ZQLUSB_REAL_WIN32 WIN32_LEAN_AND_MEAN)
  target_link_libraries(zqlusb PRIVATE setupapi)
  # Plain C-level code: no exceptions, no RTTI, no guarded statics, linked by
  # the C driver without the C runtime's start-up, so that no C++ runtime,
  # threads library or unwinder is linked in (a reference to one fails the
  # link), and the entry point of src/dll_entry.c is all that runs at load.
  target_sources(zqlusb PRIVATE ${PROJECT_SOURCE_DIR}/src/dll_entry.c)
  target_compile_options(zqlusb PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${ZQLUSB_PLAIN_CXX}>
                         $<$<COMPILE_LANGUAGE:C>:${ZQLUSB_PLAIN_C}>)
  set_target_properties(zqlusb PROPERTIES LINKER_LANGUAGE C)
  if(ZQLUSB_ARCH STREQUAL "x86")
    set(entry _ZqlusbDllEntry@12)
  else()
    set(entry ZqlusbDllEntry)
  endif()
  target_link_options(zqlusb PRIVATE -nostartfiles -Wl,--entry,${entry})
endif()
target_sources(zqlusb PRIVATE ${ZQLUSB_LINK_DEF} ${CMAKE_BINARY_DIR}/zqlusb_version.rc)
set_target_properties(zqlusb PROPERTIES PREFIX "" OUTPUT_NAME zqlusb)
target_include_directories(zqlusb
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>
  PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(zqlusb PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${ZQLUSB_WARNINGS}>)
# Undecorated export names, at the ordinals of zqlusb.def. No stdcall fixup:
# every name of the decorated .def must match its symbol exactly.
# Release DLLs are stripped: the binary shipped is the binary tested.
target_link_options(zqlusb PRIVATE ${ZQLUSB_STATIC_RUNTIME} -Wl,--kill-at $<$<CONFIG:Release>:-s>
                    $<$<STREQUAL:${ZQLUSB_ARCH},x86>:-Wl,--disable-stdcall-fixup>)

# The import libraries. The link writes libzqlusb.dll.a for MinGW; on 32-bit,
# where ld's import library names the functions undecorated (reachable only
# through the linker's stdcall fixup), dlltool rewrites it from the decorated
# .def: _Name@bytes for callers, the undecorated name for the import.
if(ZQLUSB_ARCH STREQUAL "x86")
  add_custom_command(TARGET zqlusb POST_BUILD
    COMMAND ${ZQLUSB_DLLTOOL} --machine ${ZQLUSB_DLLTOOL_MACHINE} --input-def ${ZQLUSB_LINK_DEF}
            --dllname zqlusb.dll --kill-at --output-lib $<TARGET_LINKER_FILE_NAME:zqlusb>
    WORKING_DIRECTORY $<TARGET_LINKER_FILE_DIR:zqlusb>
    VERBATIM)
endif()
# zqlusb.lib for MSVC. On 32-bit it is llvm-dlltool's short import format:
# the members GNU dlltool writes carry no safe exception handler table, and a
# default Visual Studio x86 link (/SAFESEH) refuses them. On 64-bit, where
# /SAFESEH does not apply, GNU dlltool's library serves.
if(ZQLUSB_ARCH STREQUAL "x86")
  find_program(ZQLUSB_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
  set(msvc_implib_command ${ZQLUSB_LLVM_DLLTOOL} -m i386 -k -d ${ZQLUSB_LINK_DEF} -D zqlusb.dll -l zqlusb.lib)
else()
  set(msvc_implib_command ${ZQLUSB_DLLTOOL} --machine ${ZQLUSB_DLLTOOL_MACHINE} --input-def ${ZQLUSB_LINK_DEF}
      --dllname zqlusb.dll --kill-at --output-lib zqlusb.lib)
endif()
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/zqlusb.lib
  COMMAND ${msvc_implib_command}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS ${ZQLUSB_LINK_DEF}
  COMMENT "Import library for MSVC: zqlusb.lib"
  VERBATIM)
add_custom_target(zqlusb_msvc_implib ALL DEPENDS ${CMAKE_BINARY_DIR}/zqlusb.lib)

if(NOT ZQLUSB_VIRTUAL_DLL)
  # The trace DLL, build/<tree>/trace/zqlusb.dll (cmake/trace.cmake).
  include(${PROJECT_SOURCE_DIR}/cmake/trace.cmake)

  # The virtual instrument, linked into the Wine test program.
  add_library(zqlvi STATIC ${ZQLUSB_VI_SOURCES})
  target_include_directories(zqlvi PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(zqlvi PRIVATE ${ZQLUSB_WARNINGS})
  target_link_libraries(zqlvi PUBLIC zqltrace_reader) # the replay of a trace

  # GoogleTest from Debian's sources, built with the cross compiler.
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(ZQLUSB_GTEST gtest gtest_main)
endif()
