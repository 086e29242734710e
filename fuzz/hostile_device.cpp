// A fuzz session's hostile device: failed writes and reads, scripted
// replies, detach and attach, dialog answers, failed opens and overstated
// counts, set on the virtual instrument between calls.
#include <utility>

#include "fuzz/session_steps.h"
#include "tests/reference/roll_block.h"

namespace fuzz {

void Session::Hostile() {
    ++totals.faults;
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
        device.faults.failWrites = in.ConsumeIntegralInRange(0, 4);
        break;
    case 1:
        device.faults.failReads = in.ConsumeIntegralInRange(0, 2);
        device.faults.failedReadCount = in.ConsumeIntegral<std::uint32_t>();
        break;
    case 2: {
        vi::ScriptedRead script;
        script.ok = in.ConsumeBool();
        script.reported =
            in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>() : in.ConsumeIntegralInRange(0u, 4200u);
        const auto size = in.ConsumeIntegralInRange<std::size_t>(0, 4200);
        script.bytes = in.ConsumeBytes<std::uint8_t>(size);
        if (in.ConsumeBool()) { // a full roll-mode block of one repeated tag pattern
            script.bytes.resize(reference::kRollBlockSize, script.bytes.empty() ? 0x80 : script.bytes.back());
        }
        device.scriptedReads.push_back(std::move(script));
        break;
    }
    case 3:
        device.Detach();
        break;
    case 4:
        device.Attach();
        break;
    case 5: {
        const int answer = in.PickValueInArray({4, 2, 1, 0, 3});
        device.dialogAnswers.push_back(answer);
        oracle.ScriptAnswer(answer);
        break;
    }
    case 6:
        device.faults.failReady = in.ConsumeIntegralInRange(0, 2);
        device.faults.failOpens = in.ConsumeIntegralInRange(0, 2);
        switch (in.ConsumeIntegralInRange(0, 2)) { // SetupAPI's part of the next open
        case 1: device.faults.failInfoSets = 1; break;
        case 2: device.faults.failDetails = 1; break;
        default: break;
        }
        break;
    default:
        device.faults.overstateCount = in.ConsumeIntegral<std::uint32_t>();
        if (in.ConsumeBool()) {
            device.faults.deliverAtMost = in.ConsumeIntegral<std::uint32_t>() % 70000;
        }
        break;
    }
}

} // namespace fuzz
