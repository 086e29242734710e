// Appending commands, flushing the stream, and framing read requests.
#include "link/command_stream.h"

#include "link/commands.h"
#include "link/connection.h"
#include "link/control_requests.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {

std::uint8_t Buffer[kBufferSize + kBufferSpare];
int BufferLength = 0;

namespace {

// Makes room for `bytes` appended without the flush test, sending the pending
// commands first when the buffer and its spare cannot hold them. Only a call
// made from inside the retry dialog can find the buffer that full: the call
// that showed the dialog may have filled it, up to its spare.
void ReserveUnchecked(int bytes) {
    if (BufferLength + bytes > kBufferSize + kBufferSpare) {
        FlushBuffer();
    }
}

} // namespace

void AppendUnchecked(std::uint8_t opcode, std::uint8_t operand) {
    ReserveUnchecked(kShortCommandLength);
    Buffer[BufferLength] = opcode;
    Buffer[BufferLength + 1] = operand;
    BufferLength += kShortCommandLength;
}

namespace {

// Sends the stream once an append has filled the buffer.
void FlushWhenFull() {
    if (BufferLength >= kBufferSize) {
        FlushBuffer();
    }
}

// The read request waiting in the buffer for the flush that sends it: where
// it begins (its opening command, if it has one) and where its CMD_READ lies;
// -1 while none waits. A call made from inside the retry dialog finds it set
// aside (SetAsideReadRequest), so that it never sends another call's request.
int RequestStart = -1;
int RequestRead = -1;
bool RequestOpens = false;

// Aligns the stream for a read request and appends its first two bytes, after
// the opening command when there is one; returns the index of parameter 1.
int StartReadRequest(std::uint8_t subcode, const std::uint8_t *opening) {
    const int openingLength = opening != nullptr ? kShortCommandLength : 0;
    ReserveUnchecked(openingLength + kShortCommandLength + kReadCommandLength);
    RequestStart = BufferLength;
    RequestOpens = opening != nullptr;
    if (opening != nullptr) {
        AppendUnchecked(opening[0], opening[1]);
    }
    if (BufferLength % kReadAlignment != 0) {
        AppendUnchecked(CMD_NOP, 0x00);
    }
    int at = BufferLength;
    RequestRead = at;
    Buffer[at] = CMD_READ;
    Buffer[at + 1] = subcode;
    BufferLength += kReadCommandLength;
    return at + 2;
}

bool FlushForRead() {
    FlushBuffer();
    RequestStart = -1;
    RequestRead = -1;
    ReadMissed = ReinitFailed != 0 ? 1 : 0;
    return ReinitFailed == 0;
}

} // namespace

bool SendReadRequest(std::uint8_t subcode) {
    StartReadRequest(subcode, nullptr);
    return FlushForRead();
}

bool SendReadRequest(std::uint8_t subcode, std::uint8_t parameter1, std::uint8_t parameter2,
                     const std::uint8_t *opening) {
    int at = StartReadRequest(subcode, opening);
    Buffer[at] = parameter1;
    Buffer[at + 1] = parameter2;
    return FlushForRead();
}

WaitingRequest SetAsideReadRequest() {
    WaitingRequest request{};
    if (RequestStart < 0) {
        return request;
    }
    request.present = true;
    request.opens = RequestOpens;
    request.opening[0] = Buffer[RequestStart];
    request.opening[1] = Buffer[RequestStart + 1];
    for (int i = 0; i < kReadCommandLength; ++i) {
        request.read[i] = Buffer[RequestRead + i];
    }
    BufferLength = RequestStart;
    RequestStart = -1;
    RequestRead = -1;
    return request;
}

void PutBackReadRequest(const WaitingRequest &request) {
    if (!request.present) {
        return;
    }
    const int at =
        StartReadRequest(request.read[1], request.opens ? request.opening : nullptr);
    Buffer[at] = request.read[2];
    Buffer[at + 1] = request.read[3];
}

int ReadTransfer(void *area, std::uint32_t length, std::uint32_t *returned) {
    DWORD count = 0;
    BOOL ok = DeviceIoControl(DeviceHandle, IOCTL_SCOPE_READ, area, length, area, length, &count, nullptr);
    *returned = count;
    if (!ok) {
        ReadMissed = 1;
    }
    return ok;
}

void FlushBuffer() {
    // Each attempt sends what is pending at that moment: a call made from
    // inside the retry dialog adds its commands to the pending ones, or sends
    // them all itself, and then there is nothing left to repeat. A transfer
    // that finally fails drops the pending commands all the same;
    // ProcessResult has set the link-failed state.
    int again = 1;
    while (again && BufferLength != 0) {
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(DeviceHandle, IOCTL_SCOPE_WRITE_STREAM, Buffer, static_cast<DWORD>(BufferLength),
                                  Buffer, 0, &returned, nullptr);
        again = ProcessResult(ok ? 1 : 0);
    }
    BufferLength = 0;
}

void AppendCommand(std::uint8_t opcode, std::uint8_t operand) {
    AppendUnchecked(opcode, operand);
    FlushWhenFull();
}

void SetEPB() {
    // The EPB command has no operand: the byte after the opcode keeps
    // whatever the buffer held there.
    ReserveUnchecked(kShortCommandLength);
    Buffer[BufferLength] = CMD_EPB;
    BufferLength += kShortCommandLength;
    FlushWhenFull();
}

void WriteAddress(unsigned char address) {
    AppendCommand(CMD_ADDRESS, address);
}

void WriteData(unsigned char data) {
    AppendCommand(CMD_DATA, data);
}

} // namespace zqlusb
