// The virtual driver's dispatch routine, set for every major function.
#pragma once

#include "zqlvirt_state.h"

namespace zqlvirt {

// Serves an IRP sent to the control device or to the instrument's device.
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);

} // namespace zqlvirt
