# CMake toolchain file for 32-bit Windows with MinGW-w64, for building against
# this package from Linux, macOS or an MSYS2 shell:
#   cmake -S examples -B build -DCMAKE_TOOLCHAIN_FILE=<package>/cmake/mingw-i686.cmake -Dzqlusb_DIR=<package>/cmake
# The compilers are i686-w64-mingw32-gcc and -g++; name others with
# -DCMAKE_C_COMPILER=... on the command line.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
endif()
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# The package is found where zqlusb_DIR names it, not only below the compiler's root.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
