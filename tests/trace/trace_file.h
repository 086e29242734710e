// A small reader of session traces for the tests: the pcapng blocks, the
// exported-PDU tags and each record's header and fields, with every length
// checked. A file that breaks the layout fails the test that reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace tracetest {

struct Field {
    std::uint16_t tag;
    testbed::Bytes bytes;
};

struct Record {
    std::uint8_t kind, call, depth, flags;
    std::uint32_t thread, number, result;
    std::uint64_t time; // nanoseconds since 1970
    std::vector<Field> fields;
    testbed::Bytes packet; // the whole packet data, tags included

    // The fields with `tag`, in order.
    std::vector<testbed::Bytes> All(std::uint16_t tag) const;
    // The only field with `tag`; fails the test when there is none or several.
    testbed::Bytes One(std::uint16_t tag) const;
    std::vector<std::uint64_t> Arguments() const;
    std::string Text(int which = 0) const;
    std::uint32_t Word(std::uint16_t tag) const;
};

struct Trace {
    std::string application; // shb_userappl
    std::vector<Record> records;
    std::string problem; // empty when the file follows the layout
};

Trace ReadTrace(const std::string &path);
// The file's bytes; empty when it cannot be read.
testbed::Bytes FileBytes(const std::string &path);

std::uint32_t U32(const std::uint8_t *at);
std::uint64_t U64(const std::uint8_t *at);

} // namespace tracetest
