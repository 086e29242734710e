// Writing a sigrok session file chunk by chunk.
#include "sigrok/session_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "args.h"
#include "commands.h"

namespace zqlscope::sigrok {

namespace {

DosTime Now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return DosTimeOf(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                     local.tm_sec);
}

std::span<const std::uint8_t> AsBytes(const std::string &text) {
    return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

// float32 little-endian, as sigrok's analog chunks hold them.
std::vector<std::uint8_t> Floats(const std::vector<std::uint8_t> &counts, const signal::Units &units,
                                 signal::Channel channel) {
    std::vector<std::uint8_t> out(4 * counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const float value = static_cast<float>(signal::Level(units, channel, counts[i]));
        std::uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        for (int k = 0; k < 4; ++k) {
            out[4 * i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(bits >> (8 * k));
        }
    }
    return out;
}

} // namespace

bool WholeHertz(double rate) {
    return rate >= 1 && rate <= 1e15 && std::floor(rate) == rate;
}

std::string Metadata(const signal::Units &units, const std::string &origin) {
    std::string text = "[global]\n";
    text += "# " + VersionLine() + ": " + origin + " of the Zelqa's two channels.\n";
    text += "# " + signal::AxesNote(units) + ".\n";
    if (!units.Seconds()) {
        text += "# Without a samplerate the time axis counts samples: one sample per point.\n";
    }
    text += "\n[device 1]\n";
    if (units.Seconds()) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.0f", *units.sampleRate);
        text += std::string("samplerate=") + rate + "\n";
    }
    text += "total analog=2\nanalog1=A\nanalog2=B\n";
    return text;
}

SessionFile::SessionFile(const std::string &path, const signal::Units &units, const std::string &origin,
                         std::uint64_t zipLimit)
    : path_(path), units_(units), file_(path, std::ios::binary | std::ios::trunc) {
    if (!file_) {
        throw RunError("cannot create the sigrok session " + path);
    }
    zip_ = std::make_unique<ZipWriter>(file_, Now(), zipLimit);
    zip_->Add("version", AsBytes("2"));
    zip_->Add("metadata", AsBytes(Metadata(units, origin)));
    a_.reserve(kChunkPoints);
    b_.reserve(kChunkPoints);
}

SessionFile::~SessionFile() = default;

void SessionFile::WriteChunk() {
    if (a_.empty() || full_) {
        return;
    }
    const std::string nameA = "analog-1-1-" + std::to_string(chunks_ + 1);
    const std::string nameB = "analog-1-2-" + std::to_string(chunks_ + 1);
    // Both channels' entries or neither.
    if (!zip_->Fits(8 * a_.size(), 2, nameA.size() + nameB.size())) {
        full_ = true;
        return;
    }
    zip_->Add(nameA, Floats(a_, units_, signal::Channel::A));
    zip_->Add(nameB, Floats(b_, units_, signal::Channel::B));
    ++chunks_;
    written_ += a_.size();
    a_.clear();
    b_.clear();
}

void SessionFile::Add(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    std::size_t done = 0;
    while (done < a.size() && !full_) {
        const std::size_t take = std::min(a.size() - done, kChunkPoints - a_.size());
        a_.insert(a_.end(), a.begin() + static_cast<std::ptrdiff_t>(done), a.begin() + static_cast<std::ptrdiff_t>(done + take));
        b_.insert(b_.end(), b.begin() + static_cast<std::ptrdiff_t>(done), b.begin() + static_cast<std::ptrdiff_t>(done + take));
        done += take;
        if (a_.size() == kChunkPoints) {
            WriteChunk();
        }
    }
}

std::string SessionFile::Close() {
    if (closed_) {
        return "";
    }
    closed_ = true;
    WriteChunk();
    zip_->Finish();
    file_.close();
    if (!file_) {
        throw RunError("could not write the sigrok session " + path_ + " (disk full?)");
    }
    std::string text = path_ + ": " + Count(static_cast<long long>(written_), "point") + " per channel in " +
                       Count(chunks_, "chunk");
    if (full_) {
        text += "; it ends there, at the 4 GiB limit of a zip without ZIP64";
    }
    return text;
}

} // namespace zqlscope::sigrok
