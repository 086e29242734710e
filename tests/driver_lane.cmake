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
