# Cross-build for 32-bit Windows; programs built here run under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZQLUSB_MINGW_PREFIX i686-w64-mingw32)
set(ZQLUSB_WINE_RUNNER wine-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
