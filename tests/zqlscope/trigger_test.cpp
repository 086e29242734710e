// The software trigger: the crossing search (each slope, hysteresis against
// noise, crossings between blocks, the wide scan at every offset), the
// stream trigger's modes, holdoff and positions, and capture placement, on
// the virtual instrument's own generators.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "signal/trigger.h"
#include "virtual_instrument/signal_model.h"

namespace {

using namespace zqlscope::signal;
using Bytes = std::vector<std::uint8_t>;

Edge MakeEdge(Slope slope, int level, int hysteresis) {
    Edge e;
    e.slope = slope;
    e.level = static_cast<std::uint8_t>(level);
    e.hysteresis = static_cast<std::uint8_t>(hysteresis);
    return e;
}

Bytes Samples(const vi::Generator &g, std::int64_t first, std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = g.At(first + static_cast<std::int64_t>(i));
    }
    return out;
}

const vi::Generator kSine{vi::Shape::Sine, 500, 100, 128, 0};  // rising through 128 at 0, 500, 1000, ...
const vi::Generator kSquare{vi::Shape::Square, 100, 60, 128, 0}; // high at 0, rises again at 100, 200, ...
const vi::Generator kDc{vi::Shape::Dc, 1, 0, 128, 0};

struct CrossingCase {
    const char *name;
    Bytes samples;
    Edge edge;
    std::vector<std::size_t> crossings;
};

TEST(TriggerSearch, FindsEachSlopeWithItsHysteresis) {
    const Bytes jitter = {100, 126, 130, 126, 130, 126, 131, 200, 100, 130};
    const Bytes falling = {200, 130, 126, 130, 126, 130, 125, 100, 200, 126};
    const std::vector<CrossingCase> cases = {
        {"rising through the level", {100, 110, 120, 130, 140}, MakeEdge(Slope::Rising, 125, 0), {3}},
        {"rising to exactly the level", {100, 128, 100, 128}, MakeEdge(Slope::Rising, 128, 0), {1, 3}},
        {"falling through the level", {200, 150, 100, 200, 127}, MakeEdge(Slope::Falling, 128, 0), {2, 4}},
        {"falling to exactly the level", {200, 128}, MakeEdge(Slope::Falling, 128, 0), {1}},
        {"starting above is no rising crossing", {200, 200, 100, 200}, MakeEdge(Slope::Rising, 128, 4), {3}},
        {"starting below is no falling crossing", {50, 50, 200, 50}, MakeEdge(Slope::Falling, 128, 4), {3}},
        {"jitter fires every time without hysteresis", jitter, MakeEdge(Slope::Rising, 128, 0), {2, 4, 6, 9}},
        {"hysteresis 4 ignores jitter of 2", jitter, MakeEdge(Slope::Rising, 128, 4), {2, 9}},
        {"the arming bound is strict", {124, 130, 123, 130}, MakeEdge(Slope::Rising, 128, 4), {3}},
        {"falling jitter without hysteresis", falling, MakeEdge(Slope::Falling, 128, 0), {2, 4, 6, 9}},
        {"falling jitter with hysteresis 4", falling, MakeEdge(Slope::Falling, 128, 4), {2, 9}},
        {"a rising level of 0 never arms", {0, 255, 0, 255}, MakeEdge(Slope::Rising, 0, 0), {}},
        {"a falling level of 255 never arms", {255, 0, 255, 0}, MakeEdge(Slope::Falling, 255, 0), {}},
        {"rising to 255", {0, 255, 0, 255}, MakeEdge(Slope::Rising, 255, 0), {1, 3}},
        {"falling to 0", {255, 0, 255, 0}, MakeEdge(Slope::Falling, 0, 0), {1, 3}},
        {"a band wider than the swing never arms", {100, 156, 100, 156}, MakeEdge(Slope::Rising, 128, 30), {}},
        {"a flat signal at the level", Bytes(100, 128), MakeEdge(Slope::Rising, 128, 0), {}},
        {"an empty buffer", {}, MakeEdge(Slope::Rising, 128, 0), {}},
    };
    for (const CrossingCase &c : cases) {
        CrossingState state;
        EXPECT_EQ(FindCrossings(c.samples, c.edge, state), c.crossings) << c.name;
    }
}

// The wide scan tests 64 samples a step: a single spike or dip must be found
// wherever it falls in the block, its steps and its tail.
TEST(TriggerSearch, FindsACrossingAtEveryOffsetOfALongBlock) {
    for (const Slope slope : {Slope::Rising, Slope::Falling}) {
        const std::uint8_t quiet = slope == Slope::Rising ? 10 : 245;
        const std::uint8_t spike = slope == Slope::Rising ? 245 : 10;
        for (std::size_t at = 1; at < 300; ++at) {
            Bytes block(300, quiet);
            block[at] = spike;
            CrossingState state;
            const auto found = FindCrossing(block, MakeEdge(slope, 128, 4), state);
            ASSERT_TRUE(found.has_value()) << at;
            EXPECT_EQ(*found, at);
            EXPECT_FALSE(state.armed) << "the crossing disarms";
        }
    }
}

// Split one signal into two blocks at every point: the crossings found with
// the state carried across are those of the whole, wherever the split falls,
// including between the two samples of a crossing.
TEST(TriggerSearch, ACrossingBetweenTwoBlocksIsFoundInTheSecond) {
    const Bytes signal = Samples(kSine, 0, 1600);
    const Edge edge = MakeEdge(Slope::Rising, 128, 4);
    CrossingState whole;
    const std::vector<std::size_t> expected = FindCrossings(signal, edge, whole);
    ASSERT_EQ(expected, (std::vector<std::size_t>{500, 1000, 1500}));
    for (std::size_t split = 1; split < signal.size(); split += 7) {
        CrossingState state;
        std::vector<std::size_t> found = FindCrossings(std::span(signal).first(split), edge, state);
        for (const std::size_t at : FindCrossings(std::span(signal).subspan(split), edge, state)) {
            found.push_back(at + split);
        }
        EXPECT_EQ(found, expected) << "split at " << split;
    }
    // The split right at the crossing: armed at the end of the first block.
    CrossingState state;
    EXPECT_FALSE(FindCrossing(std::span(signal).first(500), edge, state).has_value());
    EXPECT_TRUE(state.armed);
    EXPECT_EQ(FindCrossing(std::span(signal).subspan(500), edge, state), std::optional<std::size_t>(0));
}

TEST(TriggerPlacement, PositionsFromFirstToLastPoint) {
    struct Case {
        std::size_t n;
        double position;
        std::size_t pre;
    };
    for (const Case c : std::vector<Case>{{200, 0, 0}, {200, 100, 199}, {200, 50, 100}, {201, 50, 100},
                                          {1000, 10, 100}, {1, 100, 0}, {200, -5, 0}, {200, 120, 199}}) {
        EXPECT_EQ(PretriggerPoints(c.n, c.position), c.pre) << c.n << " at " << c.position << " %";
        EXPECT_EQ(FrameStart(1000, c.n, c.position), 1000 - static_cast<std::int64_t>(c.pre));
    }
}

TEST(TriggerHistory, KeepsTheNewestPointsAcrossTheRing) {
    History history(10);
    Bytes a(25), b(25);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<std::uint8_t>(i);
        b[i] = static_cast<std::uint8_t>(100 + i);
    }
    history.Append(std::span(a).first(7), std::span(b).first(7));
    history.Append(std::span(a).subspan(7, 12), std::span(b).subspan(7, 12)); // grows to 10 + 12
    history.Append(std::span(a).subspan(19), std::span(b).subspan(19));
    EXPECT_EQ(history.End(), 25u);
    EXPECT_EQ(history.Begin(), 3u) << "22 points are kept";
    std::uint8_t outA[12], outB[12];
    ASSERT_TRUE(history.Copy(13, 12, outA, outB));
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(outA[i], 13 + i);
        EXPECT_EQ(outB[i], 113 + i);
    }
    EXPECT_FALSE(history.Copy(2, 5, outA, outB)) << "older than the ring";
    EXPECT_FALSE(history.Copy(20, 6, outA, outB)) << "not yet arrived";
    EXPECT_FALSE(history.Copy(-1, 2, outA, outB));
}

// Feeds a generator's stream in blocks and collects what the trigger shows.
struct Shown {
    std::vector<TriggerUpdate> updates;
    std::vector<std::uint64_t> triggers; // of the frames shown
};

Shown Stream(StreamTrigger &trigger, const vi::Generator &a, std::int64_t first, std::size_t points, std::size_t block) {
    Shown run;
    for (std::size_t done = 0; done < points; done += block) {
        const Bytes blockA = Samples(a, first + static_cast<std::int64_t>(done), block);
        const Bytes blockB(block, 77);
        run.updates.push_back(trigger.Feed(blockA, blockB));
        if (run.updates.back().frame && run.updates.back().frame->trigger) {
            run.triggers.push_back(*run.updates.back().frame->trigger);
        }
    }
    return run;
}

TriggerSettings Settings(TriggerMode mode, double position = 50, std::uint64_t holdoff = 0) {
    TriggerSettings s;
    s.edge = MakeEdge(Slope::Rising, 128, 4);
    s.mode = mode;
    s.position = position;
    s.holdoff = holdoff;
    return s;
}

// A sine in roll blocks of 300: every frame is placed with the crossing at
// its position, so the frames are identical; at 0 % and 100 % too.
TEST(StreamTrigger, PlacesEachFrameByItsPosition) {
    const std::size_t n = 200;
    for (const double position : {0.0, 25.0, 50.0, 100.0}) {
        StreamTrigger trigger(Settings(TriggerMode::Normal, position), n);
        const Shown run = Stream(trigger, kSine, 0, 3000, 300);
        ASSERT_EQ(run.triggers, (std::vector<std::uint64_t>{500, 1000, 1500, 2000, 2500})) << position;
        const std::size_t pre = PretriggerPoints(n, position);
        for (const TriggerUpdate &u : run.updates) {
            if (!u.frame) {
                continue;
            }
            EXPECT_EQ(u.state, TriggerState::Triggered);
            EXPECT_EQ(u.frame->start, *u.frame->trigger - pre);
            EXPECT_EQ(u.frame->a, Samples(kSine, static_cast<std::int64_t>(u.frame->start), n)) << position;
            EXPECT_EQ(u.frame->b, Bytes(n, 77));
        }
    }
}

// Blocks of 250 put the crossings at 500 and 1000 at the first point of a
// block: the sample before lies in the block before.
TEST(StreamTrigger, TakesACrossingBetweenTwoBlocks) {
    StreamTrigger trigger(Settings(TriggerMode::Normal, 100), 100);
    const Shown run = Stream(trigger, kSine, 0, 1250, 250);
    EXPECT_EQ(run.triggers, (std::vector<std::uint64_t>{500, 1000}));
}

TEST(StreamTrigger, HoldoffSkipsCrossingsTooSoonAfterATrigger) {
    struct Case {
        std::uint64_t holdoff;
        std::vector<std::uint64_t> triggers;
    };
    for (const Case &c : std::vector<Case>{{0, {100, 200, 300, 400, 500, 600, 700}},
                                           {100, {100, 200, 300, 400, 500, 600, 700}},
                                           {101, {100, 300, 500, 700}},
                                           {250, {100, 400, 700}}}) {
        StreamTrigger trigger(Settings(TriggerMode::Normal, 0, c.holdoff), 50);
        EXPECT_EQ(Stream(trigger, kSquare, 0, 760, 10).triggers, c.triggers) << "holdoff " << c.holdoff;
    }
}

// Several crossings complete in one block: the newest frame is shown.
TEST(StreamTrigger, ShowsTheNewestOfSeveralFramesOfABlock) {
    StreamTrigger trigger(Settings(TriggerMode::Normal, 0), 50);
    const Shown run = Stream(trigger, kSquare, 0, 1000, 1000);
    EXPECT_EQ(run.triggers, (std::vector<std::uint64_t>{900}));
}

// A frame whose pre-trigger points would lie before the stream began is not
// placed: at 100 % the crossing at 100 needs points from -99 on.
TEST(StreamTrigger, NeedsThePretriggerPointsOfAFrame) {
    StreamTrigger trigger(Settings(TriggerMode::Normal, 100), 200);
    EXPECT_EQ(Stream(trigger, kSquare, 0, 400, 100).triggers, (std::vector<std::uint64_t>{200, 300}));
}

// A flat signal never triggers. The time-out is 2 frames of 100 points.
TEST(StreamTrigger, WithoutACrossingEachModeSaysWhatItDoes) {
    struct Case {
        TriggerMode mode;
        std::vector<TriggerState> states; // after each block of 50
        std::vector<bool> frames;
    };
    const std::vector<Case> cases = {
        {TriggerMode::Off, {TriggerState::Off, TriggerState::Off, TriggerState::Off, TriggerState::Off},
         {true, true, true, true}},
        {TriggerMode::Auto, {TriggerState::Auto, TriggerState::Auto, TriggerState::Auto, TriggerState::Auto},
         {false, false, false, true}},
        {TriggerMode::Normal,
         {TriggerState::Waiting, TriggerState::Waiting, TriggerState::Waiting, TriggerState::Waiting},
         {false, false, false, false}},
        {TriggerMode::Single,
         {TriggerState::Waiting, TriggerState::Waiting, TriggerState::Waiting, TriggerState::Waiting},
         {false, false, false, false}},
    };
    for (const Case &c : cases) {
        StreamTrigger trigger(Settings(c.mode), 100);
        const Shown run = Stream(trigger, kDc, 0, 200, 50);
        for (std::size_t i = 0; i < run.updates.size(); ++i) {
            SCOPED_TRACE(std::string(ModeName(c.mode)) + " block " + std::to_string(i));
            EXPECT_EQ(run.updates[i].state, c.states[i]);
            EXPECT_EQ(run.updates[i].frame.has_value(), c.frames[i]);
            if (run.updates[i].frame) {
                EXPECT_FALSE(run.updates[i].frame->trigger) << "free-running";
                EXPECT_EQ(run.updates[i].frame->start, 50 * (i + 1) - std::min<std::size_t>(100, 50 * (i + 1)));
            }
        }
    }
}

// Auto: triggered frames while the sine runs, free-running once it stops for
// longer than the time-out (600 points, more than the sine's period),
// triggered again when it resumes.
TEST(StreamTrigger, AutoFallsBackToFreeRunningAndReturns) {
    TriggerSettings settings = Settings(TriggerMode::Auto);
    settings.autoTimeout = {600, Timeout::Unit::Points};
    StreamTrigger trigger(settings, 100);
    Shown run = Stream(trigger, kSine, 0, 1200, 100);
    EXPECT_EQ(run.updates.back().state, TriggerState::Triggered);
    run = Stream(trigger, kDc, 0, 500, 100); // the last trigger was at 1000
    EXPECT_EQ(run.updates[0].state, TriggerState::Triggered) << "at 1300, within 600 points of it";
    EXPECT_FALSE(run.updates[0].frame);
    EXPECT_EQ(run.updates.back().state, TriggerState::Auto);
    ASSERT_TRUE(run.updates.back().frame);
    EXPECT_EQ(run.updates.back().frame->a, Bytes(100, 128)) << "the newest points";
    run = Stream(trigger, kSine, 1700, 1000, 100);
    EXPECT_EQ(run.triggers.front(), 1700u + 300) << "the sine's first crossing once armed again";
    EXPECT_EQ(run.updates.back().state, TriggerState::Triggered);
}

// Normal: the last triggered frame stays; Waiting once nothing triggers.
TEST(StreamTrigger, NormalKeepsTheLastFrameAndWaits) {
    StreamTrigger trigger(Settings(TriggerMode::Normal), 100);
    Stream(trigger, kSine, 0, 1200, 100);
    ASSERT_TRUE(trigger.LastTriggered());
    const Frame last = *trigger.LastTriggered();
    const Shown run = Stream(trigger, kDc, 0, 1000, 100);
    for (const TriggerUpdate &u : run.updates) {
        EXPECT_FALSE(u.frame);
    }
    EXPECT_EQ(run.updates.back().state, TriggerState::Waiting);
    EXPECT_EQ(trigger.LastTriggered()->trigger, last.trigger);
    EXPECT_EQ(trigger.LastTriggered()->a, last.a);
}

// Single: one frame, then Stopped whatever comes, until re-armed.
TEST(StreamTrigger, SingleStopsAfterOneTriggerUntilRearmed) {
    StreamTrigger trigger(Settings(TriggerMode::Single, 0), 100);
    Shown run = Stream(trigger, kSine, 0, 3000, 100);
    EXPECT_EQ(run.triggers, (std::vector<std::uint64_t>{500}));
    EXPECT_EQ(run.updates[4].state, TriggerState::Waiting) << "before the crossing";
    EXPECT_EQ(run.updates[5].state, TriggerState::Stopped) << "the block that completes the frame";
    EXPECT_EQ(run.updates.back().state, TriggerState::Stopped);
    trigger.Rearm();
    EXPECT_EQ(trigger.State(), TriggerState::Waiting);
    run = Stream(trigger, kSine, 3000, 1000, 100);
    EXPECT_EQ(run.triggers, (std::vector<std::uint64_t>{3500})) << "re-armed at 3000 on a rising sine: the crossing at 3500";
    EXPECT_EQ(run.updates.back().state, TriggerState::Stopped);
}

TEST(StreamTrigger, ConfigureChangesTheSlopeOnTheSameStream) {
    StreamTrigger trigger(Settings(TriggerMode::Normal, 0), 50);
    Stream(trigger, kSquare, 0, 300, 10);
    TriggerSettings falling = Settings(TriggerMode::Normal, 0);
    falling.edge.slope = Slope::Falling;
    trigger.Configure(falling, 80);
    const Shown run = Stream(trigger, kSquare, 300, 400, 10);
    EXPECT_EQ(run.triggers, (std::vector<std::uint64_t>{350, 450, 550})) << "the square falls at 50 of each 100";
    for (const TriggerUpdate &u : run.updates) {
        if (u.frame) {
            EXPECT_EQ(u.frame->a.size(), 80u);
        }
    }
}

TEST(CaptureTrigger, PlacesARecordByItsFirstUsableCrossing) {
    struct Case {
        const char *name;
        std::int64_t recordStart;
        std::size_t recordLength, frame;
        double position;
        std::optional<RecordPlacement> placement;
    };
    const std::vector<Case> cases = {
        {"crossing at 500, frame 250..749", 0, 1000, 500, 50, RecordPlacement{500, 250}},
        {"crossing at 100 too early; the next", 400, 1000, 500, 50, RecordPlacement{600, 350}},
        {"at 0 % the first crossing", 400, 1000, 500, 0, RecordPlacement{100, 100}},
        {"no whole frame: the first crossing", 400, 600, 500, 50, RecordPlacement{100, -150}},
    };
    for (const Case &c : cases) {
        const Bytes record = Samples(kSine, c.recordStart, c.recordLength);
        const auto placed = PlaceRecord(record, MakeEdge(Slope::Rising, 128, 4), c.frame, c.position);
        ASSERT_EQ(placed.has_value(), c.placement.has_value()) << c.name;
        EXPECT_EQ(placed->crossing, c.placement->crossing) << c.name;
        EXPECT_EQ(placed->start, c.placement->start) << c.name;
    }
    EXPECT_FALSE(PlaceRecord(Samples(kDc, 0, 1000), MakeEdge(Slope::Rising, 128, 4), 500, 50)) << "no crossing";
}

TEST(TriggerOptions, ParseTheCommandLineForms) {
    Edge edge;
    EXPECT_EQ(ParseEdge("b:falling:200", edge), "");
    EXPECT_EQ(edge.source, Channel::B);
    EXPECT_EQ(edge.slope, Slope::Falling);
    EXPECT_EQ(edge.level, 200);
    EXPECT_EQ(ParseEdge("A:Rising:0", edge), "");
    EXPECT_EQ(edge.source, Channel::A);
    for (const char *bad : {"a:rising", "c:rising:1", "a:up:1", "a:rising:256", "a:rising:-1", "a:rising:1x", ""}) {
        Edge unchanged = edge;
        const std::string error = ParseEdge(bad, unchanged);
        EXPECT_NE(error.find(std::string("'") + bad + "'"), std::string::npos) << error;
        EXPECT_EQ(unchanged.level, edge.level) << "left as it was";
    }
    TriggerMode mode = TriggerMode::Off;
    EXPECT_EQ(ParseMode("normal", mode), "");
    EXPECT_EQ(mode, TriggerMode::Normal);
    EXPECT_NE(ParseMode("sometimes", mode), "");
    EXPECT_EQ(StateName(TriggerState::Triggered), "Trig'd");
}

} // namespace
