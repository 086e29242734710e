// Session traces built byte by byte for the tests: pcapng blocks, the
// exported-PDU tags and the records of src/trace/format.h, written here
// without the reader's code, so that a mistake in one shows against the other.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "trace/format.h"

namespace tracebytes {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes &b, std::uint32_t v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}

inline void Put32(Bytes &b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

inline void Put64(Bytes &b, std::uint64_t v) {
    Put32(b, std::uint32_t(v));
    Put32(b, std::uint32_t(v >> 32));
}

inline Bytes Text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// One field: u16 tag, u32 length, the bytes.
inline Bytes Field(std::uint16_t tag, const Bytes &value) {
    Bytes b;
    Put16(b, tag);
    Put32(b, std::uint32_t(value.size()));
    b.insert(b.end(), value.begin(), value.end());
    return b;
}

inline Bytes Arguments(std::initializer_list<std::uint64_t> values) {
    Bytes b;
    for (std::uint64_t v : values) {
        Put64(b, v);
    }
    return Field(zqltrace::kArguments, b);
}

inline Bytes U32Field(std::uint16_t tag, std::uint32_t value) {
    Bytes b;
    Put32(b, value);
    return Field(tag, b);
}

// kBytesChanged: the offset, then the bytes.
inline Bytes Changed(std::uint32_t offset, const Bytes &bytes) {
    Bytes b;
    Put32(b, offset);
    b.insert(b.end(), bytes.begin(), bytes.end());
    return Field(zqltrace::kBytesChanged, b);
}

struct Rec {
    std::uint8_t kind = zqltrace::kExportCall;
    std::uint8_t call = 0;
    std::uint32_t number = 1;
    std::uint32_t result = 0;
    Bytes fields;
    std::uint32_t thread = 77;
    std::uint8_t depth = 0;
    std::uint64_t time = 1000; // in the interface's units (nanoseconds by default)
};

// A pcapng file under construction; every block appended whole.
class Trace {
  public:
    Bytes bytes;

    Trace &Block(std::uint32_t type, const Bytes &body) {
        const std::uint32_t length = std::uint32_t(12 + (body.size() + 3) / 4 * 4);
        Put32(bytes, type);
        Put32(bytes, length);
        bytes.insert(bytes.end(), body.begin(), body.end());
        bytes.resize(bytes.size() + (4 - body.size() % 4) % 4, 0);
        Put32(bytes, length);
        return *this;
    }

    Trace &Section() {
        Bytes body;
        Put32(body, 0x1A2B3C4D);
        Put16(body, 1);
        Put16(body, 0);
        Put64(body, ~0ull);
        return Block(0x0A0D0D0A, body);
    }

    Trace &Interface(std::uint16_t linkType = zqltrace::kLinkType, int resolution = 9) {
        Bytes body;
        Put16(body, linkType);
        Put16(body, 0);
        Put32(body, 0);
        if (resolution >= 0) {
            Put16(body, 9);
            Put16(body, 1);
            body.insert(body.end(), {std::uint8_t(resolution), 0, 0, 0});
        }
        Put32(body, 0); // end of options
        return Block(1, body);
    }

    static Bytes RecordData(const Rec &r) {
        Bytes d = {0x00, 0x0C, 0x00, 0x06, 'z', 'q', 'l', 'u', 's', 'b', 0, 0, 0, 0};
        d.insert(d.end(), {r.kind, r.call, r.depth, 0});
        Put32(d, r.thread);
        Put32(d, r.number);
        Put32(d, r.result);
        d.insert(d.end(), r.fields.begin(), r.fields.end());
        return d;
    }

    Trace &Packet(const Bytes &data, std::uint64_t time = 1000, std::uint32_t interface = 0) {
        Bytes body;
        Put32(body, interface);
        Put32(body, std::uint32_t(time >> 32));
        Put32(body, std::uint32_t(time));
        Put32(body, std::uint32_t(data.size()));
        Put32(body, std::uint32_t(data.size()));
        body.insert(body.end(), data.begin(), data.end());
        return Block(6, body);
    }

    Trace &Record(const Rec &r) { return Packet(RecordData(r), r.time); }

    // The section, the interface and a session start, numbered from `first`.
    static Trace Opened(std::uint32_t first = 1) {
        Trace t;
        t.Section().Interface();
        t.Record({zqltrace::kSessionStart, 0, first, 0,
                  Cat({Field(zqltrace::kText, Text("1.0.0")), Arguments({4242, 64})})});
        return t;
    }
};

} // namespace tracebytes
