// Parsing and applying the instrument's script.
#include "virtual_instrument/script.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "virtual_instrument/instrument.h"

namespace vi {

const char kScriptVariable[] = "ZQLUSB_VIRTUAL_SCRIPT";

namespace {

// Bounds of the numbers a script may give; wider ones are mistakes.
constexpr std::int64_t kMaxCount = 1000000000;  // transfers, blocks, periods
constexpr std::int64_t kMaxSample = 255;        // amplitude and offset, in sample units
constexpr std::int64_t kMaxSeed = 0xFFFFFFFFll; // noise seeds are 32-bit

// The message box's answers, as Windows numbers them.
constexpr int kAnswerRetry = 4;
constexpr int kAnswerCancel = 2;

using Words = std::vector<std::string>;

Words Split(const std::string &statement) {
    std::istringstream in(statement);
    Words words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// The value of "key=value" when the word has that key.
std::optional<std::string> Value(const std::string &word, const std::string &key) {
    if (word.rfind(key + "=", 0) != 0) {
        return std::nullopt;
    }
    return word.substr(key.size() + 1);
}

std::optional<Shape> ShapeNamed(const std::string &name) {
    static const struct {
        const char *name;
        Shape shape;
    } kShapes[] = {{"sine", Shape::Sine},
                   {"square", Shape::Square},
                   {"triangle", Shape::Triangle},
                   {"dc", Shape::Dc},
                   {"noise", Shape::Noise}};
    for (const auto &entry : kShapes) {
        if (name == entry.name) {
            return entry.shape;
        }
    }
    return std::nullopt;
}

// Reads one script into `script`; the first mistake stops it and is kept in
// `error`.
class Parser {
  public:
    Script script;
    std::string error;

    void Statement(const Words &words);

  private:
    bool Fail(const std::string &what) {
        if (error.empty()) {
            error = what;
        }
        return false;
    }
    bool Number(const std::string &text, std::int64_t low, std::int64_t high, const std::string &name,
                std::int64_t *out);
    bool SetKey(Generator &g, const std::string &word);
    void Channel(std::optional<Generator> &slot, const Generator &usual, const Words &words);
    void After(const Words &words, std::int64_t low, std::optional<std::uint32_t> &slot);
    void Count(const Words &words, int &slot);
    void Answers(const Words &words);
    void Capture(const Words &words);
};

bool Parser::Number(const std::string &text, std::int64_t low, std::int64_t high, const std::string &name,
                    std::int64_t *out) {
    char *end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high) {
        return Fail(name + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                    ", not \"" + text + "\"");
    }
    *out = value;
    return true;
}

bool Parser::SetKey(Generator &g, const std::string &word) {
    std::int64_t n = 0;
    if (auto v = Value(word, "period")) {
        return Number(*v, 1, kMaxCount, "period", &n) && (g.period = static_cast<std::uint32_t>(n), true);
    }
    if (auto v = Value(word, "amplitude")) {
        return Number(*v, 0, kMaxSample, "amplitude", &n) && (g.amplitude = static_cast<int>(n), true);
    }
    if (auto v = Value(word, "offset")) {
        return Number(*v, 0, kMaxSample, "offset", &n) && (g.offset = static_cast<int>(n), true);
    }
    if (auto v = Value(word, "seed")) {
        return Number(*v, 0, kMaxSeed, "seed", &n) && (g.seed = static_cast<std::uint32_t>(n), true);
    }
    return Fail("unknown signal key \"" + word + "\" (period, amplitude, offset, seed)");
}

// A channel statement starts from that channel's signal as it is without a
// script, so keys left out keep their usual values.
void Parser::Channel(std::optional<Generator> &slot, const Generator &usual, const Words &words) {
    if (words.size() < 2 || !ShapeNamed(words[1])) {
        Fail("a channel needs a shape: sine, square, triangle, dc or noise");
        return;
    }
    Generator g = slot.value_or(usual);
    g.shape = *ShapeNamed(words[1]);
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (!SetKey(g, words[i])) {
            return;
        }
    }
    slot = g;
}

void Parser::After(const Words &words, std::int64_t low, std::optional<std::uint32_t> &slot) {
    std::optional<std::string> v;
    if (words.size() != 2 || !(v = Value(words[1], "after"))) {
        Fail(words[0] + " takes after=N");
        return;
    }
    std::int64_t n = 0;
    if (Number(*v, low, kMaxCount, "after", &n)) {
        slot = static_cast<std::uint32_t>(n);
    }
}

void Parser::Count(const Words &words, int &slot) {
    std::int64_t n = 0;
    if (words.size() != 2) {
        Fail(words[0] + " takes one count");
    } else if (Number(words[1], 0, kMaxCount, words[0], &n)) {
        slot = static_cast<int>(n);
    }
}

void Parser::Answers(const Words &words) {
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] != "retry" && words[i] != "cancel") {
            Fail("a dialog answer is retry or cancel, not \"" + words[i] + "\"");
            return;
        }
        script.dialogAnswers.push_back(words[i] == "retry" ? kAnswerRetry : kAnswerCancel);
    }
}

void Parser::Capture(const Words &words) {
    std::optional<std::string> v;
    std::int64_t n = 0;
    if (words.size() == 2 && words[1] == "still") {
        script.captureStill = true;
    } else if (words.size() == 2 && (v = Value(words[1], "gap"))) {
        if (Number(*v, 0, kMaxCount, "gap", &n)) {
            script.captureGap = n;
        }
    } else {
        Fail("capture takes gap=N or still");
    }
}

void Parser::Statement(const Words &words) {
    const AcquisitionMemory usual;
    const std::string &verb = words[0];
    if (verb == "a") {
        Channel(script.channelA, usual.channelA, words);
    } else if (verb == "b") {
        Channel(script.channelB, usual.channelB, words);
    } else if (verb == "unplug") {
        After(words, 0, script.unplugAfter);
    } else if (verb == "replug") {
        After(words, 1, script.replugAfter);
    } else if (verb == "fail-writes") {
        Count(words, script.failWrites);
    } else if (verb == "invalid-roll") {
        Count(words, script.invalidRollBlocks);
    } else if (verb == "dialog") {
        Answers(words);
    } else if (verb == "capture") {
        Capture(words);
    } else {
        Fail("unknown statement \"" + verb + "\"");
    }
}

} // namespace

std::optional<Script> ParseScript(const std::string &text, std::string *error) {
    Parser parser;
    std::istringstream in(text);
    int number = 0;
    // Every bad statement is named, so that one run shows all there is to fix.
    std::string errors;
    // Newlines separate statements as ';' does.
    for (std::string line; std::getline(in, line);) {
        std::istringstream parts(line);
        for (std::string part; std::getline(parts, part, ';');) {
            const Words words = Split(part);
            ++number;
            if (words.empty()) {
                continue;
            }
            parser.Statement(words);
            if (!parser.error.empty()) {
                errors += (errors.empty() ? "" : "; ") + ("statement " + std::to_string(number) + " \"" + part +
                                                          "\": " + parser.error);
                parser.error.clear();
            }
        }
    }
    if (parser.script.replugAfter && !parser.script.unplugAfter) {
        errors += (errors.empty() ? "" : "; ") + std::string("replug without unplug");
    }
    if (!errors.empty()) {
        *error = errors;
        return std::nullopt;
    }
    return parser.script;
}

void ApplyScript(Instrument &device, const Script &script) {
    if (script.channelA) {
        device.acquisition.channelA = *script.channelA;
    }
    if (script.channelB) {
        device.acquisition.channelB = *script.channelB;
    }
    if (script.captureGap) {
        device.acquisition.captureGap = *script.captureGap;
    }
    if (script.captureStill) {
        device.acquisition.freeRunning = false;
    }
    device.faults.failWrites += script.failWrites;
    device.acquisition.rollInvalidBlocks += script.invalidRollBlocks;
    device.dialogAnswers.insert(device.dialogAnswers.end(), script.dialogAnswers.begin(), script.dialogAnswers.end());
    device.echoDialogs = true;
    device.replugAfter = script.replugAfter;
    device.unplugAfter = script.unplugAfter;
    if (device.unplugAfter == 0u) {
        device.unplugAfter.reset();
        device.Detach();
    }
}

void ApplyScriptFromEnvironment(Instrument &device) {
    const char *text = std::getenv(kScriptVariable);
    if (text == nullptr || *text == '\0') {
        return;
    }
    std::string error;
    if (std::optional<Script> script = ParseScript(text, &error)) {
        ApplyScript(device, *script);
    } else {
        std::fprintf(stderr, "zqlusb virtual instrument: %s ignored: %s\n", kScriptVariable, error.c_str());
    }
}

} // namespace vi
