// The instrument's device interface: enabled exactly while the device is
// started, a host serves and the host wants it.
#pragma once

namespace zqlvirt {

// Applies the interface state the driver's record calls for. Passive level,
// without the lock.
void UpdateInterface();

// Waits until no caller is applying an interface change (before the link's
// name is freed). Passive level.
void WaitForInterface();

} // namespace zqlvirt
