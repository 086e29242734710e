# The exports of a Windows build, derived from include/zqlusb.def:
#   ZQLUSB_LINK_DEF      the .def the DLL is linked with: on 32-bit the
#                        decorated one (Name@bytes), so that the import
#                        libraries map the names __stdcall callers use to the
#                        undecorated names that --kill-at exports; on 64-bit
#                        zqlusb.def itself, as nothing is decorated there;
#   ZQLUSB_EXPORT_TABLE  a C table of every export, its ordinal, its address
#                        and its import slot, for the import-library checks.
find_program(ZQLUSB_DLLTOOL ${ZQLUSB_MINGW_PREFIX}-dlltool REQUIRED)
find_program(ZQLUSB_NM ${ZQLUSB_MINGW_PREFIX}-nm REQUIRED)

set(ZQLUSB_DEF ${PROJECT_SOURCE_DIR}/include/zqlusb.def)
set(ZQLUSB_EXPORT_TABLE ${CMAKE_BINARY_DIR}/exports/export_table.c)
set(scan_outputs ${ZQLUSB_EXPORT_TABLE})
set(scan_args)
if(ZQLUSB_ARCH STREQUAL "x86")
  set(ZQLUSB_LINK_DEF ${CMAKE_BINARY_DIR}/zqlusb-x86.def)
  list(APPEND scan_outputs ${ZQLUSB_LINK_DEF})
  set(scan_args -DDECORATED=${ZQLUSB_LINK_DEF})
else()
  set(ZQLUSB_LINK_DEF ${ZQLUSB_DEF})
endif()

add_custom_command(
  OUTPUT ${scan_outputs}
  COMMAND ${CMAKE_COMMAND} -DDEF=${ZQLUSB_DEF} -DINCLUDE=${PROJECT_SOURCE_DIR}/include -DCC=${CMAKE_C_COMPILER}
          -DNM=${ZQLUSB_NM} -DWORK=${CMAKE_BINARY_DIR}/exports -DTABLE=${ZQLUSB_EXPORT_TABLE} ${scan_args}
          -P ${PROJECT_SOURCE_DIR}/cmake/scan-exports.cmake
  DEPENDS ${ZQLUSB_DEF} ${PROJECT_SOURCE_DIR}/include/zqlusb.h ${PROJECT_SOURCE_DIR}/cmake/scan-exports.cmake
  COMMENT "Scanning the exports of zqlusb.def"
  VERBATIM)
# For targets in other directories that build from the table.
add_custom_target(zqlusb_exports DEPENDS ${scan_outputs})
