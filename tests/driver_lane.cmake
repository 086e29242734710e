# The driver lane of this width (win32-driver, win64-driver): the same test
# sources against the shipping zqlusb.dll loaded unmodified, reaching the
# virtual instrument through Wine's SetupAPI, kernel32 and user32 and the
# virtual Zelqa driver, served by the test program itself. Both widths run
# in one 64-bit prefix with the 64-bit driver (tools/wine-driver), which the
# lane prepares first, reusing a prepared prefix.
set(ZQLUSB_DRIVER_X64_DIR ${PROJECT_SOURCE_DIR}/build/win64/driver
    CACHE PATH "The built 64-bit driver and zqlinstrument.exe that the driver lanes install")
set(driver_lane ${ZQLUSB_LANE}-driver)

add_executable(zqlusb_driver_tests ${ZQLUSB_TEST_SOURCES} ${ZQLUSB_TEST_SUPPORT} support/library_driver.cpp)
set_target_properties(zqlusb_driver_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:zqlusb>)
target_compile_definitions(zqlusb_driver_tests PRIVATE ZQLUSB_THROUGH_DRIVER)
target_include_directories(zqlusb_driver_tests PRIVATE ${PROJECT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(zqlusb_driver_tests PRIVATE ${ZQLUSB_WARNINGS})
target_link_options(zqlusb_driver_tests PRIVATE ${ZQLUSB_STATIC_RUNTIME})
target_link_libraries(zqlusb_driver_tests PRIVATE zqlhost zqlscope_commands zqlusb_reference ${ZQLUSB_GTEST})
add_dependencies(zqlusb_driver_tests zqlusb)

set(wine_driver ${PROJECT_SOURCE_DIR}/tools/wine-driver)
add_test(NAME ${driver_lane}.prefix COMMAND ${wine_driver} prepare ${ZQLUSB_DRIVER_X64_DIR})
set_tests_properties(${driver_lane}.prefix PROPERTIES FIXTURES_SETUP ${driver_lane}.prefix RESOURCE_LOCK wine-driver)
add_test(NAME ${driver_lane}.suite COMMAND ${wine_driver} suite $<TARGET_FILE:zqlusb_driver_tests>)
set_tests_properties(${driver_lane}.suite PROPERTIES FIXTURES_REQUIRED ${driver_lane}.prefix RESOURCE_LOCK wine-driver
                     TIMEOUT 900)

# The driver tested as a driver (64-bit only: the prefix runs the 64-bit
# driver): bad requests, hosts that go or compete, many opens; and a
# remove and reinstall before the suites, which must find it serving again.
if(ZQLUSB_ARCH STREQUAL "x64")
  add_executable(zqlvirt_driver_tests driver/driver_test.cpp driver/host_role_test.cpp)
  set_target_properties(zqlvirt_driver_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:zqlusb>)
  target_include_directories(zqlvirt_driver_tests PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(zqlvirt_driver_tests PRIVATE ${ZQLUSB_WARNINGS})
  target_link_options(zqlvirt_driver_tests PRIVATE ${ZQLUSB_STATIC_RUNTIME})
  target_link_libraries(zqlvirt_driver_tests PRIVATE zqlhost ${ZQLUSB_GTEST})
  add_test(NAME ${driver_lane}.reinstall COMMAND ${wine_driver} reinstall ${ZQLUSB_DRIVER_X64_DIR})
  add_test(NAME ${driver_lane}.driver COMMAND ${wine_driver} suite $<TARGET_FILE:zqlvirt_driver_tests>)
  set_tests_properties(${driver_lane}.reinstall ${driver_lane}.driver PROPERTIES
                       FIXTURES_REQUIRED ${driver_lane}.prefix RESOURCE_LOCK wine-driver TIMEOUT 600)
  set_tests_properties(${driver_lane}.driver PROPERTIES DEPENDS ${driver_lane}.reinstall)
  set_tests_properties(${driver_lane}.suite PROPERTIES DEPENDS ${driver_lane}.driver)
endif()

# A user's session through the driver: zqlinstrument serve, then zqlscope.exe
# with this width's shipping DLL: a checked 1,000-point capture and a timed
# 1,000-block roll (the time is printed, never judged).
add_test(NAME ${driver_lane}.session
         COMMAND ${PROJECT_SOURCE_DIR}/tools/check-driver-session ${ZQLUSB_DRIVER_X64_DIR} $<TARGET_FILE:zqlscope>
                 $<TARGET_FILE:zqlusb> ${ZQLUSB_ARCH})
set_tests_properties(${driver_lane}.session PROPERTIES FIXTURES_REQUIRED ${driver_lane}.prefix
                     RESOURCE_LOCK wine-driver TIMEOUT 300 DEPENDS ${driver_lane}.suite)
if(ZQLUSB_ARCH STREQUAL "x64")
  # One request through the driver and host beside the same request to the
  # stand-in, in one run; figures only.
  add_executable(zqlvirt_round_trip ${PROJECT_SOURCE_DIR}/bench/driver_round_trip.cpp)
  set_target_properties(zqlvirt_round_trip PROPERTIES RUNTIME_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:zqlusb>)
  target_include_directories(zqlvirt_round_trip PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(zqlvirt_round_trip PRIVATE ${ZQLUSB_WARNINGS})
  target_link_options(zqlvirt_round_trip PRIVATE ${ZQLUSB_STATIC_RUNTIME})
  target_link_libraries(zqlvirt_round_trip PRIVATE zqlhost)
  add_test(NAME ${driver_lane}.round_trip COMMAND ${wine_driver} run $<TARGET_FILE:zqlvirt_round_trip>)
  set_tests_properties(${driver_lane}.round_trip PROPERTIES FIXTURES_REQUIRED ${driver_lane}.prefix
                       RESOURCE_LOCK wine-driver TIMEOUT 300 DEPENDS ${driver_lane}.suite)
endif()
