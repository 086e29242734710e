# Native (Linux) build: libzqlusb.so over libzqlvi.so, the virtual instrument
# with the Win32 stand-in, much as zqlusb.dll sits over the driver.

add_library(zqlvi SHARED ${ZQLUSB_VI_SOURCES})
target_include_directories(zqlvi PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
                                        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
target_compile_options(zqlvi PRIVATE ${ZQLUSB_WARNINGS})
target_link_libraries(zqlvi PRIVATE zqltrace_reader) # the replay of a trace

add_library(zqlusb SHARED ${ZQLUSB_CORE_SOURCES})
target_include_directories(zqlusb
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>
  PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(zqlusb PRIVATE ZQLUSB_BUILDING_LIBRARY)
# Hidden by default, exports by name; calls inside the library stay inside it.
# No unique symbols, so that unloading really unloads (tests reload it).
target_compile_options(zqlusb PRIVATE ${ZQLUSB_WARNINGS} -fvisibility=hidden)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(zqlusb PRIVATE -fno-gnu-unique)
endif()
target_link_options(zqlusb PRIVATE -Wl,-Bsymbolic)
if(NOT ZQLUSB_FUZZ)
  # Under the fuzzer the sanitizer runtime lives in the program, not here.
  target_link_options(zqlusb PRIVATE -Wl,--no-undefined)
endif()
target_link_libraries(zqlusb PRIVATE zqlvi)

# The native trace library, build/native/trace/libzqlusb.so (cmake/trace.cmake);
# not in the fuzz lane, which builds the fuzz target alone.
if(NOT ZQLUSB_FUZZ)
  include(${PROJECT_SOURCE_DIR}/cmake/trace.cmake)
endif()

find_package(GTest REQUIRED)
set(ZQLUSB_GTEST GTest::gtest GTest::gtest_main)
