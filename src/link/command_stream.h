// The command stream: pending commands collected in one buffer and sent to
// the instrument in a single write-stream transfer.
#pragma once

#include <cstdint>

namespace zqlusb {

// One stream transfer carries at most this many bytes before an append flushes.
constexpr int kBufferSize = 16384;
// Room past kBufferSize for what is appended without a flush test: a read
// request with its filler, and the I2C read's opening command before it.
constexpr int kBufferSpare = 8;

extern std::uint8_t Buffer[kBufferSize + kBufferSpare];
extern int BufferLength;

// Appends a 2-byte command and flushes once the buffer is full.
void AppendCommand(std::uint8_t opcode, std::uint8_t operand);
// Appends a 2-byte command without the flush test.
void AppendUnchecked(std::uint8_t opcode, std::uint8_t operand);

// The read-request framing: aligns the stream, appends CMD_READ with the
// sub-code (and the parameters where the request has them), flushes, and
// tells whether the link is usable for the read transfer that follows.
bool SendReadRequest(std::uint8_t subcode);
// `opening`, when given, is a 2-byte command that travels just before the
// request and belongs to it (the I2C read's bus opening).
bool SendReadRequest(std::uint8_t subcode, std::uint8_t parameter1, std::uint8_t parameter2,
                     const std::uint8_t *opening = nullptr);

// A read request taken out of the buffer while the retry dialog is shown.
struct WaitingRequest {
    bool present;
    bool opens;              // it starts with an opening command
    std::uint8_t opening[2]; // that command, when it has one
    std::uint8_t read[4];    // CMD_READ, sub-code and both parameter bytes as they stood
};

// Around the retry dialog of a flush that carries a read request: the request
// leaves the buffer while the application's window procedures run, so that a
// call they make sends only its own request and takes only its own answer;
// on Retry it goes back at the end of whatever is pending by then, and the
// repeated transfer carries it. Nothing is set aside when no request waits.
WaitingRequest SetAsideReadRequest();
void PutBackReadRequest(const WaitingRequest &request);

// One read transfer into area; returns the driver's result and stores the
// reported count in *returned.
int ReadTransfer(void *area, std::uint32_t length, std::uint32_t *returned);

} // namespace zqlusb
