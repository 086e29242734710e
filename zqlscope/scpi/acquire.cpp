// Acquisitions for the SCPI server, through zqlscope's own retrieval: a
// scope record (with the software trigger placing the frame in a full
// record) or the roll-mode stream fed through the stream trigger.
#include <string>

#include "scpi/machine.h"
#include "session.h"
#include "zqlusb.h"

namespace zqlscope::scpi {

namespace {

// Records searched for a trigger in normal mode before :SINGle gives up.
constexpr int kTriggerRecords = 16;
// Roll-mode blocks read for one acquisition at most: a full record at the
// instrument's usual 300 points a block is about 110; the rest is room to
// wait for a trigger.
constexpr int kMaxRollBlocks = 2000;

Status LinkStatusError(const std::string &what) {
    const std::string problem = LinkProblem(USBLinkStatus(), what);
    return problem.empty() ? Ok() : Status{code::kHardwareError, problem};
}

Status Record(const Settings &settings, Acquisition &out) {
    const signal::TriggerSettings &trigger = settings.trigger;
    if (trigger.mode == signal::TriggerMode::Off) {
        const Trace trace = RetrieveRecord({settings.points, 0, 1});
        out = Acquisition{trace.a, trace.b, std::nullopt};
        return LinkStatusError("the scope record");
    }
    const auto length = static_cast<std::size_t>(settings.points);
    for (int attempt = 0; attempt < kTriggerRecords; ++attempt) {
        const Trace trace = RetrieveRecord({ZQLUSB_CHANNEL_POINTS, 0, 1});
        if (Status s = LinkStatusError("the scope record"); Failed(s)) {
            return s;
        }
        const auto &source = trigger.edge.source == signal::Channel::A ? trace.a : trace.b;
        const auto placed = signal::PlaceRecord(source, trigger.edge, length, trigger.position);
        if (placed && placed->start >= 0 && static_cast<std::size_t>(placed->start) + length <= source.size()) {
            const auto from = static_cast<std::ptrdiff_t>(placed->start);
            const auto to = from + static_cast<std::ptrdiff_t>(length);
            out = Acquisition{{trace.a.begin() + from, trace.a.begin() + to},
                              {trace.b.begin() + from, trace.b.begin() + to},
                              static_cast<std::int64_t>(placed->crossing) - placed->start};
            return Ok();
        }
        if (trigger.mode == signal::TriggerMode::Auto) { // free-runs: the record's first points
            out = Acquisition{{trace.a.begin(), trace.a.begin() + settings.points},
                              {trace.b.begin(), trace.b.begin() + settings.points},
                              std::nullopt};
            return Ok();
        }
    }
    return Status{code::kExecutionError, "no trigger in " + std::to_string(kTriggerRecords) + " records"};
}

Status Roll(const Settings &settings, Acquisition &out) {
    const auto length = static_cast<std::size_t>(settings.points);
    signal::StreamTrigger trigger(settings.trigger, length);
    long long fed = 0;
    for (int blocks = 0; blocks < kMaxRollBlocks; ++blocks) {
        const RollBlock block = RetrieveRollBlock(fed);
        if (block.linkStatus != 0) {
            return Status{code::kHardwareError, LinkProblem(block.linkStatus, "a roll-mode block")};
        }
        fed += static_cast<long long>(block.trace.a.size());
        const signal::TriggerUpdate update = trigger.Feed(block.trace.a, block.trace.b);
        if (update.frame && update.frame->a.size() == length) {
            const signal::Frame &frame = *update.frame;
            std::optional<std::int64_t> at;
            if (frame.trigger) {
                at = static_cast<std::int64_t>(*frame.trigger - frame.start);
            }
            out = Acquisition{frame.a, frame.b, at};
            return Ok();
        }
    }
    return Status{code::kExecutionError, "no complete frame in " + std::to_string(kMaxRollBlocks) + " roll-mode blocks"};
}

} // namespace

Status Machine::Acquire() {
    Acquisition acquired;
    Status status;
    try {
        status = settings_.mode == AcquireMode::Record ? Record(settings_, acquired) : Roll(settings_, acquired);
    } catch (const RunError &e) { // the library answered something impossible
        status = Status{code::kHardwareError, e.what()};
    }
    if (Failed(status)) {
        data_.reset(); // what was read is not a measurement
        return status;
    }
    data_ = std::move(acquired);
    return Ok();
}

Status Machine::DataForQuery(const Acquisition *&out) {
    if (running_) {
        if (Status s = Acquire(); Failed(s)) {
            return s;
        }
    }
    if (!data_) {
        return Status{code::kDataStale, "no acquisition; send :SINGle or :RUN"};
    }
    out = &*data_;
    return Ok();
}

} // namespace zqlscope::scpi
