// The connection to the instrument: the device handle, the link-failed state,
// dialog mode and the decision taken after every write transfer.
#pragma once

#include "link/win32_seam.h"

namespace zqlusb {

#if !defined(ZQLUSB_REAL_WIN32)
using namespace zqlwin;
#endif

// The open device; 0 while none is open.
extern HANDLE DeviceHandle;
// The link-failed state: while 1, reads skip their read transfer.
extern int ReinitFailed;
// Silent reconnects in dialog mode since the last successful write.
extern int ReTry;
// Dialog mode: 1 lets a failed write ask the user whether to retry.
extern int OpenWindow;
// 1 when the last read request brought no data from the instrument: its
// flush failed, so the read was skipped, or its read transfer failed.
extern int ReadMissed;
// 1 once a write transfer has been given up (its commands dropped, or the
// user cancelled) since USBLinkStatus last reported it.
extern int WriteGivenUp;

// Result of USBInitDevice when the instrument could not be opened.
constexpr int kInitFailed = 256;

// Closes the open device, if any, and forgets its handle.
void CloseDevice();

// Given a write transfer's result (non-zero for success): 1 when the caller
// must issue the same transfer again, 0 when it is done.
int ProcessResult(int res);

// Issues a write request and repeats it for as long as ProcessResult asks.
void WriteUntilDone(DWORD code, void *data, DWORD inLength, DWORD outLength);

} // namespace zqlusb
