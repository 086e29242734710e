#include "waveform_files.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "args.h"

namespace zqlscope {

namespace {

// The plot's geometry, in SVG user units.
constexpr int kWidth = 1000;
constexpr int kHeight = 480;
constexpr int kLeft = 70;
constexpr int kTop = 44;
constexpr int kPlotWidth = 900;
constexpr int kPlotHeight = 368;
// A scope screen: 10 divisions across, 8 up.
constexpr int kDivisionsX = 10;
constexpr int kDivisionsY = 8;
constexpr int kFullScale = 255;

std::ofstream OpenOutput(const std::string &path) {
    std::ofstream out(path, std::ios::binary);
    if (!out) {
        throw RunError("cannot write " + path);
    }
    return out;
}

void Close(std::ofstream &out, const std::string &path) {
    out.close();
    if (!out) {
        throw RunError("cannot write " + path);
    }
}

struct Scale {
    long first;
    long last;
    double X(long index) const {
        return kLeft + (last == first ? 0.0 : double(index - first) * kPlotWidth / double(last - first));
    }
    static double Y(int value) { return kTop + double(kFullScale - value) * kPlotHeight / kFullScale; }
};

void Graticule(std::ostream &svg, const Scale &scale) {
    svg << "<g stroke=\"#34495e\" stroke-width=\"1\">\n";
    for (int i = 0; i <= kDivisionsX; ++i) {
        double x = kLeft + double(i) * kPlotWidth / kDivisionsX;
        svg << "<line x1=\"" << x << "\" y1=\"" << kTop << "\" x2=\"" << x << "\" y2=\"" << kTop + kPlotHeight
            << "\"/>\n";
    }
    for (int i = 0; i <= kDivisionsY; ++i) {
        double y = kTop + double(i) * kPlotHeight / kDivisionsY;
        svg << "<line x1=\"" << kLeft << "\" y1=\"" << y << "\" x2=\"" << kLeft + kPlotWidth << "\" y2=\"" << y
            << "\"/>\n";
    }
    svg << "</g>\n<g fill=\"#bdc3c7\" font-family=\"sans-serif\" font-size=\"12\">\n";
    for (int i = 0; i <= kDivisionsX; ++i) {
        long index = scale.first + (scale.last - scale.first) * i / kDivisionsX;
        svg << "<text x=\"" << scale.X(index) << "\" y=\"" << kTop + kPlotHeight + 18 << "\" text-anchor=\"middle\">"
            << index << "</text>\n";
    }
    for (int i = 0; i <= kDivisionsY; ++i) {
        int value = std::min(kFullScale, i * 32);
        svg << "<text x=\"" << kLeft - 8 << "\" y=\"" << Scale::Y(value) + 4 << "\" text-anchor=\"end\">" << value
            << "</text>\n";
    }
    svg << "<text x=\"" << kLeft + kPlotWidth / 2 << "\" y=\"" << kHeight - 12
        << "\" text-anchor=\"middle\">sample index</text>\n"
        << "<text x=\"18\" y=\"" << kTop + kPlotHeight / 2 << "\" text-anchor=\"middle\" transform=\"rotate(-90 18 "
        << kTop + kPlotHeight / 2 << ")\">sample value (0-255)</text>\n</g>\n";
}

// The channel as a polyline; long records are reduced to the lowest and the
// highest sample of each plot column, which keeps every edge visible.
void Channel(std::ostream &svg, const Scale &scale, const Trace &trace, const std::vector<std::uint8_t> &samples,
             const char *colour) {
    svg << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1.5\" points=\"";
    std::size_t i = 0;
    while (i < samples.size()) {
        int column = int(scale.X(trace.index[i]));
        std::size_t end = i;
        int low = samples[i], high = samples[i];
        while (end < samples.size() && int(scale.X(trace.index[end])) == column) {
            low = std::min<int>(low, samples[end]);
            high = std::max<int>(high, samples[end]);
            ++end;
        }
        bool falling = samples[i] > samples[end - 1];
        svg << column << ',' << Scale::Y(falling ? high : low) << ' ';
        if (low != high) {
            svg << column << ',' << Scale::Y(falling ? low : high) << ' ';
        }
        i = end;
    }
    svg << "\"/>\n";
}

} // namespace

void WriteCsv(const std::string &path, const Trace &trace) {
    std::ofstream out = OpenOutput(path);
    out << "index,channel_a,channel_b\n";
    for (std::size_t i = 0; i < trace.index.size(); ++i) {
        out << trace.index[i] << ',' << int(trace.a[i]) << ',' << int(trace.b[i]) << '\n';
    }
    Close(out, path);
}

void WriteSvg(const std::string &path, const std::string &title, const Trace &trace) {
    Scale scale{trace.index.empty() ? 0 : trace.index.front(), trace.index.empty() ? 1 : trace.index.back()};
    std::ofstream svg = OpenOutput(path);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << kHeight
        << "\" viewBox=\"0 0 " << kWidth << ' ' << kHeight << "\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#0b1621\"/>\n"
        << "<text x=\"" << kLeft << "\" y=\"28\" fill=\"#ecf0f1\" font-family=\"sans-serif\" font-size=\"16\">" << title
        << "</text>\n"
        << "<text x=\"" << kLeft + kPlotWidth - 170 << "\" y=\"28\" font-family=\"sans-serif\" font-size=\"14\">"
        << "<tspan fill=\"#f1c40f\">&#9632; channel A</tspan>  <tspan fill=\"#1abc9c\">&#9632; channel B</tspan>"
        << "</text>\n";
    Graticule(svg, scale);
    Channel(svg, scale, trace, trace.a, "#f1c40f");
    Channel(svg, scale, trace, trace.b, "#1abc9c");
    svg << "</svg>\n";
    Close(svg, path);
}

} // namespace zqlscope
