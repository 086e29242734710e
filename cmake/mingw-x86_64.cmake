# Cross-build for 64-bit Windows; programs built here run under 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZQLUSB_MINGW_PREFIX x86_64-w64-mingw32)
set(ZQLUSB_WINE_RUNNER wine64-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
