# The x86 lane (x86-emulated): the shipping 32-bit zqlusb.dll and the x86
# trace DLL of build/win32, the files as built, run in an emulated x86
# processor (Unicorn) inside native test programs, their imports bound to the
# same virtual instrument as the native lane's (tests/x86). It needs no
# 32-bit support from the kernel. The acquisition tests run a second time on
# a processor without SSSE3 (a Pentium 4), so that both paths of the DLL's roll decode run.
find_library(ZQLUSB_UNICORN unicorn REQUIRED)
find_path(ZQLUSB_UNICORN_INCLUDE unicorn/unicorn.h REQUIRED)
find_library(ZQLUSB_CAPSTONE capstone REQUIRED) # classes instructions by set for the processor models
set(ZQLUSB_X86_DLL_DIR ${PROJECT_SOURCE_DIR}/build/win32 CACHE PATH "Where the x86 lane finds the built 32-bit DLLs")

# The virtual instrument with SetupAPI's records laid out as on 32-bit Windows.
add_library(zqlvi_x86 STATIC ${ZQLUSB_VI_SOURCES})
target_include_directories(zqlvi_x86 PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(zqlvi_x86 PUBLIC ZQLUSB_X86_RECORDS)
target_compile_options(zqlvi_x86 PRIVATE ${ZQLUSB_WARNINGS})
target_link_libraries(zqlvi_x86 PUBLIC zqltrace_reader)

# The bed: the PE loader, the processor, the imports.
add_library(zqlusb_x86_bed STATIC x86/pe_image.cpp x86/machine.cpp x86/guest_memory.cpp x86/guest_calls.cpp
                                  x86/imports.cpp x86/standin_calls.cpp
                                  x86/system_calls.cpp x86/kernel32_threads.cpp
                                  x86/kernel32_files.cpp x86/kernel32_environment.cpp x86/msvcrt_heap.cpp
                                  x86/processor.cpp)
target_include_directories(zqlusb_x86_bed PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${ZQLUSB_UNICORN_INCLUDE})
target_compile_options(zqlusb_x86_bed PRIVATE ${ZQLUSB_WARNINGS})
target_link_libraries(zqlusb_x86_bed PUBLIC zqlvi_x86 ${ZQLUSB_UNICORN} ${ZQLUSB_CAPSTONE})

# What every program of the lane needs: the binding (library_x86.cpp) and
# the bed, with `dll` as the DLL file it loads.
function(zqlusb_x86_lane_options target dll)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support/library_x86.cpp)
  target_compile_definitions(${target} PRIVATE ZQLUSB_X86_EMULATED ZQLUSB_X86_DLL="${dll}")
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src
                                               ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${ZQLUSB_WARNINGS})
  target_link_libraries(${target} PRIVATE zqlusb_x86_bed)
endfunction()

# One test program of the lane: `dll` is the DLL file, the rest its sources.
function(zqlusb_x86_lane target dll)
  add_executable(${target} ${ARGN})
  zqlusb_x86_lane_options(${target} ${dll})
  target_link_libraries(${target} PRIVATE ${ZQLUSB_GTEST})
endfunction()

file(GLOB ZQLUSB_X86_BED_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/x86/*_test.cpp)
zqlusb_x86_lane(zqlusb_x86_tests ${ZQLUSB_X86_DLL_DIR}/zqlusb.dll ${ZQLUSB_TEST_SOURCES} ${ZQLUSB_TEST_SUPPORT}
                ${ZQLUSB_X86_BED_TESTS})
target_compile_definitions(zqlusb_x86_tests PRIVATE ZQLSCOPE_PROGRAM="$<TARGET_FILE:zqlscope>")
target_link_libraries(zqlusb_x86_tests PRIVATE zqlscope_commands zqlusb_reference)
add_dependencies(zqlusb_x86_tests zqlscope)

zqlusb_x86_lane(zqlusb_x86_trace_tests ${ZQLUSB_X86_DLL_DIR}/trace/zqlusb.dll ${ZQLUSB_TRACE_TEST_SOURCES})
target_compile_definitions(zqlusb_x86_trace_tests PRIVATE ZQLUSB_TEST_VERSION="${PROJECT_VERSION}")

include(GoogleTest)
gtest_discover_tests(zqlusb_x86_tests TEST_PREFIX x86-emulated. DISCOVERY_TIMEOUT 60)
gtest_discover_tests(zqlusb_x86_trace_tests TEST_PREFIX x86-emulated.trace. DISCOVERY_TIMEOUT 60)
# The acquisition tests and the bed's own on a Pentium 4: the DLL's roll
# decode then takes the path without SSSE3.
gtest_discover_tests(zqlusb_x86_tests TEST_PREFIX x86-emulated.no-ssse3. DISCOVERY_TIMEOUT 60
                     TEST_FILTER "AcquisitionRequestTest.*:PreTriggerTest.*:RollDecodeTest.*:RollModeTest.*:ScopeRecordTest.*:X86BedTest.*"
                     PROPERTIES ENVIRONMENT ZQLUSB_X86_PROCESSOR=no-ssse3)

# The cost of the emulated processor beside the native library, in one run:
# figures only (make bench prints them with more rounds).
add_executable(zqlusb_x86_cost ${PROJECT_SOURCE_DIR}/bench/x86_emulated_cost.cpp
                               ${CMAKE_CURRENT_SOURCE_DIR}/support/exports.cpp)
zqlusb_x86_lane_options(zqlusb_x86_cost ${ZQLUSB_X86_DLL_DIR}/zqlusb.dll)
target_compile_definitions(zqlusb_x86_cost PRIVATE ZQLUSB_NATIVE_LIBRARY="$<TARGET_FILE:zqlusb>")
target_link_libraries(zqlusb_x86_cost PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(zqlusb_x86_cost zqlusb)
add_test(NAME x86-emulated.cost COMMAND zqlusb_x86_cost 3 20000 20)
