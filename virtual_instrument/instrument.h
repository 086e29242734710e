// The virtual instrument: a model of the Zelqa's driver and firmware behind
// the four control requests. It decodes every command stream it receives,
// keeps the instrument's state, answers read requests, logs every transfer
// and injects faults on request. Deterministic: no clock, no hidden input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "virtual_instrument/acquisition_memory.h"
#include "virtual_instrument/fpga.h"
#include "virtual_instrument/i2c_eeprom.h"
#include "virtual_instrument/serial_eeprom.h"

namespace vi {

using Bytes = std::vector<std::uint8_t>;

// One control request as the driver saw it.
struct Transfer {
    std::uint32_t code = 0;      // the control request
    Bytes bytes;                 // bytes written, or bytes delivered by a read
    std::uint32_t inLength = 0;  // input length the library passed
    std::uint32_t outLength = 0; // output length the library passed
    bool ok = false;             // the result the driver returned
    std::uint32_t returned = 0;  // the count the driver reported
};

// One retry dialog as the user saw it.
struct Dialog {
    const void *owner = nullptr;
    std::string caption;
    std::string text;
    unsigned buttons = 0;
    int answer = 0;
};

// Faults to inject; each is consumed as it strikes.
struct Faults {
    int failWrites = 0;                         // the next N write transfers fail
    int failReads = 0;                          // the next N read transfers fail, delivering nothing
    int failReady = 0;                          // the next N ready requests fail
    int failOpens = 0;                          // the next N opens fail
    int failInfoSets = 0;                       // the next N device information sets cannot be made
    int failDetails = 0;                        // the next N interface detail records cannot be filled
    std::optional<std::uint32_t> deliverAtMost; // reads deliver at most this many bytes
    std::uint32_t overstateCount = 0;           // reads report this many bytes more than delivered
    std::uint32_t failedReadCount = 0;          // a failing read reports this count all the same
};

// A hostile driver's answer to one read transfer, overriding the models:
// whatever bytes it likes (cut to the length asked for), any result, and any
// count, larger or smaller than what it delivered.
struct ScriptedRead {
    bool ok = true;
    Bytes bytes;
    std::uint32_t reported = 0;
};

// Protocol errors kept word for word: the first ones say what went wrong, and
// an instrument served for days to a faulty application (8,192 errors per
// malformed 16 KiB stream) must not grow without end; the rest are counted.
constexpr std::size_t kProtocolErrorsKept = 1000;

// What the library has called that Windows would refuse, or that a real
// device could not make sense of. A correct library leaves all of it empty.
struct Errors {
    std::vector<std::string> protocol; // the command stream and read sequence: the first kProtocolErrorsKept
    std::uint64_t protocolDropped = 0; // protocol errors past those, counted only
    std::vector<std::string> calls;    // arguments of the Win32 calls
};

class Replay;

class Instrument {
  public:
    // --- Connection ---------------------------------------------------------
    bool attached = true;
    std::uint32_t attachGeneration = 0; // handles of an earlier attachment are dead
    void Detach();
    void Attach();
    // Scripted plugging: driver transfers left until the instrument is
    // detached, then driver calls (open attempts and transfers) while it is
    // detached until it is attached again. Counted by AfterDriverCall.
    std::optional<std::uint32_t> unplugAfter;
    std::optional<std::uint32_t> replugAfter;
    void AfterDriverCall(bool transfer);

    // --- Instrument state ---------------------------------------------------
    std::uint8_t registers[256] = {};
    std::uint8_t addressLatch = 0;
    int epbCount = 0;
    std::optional<std::uint8_t> plantedByte; // READ_BYTE answers this, else the latched register
    Bytes blockData; // when set, READ_BLOCK answers these bytes, then zeros, instead of the capture
    I2CEeprom i2cEeprom;
    SerialEeprom serialEeprom; // on the lines of the data-write port
    Fpga fpga;                 // on the lines of the raw writes

    // --- Acquisition memory -------------------------------------------------
    // Fed by the signal model; answers READ_BLOCK with the capture, READ_ROLL
    // with the next block of the roll-mode stream and READ_PRETRIGGER with the
    // pre-trigger memory. Tests set its generators and roll-mode script, and
    // compute the points they expect from it.
    AcquisitionMemory acquisition;

    // --- Logs and faults ----------------------------------------------------
    std::vector<Transfer> transfers;
    // Whether transfers and raw bytes are logged: by the instruments of
    // ResetDevice, which tests read; not by the process's first one, which
    // serves applications and would otherwise grow with every transfer.
    bool keepLogs = false;
    std::vector<Dialog> dialogs;
    std::deque<int> dialogAnswers; // scripted answers; empty means Cancel
    // Runs while a dialog is shown, before it is answered (the user
    // reconnecting the instrument, say).
    std::function<void(Instrument &)> whileDialogShown;
    bool echoDialogs = false; // each dialog and its answer on standard error (scripted instruments)
    Faults faults;
    // Write transfers that fail, by number: each write that reaches an open
    // handle of the attached instrument counts, from 0.
    std::set<std::uint32_t> failWriteAttempts;
    std::uint32_t writeAttempts = 0;
    // Answers to the next read transfers on a live handle, in order, in place
    // of the models' answers (which are still consumed).
    std::deque<ScriptedRead> scriptedReads;
    Errors errors;
    // Events of the instrument's log beside its transfers and dialogs: the
    // first divergence of a replay.
    std::vector<std::string> events;
    // Set by ZQLUSB_VIRTUAL_REPLAY (replay.h): the transfers, opens and dialog
    // answers come from a recorded session.
    std::shared_ptr<Replay> replay;

    // --- The four control requests (called by the stand-in) -----------------
    bool WriteStream(const std::uint8_t *bytes, std::uint32_t length);
    bool WriteRaw(const std::uint8_t *bytes, std::uint32_t length);
    bool Read(std::uint8_t *area, std::uint32_t length, std::uint32_t *returned);
    // Bytes the last read wrote into its area (the count it reports may differ).
    std::uint32_t lastDelivered = 0;
    bool Ready();

    // Bytes of all raw writes that reached the instrument, in order.
    Bytes rawBytes;
    // Logs a transfer on a handle that is closed or dead (with the bytes it
    // would have written, if any); it fails.
    bool Refuse(std::uint32_t code, const std::uint8_t *written, std::uint32_t inLength, std::uint32_t outLength);
    void Log(const Transfer &t); // into transfers, when logs are kept

    // --- Handles the stand-in has issued and not yet seen closed -------------
    std::map<std::uintptr_t, std::uint32_t> openHandles; // value -> attach generation
    std::set<std::uintptr_t> liveInfoSets;
    std::uintptr_t nextHandleValue = 1;
    // The size fields of the SetupAPI records the library passed last.
    std::uint32_t interfaceSizeField = 0;
    std::uint32_t detailSizeField = 0;

    // Transfers of one control request, in order.
    std::vector<Transfer> TransfersOf(std::uint32_t code) const;
    void ProtocolError(const std::string &what);

  private:
    std::optional<Bytes> pendingAnswer_; // the answer to the last read request
    bool FailWrite();
    void Execute(const std::uint8_t *bytes, std::uint32_t length);
    std::uint32_t ExecuteCommand(const std::uint8_t *bytes, std::uint32_t at, std::uint32_t length);
    void ExecuteRead(std::uint8_t subcode, std::uint8_t p1, std::uint8_t p2);
    void AnswerUnlessFault(const std::string &fault, const Bytes &answer);
    void DeliverScripted(std::uint8_t *area, Transfer &t);
};

// The process-wide virtual instrument that the stand-in serves.
Instrument &Device();
// Replaces it with a new one: attached, zeroed, no faults, empty logs, no
// script. The first instrument of the process, made at first use, follows
// the script in ZQLUSB_VIRTUAL_SCRIPT (script.h).
void ResetDevice();

// The interface path under which the stand-in's SetupAPI lists the instrument.
extern const char kDevicePath[];

} // namespace vi
