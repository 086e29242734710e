# Install rules and the package config, so that an application finds the
# library with find_package(zqlusb) and links it with zqlusb::zqlusb.
#   native:  lib/libzqlusb.so over lib/libzqlvi.so (the virtual instrument)
#   Windows: bin/zqlusb.dll, lib/libzqlusb.dll.a (MinGW), lib/zqlusb.lib
#            (MSVC), lib/zqlusb.def
# and include/zqlusb.h, lib/cmake/zqlusb/ everywhere.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZQLUSB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zqlusb)
set(install_targets zqlusb)
if(NOT WIN32)
  list(APPEND install_targets zqlvi)
  # Each library finds the other beside itself once installed.
  set_target_properties(zqlusb zqlvi PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

install(TARGETS ${install_targets} EXPORT zqlusbTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/zqlusb.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/zqlusb.lib ${PROJECT_SOURCE_DIR}/include/zqlusb.def
          DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT zqlusbTargets NAMESPACE zqlusb:: DESTINATION ${ZQLUSB_CMAKE_DIR})
configure_package_config_file(cmake/zqlusbConfig.cmake.in ${CMAKE_BINARY_DIR}/zqlusbConfig.cmake
                              INSTALL_DESTINATION ${ZQLUSB_CMAKE_DIR})
# Same major version; a 64-bit application does not take a 32-bit tree.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zqlusbConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zqlusbConfig.cmake ${CMAKE_BINARY_DIR}/zqlusbConfigVersion.cmake
        DESTINATION ${ZQLUSB_CMAKE_DIR})
