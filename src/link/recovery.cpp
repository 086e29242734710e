// What happens after a write transfer: success, silent reconnect, the retry
// dialog, or the link-failed state.
#include "link/command_stream.h"
#include "link/connection.h"

#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {

namespace {

const char kRetryCaption[] = "Zelqa not ready";
const char kRetryText[] = "Zelqa is either disconnected or is not ready.\nDo you want to retry operation ?";

// Asks the user whether to retry; true for Retry, false for any other answer.
bool UserChoosesRetry() {
    return MessageBoxA(nullptr, kRetryText, kRetryCaption, MB_RETRYCANCEL) == IDRETRY;
}

// Dialog mode, after a failure that a silent reconnect did not cure.
int AskUser() {
    const WaitingRequest request = SetAsideReadRequest();
    if (UserChoosesRetry()) {
        InitDevice();
        ReinitFailed = 0;
        PutBackReadRequest(request);
        return 1;
    }
    ReinitFailed = 1;
    CloseDevice();
    return 0;
}

} // namespace

namespace {

// The recovery rules: 1 to issue the transfer again, 0 when it is done.
int Decide(int res) {
    if (OpenWindow == 0) {
        ReinitFailed = res == 0 ? 1 : 0;
        return 0;
    }
    if (res != 0) {
        ReinitFailed = 0;
        ReTry = 0;
        return 0;
    }
    if (ReTry == 0) {
        InitDevice();
        ReinitFailed = 0;
        ReTry += 1;
        return 1;
    }
    if (ReinitFailed == 0) {
        return AskUser();
    }
    CloseDevice();
    return 0;
}

} // namespace

int ProcessResult(int res) {
    const int again = Decide(res);
    // A failed transfer that is not repeated is given up: its commands are
    // lost, which no original export reports.
    if (again == 0 && res == 0) {
        WriteGivenUp = 1;
    }
    return again;
}

void WriteUntilDone(DWORD code, void *data, DWORD inLength, DWORD outLength) {
    DWORD returned = 0;
    int again = 1;
    while (again) {
        BOOL ok = DeviceIoControl(DeviceHandle, code, data, inLength, data, outLength, &returned, nullptr);
        again = ProcessResult(ok ? 1 : 0);
    }
}

} // namespace zqlusb
