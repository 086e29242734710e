# Windows build (mingw-w64): the shipping zqlusb.dll, bound to the real
# SetupAPI, kernel32 and user32, with no compiler runtime DLL.

set(ZQLUSB_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

add_library(zqlusb SHARED ${ZQLUSB_CORE_SOURCES} ${PROJECT_SOURCE_DIR}/include/zqlusb.def)
set_target_properties(zqlusb PROPERTIES PREFIX "" OUTPUT_NAME zqlusb)
target_include_directories(zqlusb
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(zqlusb PRIVATE ZQLUSB_REAL_WIN32 WIN32_LEAN_AND_MEAN)
target_compile_options(zqlusb PRIVATE ${ZQLUSB_WARNINGS})
# Undecorated export names, at the ordinals of zqlusb.def.
target_link_options(zqlusb PRIVATE ${ZQLUSB_STATIC_RUNTIME} -Wl,--kill-at -Wl,--enable-stdcall-fixup)
target_link_libraries(zqlusb PRIVATE setupapi)

# The virtual instrument, linked into the Wine test program.
add_library(zqlvi STATIC ${ZQLUSB_VI_SOURCES})
target_include_directories(zqlvi PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)
target_compile_options(zqlvi PRIVATE ${ZQLUSB_WARNINGS})

# GoogleTest from Debian's sources, built with the cross compiler.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set(ZQLUSB_GTEST gtest gtest_main)
