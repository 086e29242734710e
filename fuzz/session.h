// One fuzz input as a session: calls of the 18 exports with arbitrary
// arguments, inside and outside the interface, interleaved with a hostile
// device script, every call checked against the stream oracle.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

namespace fuzz {

// Totals over the whole run, reported at its end.
struct Totals {
    std::uint64_t sessions = 0;
    std::uint64_t calls = 0;
    std::uint64_t faults = 0;    // hostile device steps
    std::uint64_t badInputs = 0; // calls with arguments outside the interface
};
extern Totals totals;

// Runs one session on the library in its load-time state and a new instrument.
void RunSession(FuzzedDataProvider &input);

} // namespace fuzz
