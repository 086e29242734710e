# The virtual Zelqa driver's parts, one object each: built into zqlvirt.sys
# (driver/CMakeLists.txt) and, over the stand-in kernel, into the native
# kernel tests (tests/CMakeLists.txt).
set(ZQLVIRT_PARTS zqlvirt_entry.cpp zqlvirt_dispatch.cpp zqlvirt_application.cpp zqlvirt_host_role.cpp
    zqlvirt_relay.cpp zqlvirt_interface.cpp)
