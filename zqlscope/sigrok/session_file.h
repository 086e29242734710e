// A sigrok session file (.sr) of the instrument's two channels as analog
// channels A and B, written as the points arrive: a zip of
//   version        "2"
//   metadata       [global] and [device 1] with the sample rate (when known),
//                  total analog=2, analog1=A, analog2=B, in that order (the
//                  reader takes keys in file order and refuses a channel
//                  named before their count)
//   analog-1-1-K   channel A's samples, float32 little-endian, chunk K
//   analog-1-2-K   channel B's samples of the same chunk
// Values are counts unless the units scale a channel (volts, less the zero
// count). Memory stays one chunk whatever the number of points.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "signal/units.h"
#include "sigrok/zip_writer.h"

namespace zqlscope::sigrok {

// Samples per channel in each chunk: the size of the packets sigrok's reader
// hands on, so that a file of one chunk is read as one packet (sigrok-cli's
// CSV output is right only for a file of one packet per channel).
constexpr std::size_t kChunkPoints = 1048576;

// The sample rate a session file can give: sigrok's metadata takes whole hertz.
bool WholeHertz(double rate);

// The metadata text for these units; `origin` says what was captured
// ("a scope record") and goes into a comment with what the axes mean.
std::string Metadata(const signal::Units &units, const std::string &origin);

class SessionFile {
  public:
    // Creates the file and writes version and metadata; RunError when it cannot.
    // `zipLimit`: the largest file, kZipLimit but for tests.
    SessionFile(const std::string &path, const signal::Units &units, const std::string &origin,
                std::uint64_t zipLimit = kZipLimit);
    ~SessionFile();
    void Add(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    // Writes the last chunk and the directory and closes the file (RunError
    // when anything could not be written). Returns what it holds, for the
    // command's summary: "x.sr: 1000 points per channel in 1 chunk".
    std::string Close();

  private:
    void WriteChunk();
    std::string path_;
    signal::Units units_;
    std::ofstream file_;
    std::unique_ptr<ZipWriter> zip_;
    std::vector<std::uint8_t> a_, b_; // the chunk being filled, as counts
    std::uint64_t written_ = 0;
    int chunks_ = 0;
    bool full_ = false;  // the zip limit was reached: later points are not kept
    bool closed_ = false;
};

} // namespace zqlscope::sigrok
