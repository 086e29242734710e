// Writing captured points as they arrive: CSV for data, SVG for a scope-like
// plot of both channels. Neither keeps the points: the CSV goes out line by
// line and the plot keeps a bounded summary, so any number of points fits in
// the same memory.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace zqlscope {

// Points of two channels; index[i] is the record index of point i.
struct Trace {
    std::vector<long long> index;
    std::vector<std::uint8_t> a;
    std::vector<std::uint8_t> b;
    void Add(long long at, std::uint8_t sampleA, std::uint8_t sampleB) {
        index.push_back(at);
        a.push_back(sampleA);
        b.push_back(sampleB);
    }
};

// "index,channel_a,channel_b" and one line per point, to a file or, for the
// path "-", to standard output.
class CsvWriter {
  public:
    // RunError when it cannot be created; `header` is the first line, without its end.
    explicit CsvWriter(const std::string &path, const std::string &header = "index,channel_a,channel_b");
    void Add(long long index, std::uint8_t a, std::uint8_t b);
    void AddLine(const std::string &line); // a whole line, without its end
    void Close(); // RunError when anything could not be written
  private:
    void Flush();
    std::string path_;
    std::ofstream file_;
    std::ostream *out_;
    std::string buffer_; // lines not yet written
    int error_ = 0;      // errno of the first write that failed; later writes do not reset it
    void NoteError();
};

// Round tick values for an axis over [low, high]: multiples of 1, 2 or 5
// times a power of ten, the finest such step with at most maxIntervals
// intervals.
std::vector<long long> TickValues(long long low, long long high, int maxIntervals);

// A plot of both channels over the record index, values 0 to 255, with a
// graticule on round values. Up to one point per pixel column each channel
// is a line through its points; beyond that, a semi-transparent band from
// the lowest to the highest sample of each column, so that neither channel
// hides the other. Memory is bounded whatever the number of points.
class Plot {
  public:
    void Add(long long index, std::uint8_t a, std::uint8_t b);
    // Writes the SVG; xLabel says what the x axis counts.
    void Write(const std::string &path, const std::string &title, const std::string &xLabel) const;
    long long Points() const { return points_; }

    // A run of consecutive points: their index range and count, and each
    // channel's lowest and highest sample.
    struct Bucket {
        long long first, last, count;
        std::uint8_t lowA, highA, lowB, highB;
    };

  private:
    void Halve();
    std::vector<Bucket> buckets_;
    long long span_ = 1; // points per bucket, a power of two
    long long points_ = 0;
};

// Both files of a trace at once, for the demo.
void WriteCsv(const std::string &path, const Trace &trace);
void WriteSvg(const std::string &path, const std::string &title, const std::string &xLabel, const Trace &trace);

} // namespace zqlscope
