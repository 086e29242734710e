// The host role of the virtual driver: the control device's requests, and
// what happens when the host goes.
#pragma once

#include "zqlvirt_state.h"

namespace zqlvirt {

// The host closed its handle or died: no one serves the instrument. Without
// the lock; nothing happens unless `file` is the host's.
void HostGone(PFILE_OBJECT file);

// Serves a request made on the control device.
NTSTATUS ControlRequest(PIRP irp);

} // namespace zqlvirt
