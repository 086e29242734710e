// Transfers, faults and the transfer log of the virtual instrument.
#include "virtual_instrument/instrument.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "link/control_requests.h"
#include "virtual_instrument/replay.h"
#include "virtual_instrument/script.h"

namespace vi {

const char kDevicePath[] = "\\\\?\\usb#vid_5a51&pid_0002#zelqa0#{d0f40dfc-ed5c-4080-ba0c-dd1baa4e8f2a}";

namespace {
std::unique_ptr<Instrument> MakeDefault() {
    auto device = std::make_unique<Instrument>();
    ApplyScriptFromEnvironment(*device);
    ApplyReplayFromEnvironment(*device);
    return device;
}

std::unique_ptr<Instrument> &Slot() {
    static std::unique_ptr<Instrument> device = MakeDefault();
    return device;
}
} // namespace

Instrument &Device() {
    return *Slot();
}

void ResetDevice() {
    Slot() = std::make_unique<Instrument>();
    Slot()->keepLogs = true;
}

void Instrument::Log(const Transfer &t) {
    if (keepLogs) {
        transfers.push_back(t);
    }
}

void Instrument::Detach() {
    attached = false;
}

void Instrument::Attach() {
    attached = true;
    ++attachGeneration;
}

void Instrument::AfterDriverCall(bool transfer) {
    if (unplugAfter) {
        if (transfer && attached && --*unplugAfter == 0) {
            unplugAfter.reset();
            Detach();
        }
        return;
    }
    if (replugAfter && !attached && --*replugAfter == 0) {
        replugAfter.reset();
        Attach();
    }
}

void Instrument::ProtocolError(const std::string &what) {
    if (errors.protocol.size() < kProtocolErrorsKept) {
        errors.protocol.push_back(what);
    } else {
        ++errors.protocolDropped;
    }
}

std::vector<Transfer> Instrument::TransfersOf(std::uint32_t code) const {
    std::vector<Transfer> out;
    std::copy_if(transfers.begin(), transfers.end(), std::back_inserter(out),
                 [code](const Transfer &t) { return t.code == code; });
    return out;
}

bool Instrument::FailWrite() {
    if (failWriteAttempts.count(writeAttempts++) != 0) {
        return true;
    }
    if (faults.failWrites > 0) {
        --faults.failWrites;
        return true;
    }
    return false;
}

bool Instrument::WriteStream(const std::uint8_t *bytes, std::uint32_t length) {
    Transfer t{zqlusb::IOCTL_SCOPE_WRITE_STREAM, Bytes(bytes, bytes + length), length, 0, false, 0};
    t.ok = attached && !FailWrite();
    Log(t);
    if (t.ok) {
        Execute(bytes, length);
    }
    return t.ok;
}

bool Instrument::WriteRaw(const std::uint8_t *bytes, std::uint32_t length) {
    Transfer t{zqlusb::IOCTL_SCOPE_WRITE_RAW, Bytes(bytes, bytes + length), length, length, false, 0};
    t.ok = attached && !FailWrite();
    if (t.ok) {
        t.returned = length;
        if (keepLogs) {
            rawBytes.insert(rawBytes.end(), bytes, bytes + length);
        }
        std::string fault = fpga.Take(bytes, length);
        if (!fault.empty()) {
            ProtocolError(fault);
        }
    }
    Log(t);
    return t.ok;
}

bool Instrument::Read(std::uint8_t *area, std::uint32_t length, std::uint32_t *returned) {
    Transfer t{zqlusb::IOCTL_SCOPE_READ, {}, length, length, false, 0};
    std::optional<Bytes> answer = std::move(pendingAnswer_);
    pendingAnswer_.reset();
    lastDelivered = 0;
    if (!scriptedReads.empty()) {
        DeliverScripted(area, t);
        *returned = t.returned;
        Log(t);
        return t.ok;
    }
    if (!answer) {
        ProtocolError("read transfer without a read request");
    }
    if (faults.failReads > 0) {
        --faults.failReads;
        t.returned = faults.failedReadCount;
    } else if (attached && answer) {
        std::uint32_t n = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(answer->size()));
        if (faults.deliverAtMost) {
            n = std::min(n, *faults.deliverAtMost);
        }
        if (n > 0) {
            std::memcpy(area, answer->data(), n);
        }
        t.bytes.assign(answer->begin(), answer->begin() + n);
        lastDelivered = n;
        t.ok = true;
        t.returned = n + faults.overstateCount;
    }
    *returned = t.returned;
    Log(t);
    return t.ok;
}

void Instrument::DeliverScripted(std::uint8_t *area, Transfer &t) {
    ScriptedRead script = std::move(scriptedReads.front());
    scriptedReads.pop_front();
    const std::size_t n = std::min<std::size_t>(t.inLength, script.bytes.size());
    if (n > 0) {
        std::memcpy(area, script.bytes.data(), n);
    }
    t.bytes.assign(script.bytes.begin(), script.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    lastDelivered = static_cast<std::uint32_t>(n);
    t.ok = script.ok;
    t.returned = script.reported;
}

bool Instrument::Refuse(std::uint32_t code, const std::uint8_t *written, std::uint32_t inLength,
                        std::uint32_t outLength) {
    Transfer t{code, {}, inLength, outLength, false, 0};
    if (written != nullptr) {
        t.bytes.assign(written, written + inLength);
    }
    Log(t);
    return false;
}

bool Instrument::Ready() {
    Transfer t{zqlusb::IOCTL_SCOPE_READY, {}, 0, 0, attached, 0};
    if (faults.failReady > 0) {
        --faults.failReady;
        t.ok = false;
    }
    Log(t);
    return t.ok;
}

} // namespace vi
