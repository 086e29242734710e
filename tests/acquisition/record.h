// A caller's OutPutData for the acquisition tests, on the heap and filled
// with a marker, so that every byte a call does not write can be checked.
#pragma once

#include <cstring>
#include <functional>
#include <memory>

#include "support/fixture.h"

namespace testbed {

constexpr std::size_t kPoints = ZQLUSB_CHANNEL_POINTS;

struct Record {
    std::unique_ptr<OutPutData> data = std::make_unique<OutPutData>();

    explicit Record(std::uint8_t marker = 0x5A) { std::memset(data.get(), marker, sizeof(OutPutData)); }
    // USBRetrieveScopeData's request header, little-endian in TempBufferA,
    // as given, so that requests the library refuses can be tried too. The
    // header's helper writes it where it fits, so every request test checks it.
    void Header(std::uint16_t count, std::uint16_t offset, std::uint16_t step) {
        if (ZqlusbSetScopeRequest(data.get(), count, offset, step) == ZQLUSB_REQUEST_FITS) {
            return;
        }
        const std::uint16_t values[] = {count, offset, step};
        for (int i = 0; i < 3; ++i) {
            data->TempBufferA[2 * i] = static_cast<std::uint8_t>(values[i]);
            data->TempBufferA[2 * i + 1] = static_cast<std::uint8_t>(values[i] >> 8);
        }
    }
    // The whole record: channel A, then channel B.
    Bytes All() const {
        auto *bytes = reinterpret_cast<const std::uint8_t *>(data.get());
        return Bytes(bytes, bytes + sizeof(OutPutData));
    }
    vi::Point At(std::size_t i) const { return {data->TempBufferA[i], data->TempBufferB[i]}; }
};

// Point i of a record laid out as Record::All().
inline void Put(Bytes &all, std::size_t i, vi::Point p) {
    all[i] = p.a;
    all[kPoints + i] = p.b;
}

// `all`, a record laid out as Record::All(), after `change`: for the
// reference model, which works on OutPutData.
inline Bytes Changed(const Bytes &all, const std::function<void(OutPutData &)> &change) {
    Record record;
    std::memcpy(record.data.get(), all.data(), sizeof(OutPutData));
    change(*record.data);
    return record.All();
}

// `count` points given by `point`, as the instrument sends them: two bytes
// each, channel A first.
inline Bytes Received(std::size_t count, const std::function<vi::Point(std::size_t)> &point) {
    Bytes bytes(2 * count);
    for (std::size_t k = 0; k < count; ++k) {
        const vi::Point p = point(k);
        bytes[2 * k] = p.a;
        bytes[2 * k + 1] = p.b;
    }
    return bytes;
}

// The bytes of each read transfer, in order.
inline std::vector<Bytes> Reads() {
    std::vector<Bytes> out;
    for (const vi::Transfer &t : vi::Device().TransfersOf(IOCTL_SCOPE_READ)) {
        out.push_back(t.bytes);
    }
    return out;
}

} // namespace testbed
