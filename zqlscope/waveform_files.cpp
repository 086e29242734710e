#include "waveform_files.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "args.h"

namespace zqlscope {

namespace {

// The plot's geometry, in SVG user units; one unit is one pixel column.
constexpr int kWidth = 1000;
constexpr int kHeight = 480;
constexpr int kLeft = 70;
constexpr int kTop = 44;
constexpr int kPlotWidth = 900;
constexpr int kPlotHeight = 368;
constexpr int kFullScale = 255;
// At most this many tick intervals across and up.
constexpr int kMaxTicksX = 10;
constexpr int kMaxTicksY = 8;
// The plot keeps between one and two buckets per pixel column.
constexpr std::size_t kMaxBuckets = 2 * kPlotWidth;
// CSV lines are collected and written in pieces of about this size.
constexpr std::size_t kCsvBuffer = 64 * 1024;
// Up to this many points each point is also marked with a dot.
constexpr long long kMarkedPoints = 64;

struct Channel {
    const char *name;
    const char *colour;
    std::uint8_t Plot::Bucket::*low;
    std::uint8_t Plot::Bucket::*high;
};
const Channel kChannels[] = {{"channel A", "#f1c40f", &Plot::Bucket::lowA, &Plot::Bucket::highA},
                             {"channel B", "#1abc9c", &Plot::Bucket::lowB, &Plot::Bucket::highB}};

void AppendNumber(std::string &out, long long value) {
    char digits[24]; // the longest long long, with its sign
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::string Reason() {
    return errno != 0 ? std::strerror(errno) : "the file could not be written";
}

struct Scale {
    long long first; // the ends of the x axis
    long long last;
    long long dataFirst; // the indices of the first and the last point
    long long dataLast;
    double X(double index) const { return kLeft + (index - double(first)) * kPlotWidth / double(last - first); }
    static double Y(int value) { return kTop + double(kFullScale - value) * kPlotHeight / kFullScale; }
};

void Graticule(std::ostream &svg, const Scale &scale, const std::string &xLabel) {
    const std::vector<long long> xs = TickValues(scale.dataFirst, scale.dataLast, kMaxTicksX);
    const std::vector<long long> ys = TickValues(0, kFullScale, kMaxTicksY);
    svg << "<g stroke=\"#34495e\" stroke-width=\"1\">\n";
    for (long long x : xs) {
        svg << "<line x1=\"" << scale.X(double(x)) << "\" y1=\"" << kTop << "\" x2=\"" << scale.X(double(x))
            << "\" y2=\"" << kTop + kPlotHeight << "\"/>\n";
    }
    for (long long y : ys) {
        svg << "<line x1=\"" << kLeft << "\" y1=\"" << Scale::Y(int(y)) << "\" x2=\"" << kLeft + kPlotWidth
            << "\" y2=\"" << Scale::Y(int(y)) << "\"/>\n";
    }
    svg << "<rect x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\"" << kPlotWidth << "\" height=\"" << kPlotHeight
        << "\" fill=\"none\" stroke=\"#5d6d7e\"/>\n</g>\n"
        << "<g fill=\"#bdc3c7\" font-family=\"sans-serif\" font-size=\"12\">\n";
    for (long long x : xs) {
        svg << "<text x=\"" << scale.X(double(x)) << "\" y=\"" << kTop + kPlotHeight + 18
            << "\" text-anchor=\"middle\">" << x << "</text>\n";
    }
    for (long long y : ys) {
        svg << "<text x=\"" << kLeft - 8 << "\" y=\"" << Scale::Y(int(y)) + 4 << "\" text-anchor=\"end\">" << y
            << "</text>\n";
    }
    svg << "<text x=\"" << kLeft + kPlotWidth / 2 << "\" y=\"" << kHeight - 12 << "\" text-anchor=\"middle\">" << xLabel
        << "</text>\n"
        << "<text x=\"18\" y=\"" << kTop + kPlotHeight / 2 << "\" text-anchor=\"middle\" transform=\"rotate(-90 18 "
        << kTop + kPlotHeight / 2 << ")\">sample value (0-255)</text>\n</g>\n";
}

// Up to one point per column: a line through the points, dots when few.
void Line(std::ostream &svg, const Scale &scale, const std::vector<Plot::Bucket> &points, const Channel &c) {
    svg << "<polyline fill=\"none\" stroke=\"" << c.colour << "\" stroke-width=\"1.5\" points=\"";
    for (const Plot::Bucket &p : points) {
        svg << scale.X(double(p.first)) << ',' << Scale::Y(p.*c.low) << ' ';
    }
    svg << "\"/>\n";
    if (points.size() <= std::size_t(kMarkedPoints)) {
        svg << "<g fill=\"" << c.colour << "\">\n";
        for (const Plot::Bucket &p : points) {
            svg << "<circle cx=\"" << scale.X(double(p.first)) << "\" cy=\"" << Scale::Y(p.*c.low)
                << "\" r=\"2.5\"/>\n";
        }
        svg << "</g>\n";
    }
}

// More points than columns: the lowest and highest sample of each column,
// as one band drawn along the highs and back along the lows.
void Envelope(std::ostream &svg, const Scale &scale, const std::vector<Plot::Bucket> &buckets, const Channel &c) {
    std::vector<int> low(kPlotWidth, kFullScale + 1), high(kPlotWidth, -1);
    for (const Plot::Bucket &b : buckets) {
        const double middle = (double(b.first) + double(b.last)) / 2;
        const int column = std::clamp(int(scale.X(middle)) - kLeft, 0, kPlotWidth - 1);
        low[std::size_t(column)] = std::min<int>(low[std::size_t(column)], b.*c.low);
        high[std::size_t(column)] = std::max<int>(high[std::size_t(column)], b.*c.high);
    }
    std::ostringstream tops, bottoms;
    std::vector<std::string> back;
    for (int column = 0; column < kPlotWidth; ++column) {
        if (high[std::size_t(column)] < 0) {
            continue;
        }
        const double x = kLeft + column + 0.5;
        tops << x << ',' << Scale::Y(high[std::size_t(column)]) << ' ';
        std::ostringstream bottom;
        bottom << x << ',' << Scale::Y(low[std::size_t(column)]) << ' ';
        back.push_back(bottom.str());
    }
    std::reverse(back.begin(), back.end());
    svg << "<polygon fill=\"" << c.colour << "\" fill-opacity=\"0.45\" stroke=\"" << c.colour
        << "\" stroke-opacity=\"0.85\" stroke-width=\"1\" stroke-linejoin=\"round\" points=\"" << tops.str();
    for (const std::string &point : back) {
        svg << point;
    }
    svg << "\"/>\n";
}

} // namespace

CsvWriter::CsvWriter(const std::string &path, const std::string &header) : path_(path), out_(&std::cout) {
    if (path != "-") {
        errno = 0;
        file_.open(path, std::ios::binary | std::ios::trunc);
        if (!file_) {
            throw RunError("cannot write " + path + ": " + Reason());
        }
        out_ = &file_;
    }
    errno = 0;
    *out_ << header << '\n';
    NoteError();
}

void CsvWriter::NoteError() {
    if (!*out_ && error_ == 0) {
        error_ = errno;
    }
}

void CsvWriter::Add(long long index, std::uint8_t a, std::uint8_t b) {
    AppendNumber(buffer_, index);
    buffer_ += ',';
    AppendNumber(buffer_, a);
    buffer_ += ',';
    AppendNumber(buffer_, b);
    buffer_ += '\n';
    if (buffer_.size() >= kCsvBuffer) {
        Flush();
    }
}

void CsvWriter::AddLine(const std::string &line) {
    buffer_ += line;
    buffer_ += '\n';
    if (buffer_.size() >= kCsvBuffer) {
        Flush();
    }
}

void CsvWriter::Flush() {
    errno = 0;
    out_->write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    NoteError();
    buffer_.clear();
}

void CsvWriter::Close() {
    Flush();
    errno = 0;
    out_->flush();
    if (file_.is_open()) {
        file_.close();
    }
    NoteError();
    if (path_ == "-") {
        errno = 0;
        if (std::fflush(stdout) != 0 && error_ == 0) {
            error_ = errno;
        }
        if (std::ferror(stdout)) {
            out_->setstate(std::ios::badbit);
        }
    }
    errno = error_;
    if (!*out_) {
        throw RunError("cannot write " + (path_ == "-" ? std::string("the CSV to standard output") : path_) + ": " +
                       Reason());
    }
}

std::vector<long long> TickValues(long long low, long long high, int maxIntervals) {
    static constexpr long long kFactors[] = {1, 2, 5};
    long long step = 1;
    for (long long decade = 1, i = 1; (high - low) / step > maxIntervals; ++i) {
        decade *= i % 3 == 0 ? 10 : 1;
        step = kFactors[i % 3] * decade;
    }
    std::vector<long long> ticks;
    const long long first = low >= 0 ? (low + step - 1) / step * step : -(-low / step * step);
    for (long long value = first; value <= high; value += step) {
        ticks.push_back(value);
    }
    return ticks;
}

void Plot::Add(long long index, std::uint8_t a, std::uint8_t b) {
    ++points_;
    if (!buckets_.empty() && buckets_.back().count < span_) {
        Bucket &last = buckets_.back();
        last.last = index;
        ++last.count;
        last.lowA = std::min(last.lowA, a);
        last.highA = std::max(last.highA, a);
        last.lowB = std::min(last.lowB, b);
        last.highB = std::max(last.highB, b);
        return;
    }
    if (buckets_.size() == kMaxBuckets) {
        Halve();
    }
    buckets_.push_back(Bucket{index, index, 1, a, a, b, b});
}

// Merges neighbouring buckets pairwise, doubling the points each covers.
void Plot::Halve() {
    for (std::size_t i = 0; i < buckets_.size() / 2; ++i) {
        const Bucket &l = buckets_[2 * i];
        const Bucket &r = buckets_[2 * i + 1];
        buckets_[i] = Bucket{l.first,
                             r.last,
                             l.count + r.count,
                             std::min(l.lowA, r.lowA),
                             std::max(l.highA, r.highA),
                             std::min(l.lowB, r.lowB),
                             std::max(l.highB, r.highB)};
    }
    buckets_.resize(buckets_.size() / 2);
    span_ *= 2;
}

void Plot::Write(const std::string &path, const std::string &title, const std::string &xLabel) const {
    Scale scale{0, 1, 0, 1};
    if (!buckets_.empty()) {
        const long long first = buckets_.front().first, last = buckets_.back().last;
        scale = {first, last, first, last};
    }
    if (scale.first == scale.last) { // a single point sits in the middle
        scale.first -= 1;
        scale.last += 1;
    }
    errno = 0;
    std::ofstream svg(path, std::ios::binary | std::ios::trunc);
    if (!svg) {
        throw RunError("cannot write " + path + ": " + Reason());
    }
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << kHeight
        << "\" viewBox=\"0 0 " << kWidth << ' ' << kHeight << "\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#0b1621\"/>\n"
        << "<text x=\"" << kLeft << "\" y=\"28\" fill=\"#ecf0f1\" font-family=\"sans-serif\" font-size=\"16\">" << title
        << " (" << Count(points_, "point") << ")</text>\n"
        << "<text x=\"" << kLeft + kPlotWidth << "\" y=\"28\" font-family=\"sans-serif\" font-size=\"14\" "
        << "text-anchor=\"end\"><tspan fill=\"" << kChannels[0].colour
        << "\">&#9632; channel A</tspan><tspan dx=\"18\" fill=\"" << kChannels[1].colour
        << "\">&#9632; channel B</tspan></text>\n";
    Graticule(svg, scale, xLabel);
    for (const Channel &c : kChannels) {
        if (points_ > kPlotWidth) {
            Envelope(svg, scale, buckets_, c);
        } else {
            Line(svg, scale, buckets_, c);
        }
    }
    svg << "</svg>\n";
    errno = 0;
    svg.close();
    if (!svg) {
        throw RunError("cannot write " + path + ": " + Reason());
    }
}

void WriteCsv(const std::string &path, const Trace &trace) {
    CsvWriter csv(path);
    for (std::size_t i = 0; i < trace.index.size(); ++i) {
        csv.Add(trace.index[i], trace.a[i], trace.b[i]);
    }
    csv.Close();
}

void WriteSvg(const std::string &path, const std::string &title, const std::string &xLabel, const Trace &trace) {
    Plot plot;
    for (std::size_t i = 0; i < trace.index.size(); ++i) {
        plot.Add(trace.index[i], trace.a[i], trace.b[i]);
    }
    plot.Write(path, title, xLabel);
}

} // namespace zqlscope
