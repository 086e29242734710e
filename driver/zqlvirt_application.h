// The application side of the virtual driver: the requests made on the
// instrument's device.
#pragma once

#include "zqlvirt_state.h"

namespace zqlvirt {

// Serves a request made on the instrument's device (not PnP or power).
NTSTATUS InstrumentRequest(PIRP irp);

} // namespace zqlvirt
