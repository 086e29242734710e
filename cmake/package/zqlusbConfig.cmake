# zqlusb in the unpacked Windows package: find_package(zqlusb) with
# zqlusb_DIR (or CMAKE_PREFIX_PATH) naming this folder or the package's.
#   target_link_libraries(app PRIVATE zqlusb::zqlusb)
# gives the application zqlusb.h and zqlusb.dll of the application's width
# (x86/ or x64/) through the import library of its toolchain (zqlusb.lib for
# MSVC and clang-cl, libzqlusb.dll.a for MinGW). With ZQLUSB_VIRTUAL set ON,
# the target is the virtual-instrument DLL of virtual/x86/ or virtual/x64/
# instead (the import libraries are the same: the exports are).
# zqlusb.dll is a Windows library: a build for any other system (the host's
# own compiler, when no toolchain file names a Windows one) cannot link it.
if(NOT WIN32)
  set(zqlusb_FOUND FALSE)
  set(zqlusb_NOT_FOUND_MESSAGE
      "zqlusb is a Windows DLL, and this build targets ${CMAKE_SYSTEM_NAME} with ${CMAKE_C_COMPILER}. "
      "Build for Windows: with Visual Studio or in a Native Tools Command Prompt, or with MinGW-w64 through "
      "the package's toolchain files, -DCMAKE_TOOLCHAIN_FILE=<package>/cmake/mingw-x86_64.cmake (64-bit) or "
      "mingw-i686.cmake (32-bit).")
  return()
endif()
get_filename_component(_zqlusb_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_zqlusb_arch x64)
else()
  set(_zqlusb_arch x86)
endif()
if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  set(_zqlusb_implib "${_zqlusb_root}/${_zqlusb_arch}/zqlusb.lib")
else()
  set(_zqlusb_implib "${_zqlusb_root}/${_zqlusb_arch}/libzqlusb.dll.a")
endif()
set(_zqlusb_dll "${_zqlusb_root}/${_zqlusb_arch}/zqlusb.dll")
if(ZQLUSB_VIRTUAL)
  set(_zqlusb_dll "${_zqlusb_root}/virtual/${_zqlusb_arch}/zqlusb.dll")
endif()
if(NOT TARGET zqlusb::zqlusb)
  add_library(zqlusb::zqlusb SHARED IMPORTED)
  set_target_properties(zqlusb::zqlusb PROPERTIES
    IMPORTED_LOCATION "${_zqlusb_dll}"
    IMPORTED_IMPLIB "${_zqlusb_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_zqlusb_root}/include")
endif()
set(zqlusb_FOUND TRUE)
unset(_zqlusb_root)
unset(_zqlusb_arch)
unset(_zqlusb_implib)
unset(_zqlusb_dll)
