#include "trace/trace_file.h"

#include <cstdio>
#include <cstring>

#include "trace/format.h"

namespace tracetest {

using testbed::Bytes;

std::uint32_t U32(const std::uint8_t *at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}
std::uint64_t U64(const std::uint8_t *at) {
    return U32(at) | (static_cast<std::uint64_t>(U32(at + 4)) << 32);
}
namespace {
std::uint16_t U16(const std::uint8_t *at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
std::uint16_t Big16(const std::uint8_t *at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// The record inside an enhanced packet's data, or a sentence saying why not.
std::string ParseRecord(const Bytes &data, Record &r) {
    using namespace zqltrace;
    if (data.size() < kTagBytes + kRecordHeader) {
        return "record shorter than its header";
    }
    // Tag 12 (protocol name), length 6, "zqlusb", then the end-of-tags tag.
    if (Big16(&data[0]) != 12 || Big16(&data[2]) != 6 || std::memcmp(&data[4], kDissectorName, 6) != 0 ||
        U32(&data[10]) != 0) {
        return "exported-PDU tags are not those naming zqlusb";
    }
    const std::uint8_t *h = &data[kTagBytes];
    r.kind = h[0];
    r.call = h[1];
    r.depth = h[2];
    r.flags = h[3];
    r.thread = U32(h + 4);
    r.number = U32(h + 8);
    r.result = U32(h + 12);
    std::size_t at = kTagBytes + kRecordHeader;
    while (at < data.size()) {
        if (data.size() - at < kFieldHeader) {
            return "field header cut off";
        }
        const std::uint16_t tag = U16(&data[at]);
        const std::uint32_t length = U32(&data[at + 2]);
        at += kFieldHeader;
        if (data.size() - at < length) {
            return "field longer than its record";
        }
        r.fields.push_back({tag, Bytes(data.begin() + at, data.begin() + at + length)});
        at += length;
    }
    r.packet = data;
    return "";
}
} // namespace

Bytes FileBytes(const std::string &path) {
    Bytes bytes;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return bytes;
    }
    std::uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::fclose(f);
    return bytes;
}

Trace ReadTrace(const std::string &path) {
    Trace t;
    const Bytes b = FileBytes(path);
    std::size_t at = 0;
    int block = 0;
    while (at < b.size()) {
        const std::string where = "block " + std::to_string(block) + " at byte " + std::to_string(at) + ": ";
        if (b.size() - at < 12) {
            t.problem = where + "cut off";
            return t;
        }
        const std::uint32_t type = U32(&b[at]);
        const std::uint32_t length = U32(&b[at + 4]);
        if (length < 12 || length % 4 != 0 || b.size() - at < length || U32(&b[at + length - 4]) != length) {
            t.problem = where + "bad block length " + std::to_string(length);
            return t;
        }
        if (block == 0 && (type != 0x0A0D0D0A || U32(&b[at + 8]) != 0x1A2B3C4D)) {
            t.problem = where + "not a little-endian section header";
            return t;
        }
        if (block == 0 && length > 28 && U16(&b[at + 24]) == 4) {
            t.application.assign(reinterpret_cast<const char *>(&b[at + 28]), U16(&b[at + 26]));
        }
        if (block == 1 && (type != 1 || U16(&b[at + 8]) != zqltrace::kLinkType || b[at + 16] != 9 || b[at + 20] != 9)) {
            t.problem = where + "not the interface of the exported-PDU link with nanoseconds";
            return t;
        }
        if (block >= 2) {
            if (type != 6 || U32(&b[at + 8]) != 0 || U32(&b[at + 20]) != U32(&b[at + 24]) ||
                28 + U32(&b[at + 20]) + 4 > length) {
                t.problem = where + "not an enhanced packet of interface 0 with its whole data";
                return t;
            }
            Record r{};
            r.time = (static_cast<std::uint64_t>(U32(&b[at + 12])) << 32) | U32(&b[at + 16]);
            const Bytes data(b.begin() + at + 28, b.begin() + at + 28 + U32(&b[at + 20]));
            const std::string why = ParseRecord(data, r);
            if (!why.empty()) {
                t.problem = where + why;
                return t;
            }
            t.records.push_back(r);
        }
        at += length;
        ++block;
    }
    if (block < 2) {
        t.problem = "no section header and interface";
    }
    return t;
}

std::vector<Bytes> Record::All(std::uint16_t tag) const {
    std::vector<Bytes> out;
    for (const Field &f : fields) {
        if (f.tag == tag) {
            out.push_back(f.bytes);
        }
    }
    return out;
}

Bytes Record::One(std::uint16_t tag) const {
    const std::vector<Bytes> all = All(tag);
    EXPECT_EQ(all.size(), 1u) << "fields of tag " << tag << " in record " << number;
    return all.empty() ? Bytes{} : all[0];
}

std::vector<std::uint64_t> Record::Arguments() const {
    const Bytes b = One(zqltrace::kArguments);
    std::vector<std::uint64_t> out;
    for (std::size_t i = 0; i + 8 <= b.size(); i += 8) {
        out.push_back(U64(&b[i]));
    }
    return out;
}

std::string Record::Text(int which) const {
    const std::vector<Bytes> all = All(zqltrace::kText);
    return which < static_cast<int>(all.size()) ? std::string(all[which].begin(), all[which].end()) : "";
}

std::uint32_t Record::Word(std::uint16_t tag) const {
    const Bytes b = One(tag);
    return b.size() == 4 ? U32(b.data()) : 0xFFFFFFFFu;
}

} // namespace tracetest
