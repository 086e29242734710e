// The exports' calls into the 32-bit DLL run in the emulated x86 processor
// (library_x86.cpp): scalar arguments pushed as 32-bit words, and every
// caller record (a data block, a bit stream, OutPutData, DriverVersion, the
// EEPROM word) copied into emulated memory with unmapped pages around it,
// and back after the call, so that the DLL touches only what it was given.
#pragma once

#include <cstdint>
#include <tuple>
#include <type_traits>
#include <vector>

#include "zqlusb.h"

namespace testbed {
// Loads the DLL at `base` instead of its preferred base, its relocations
// applied (the loader's own test); LoadFreshLibrary loads it where it prefers.
void LoadLibraryAt(std::uint32_t base);
std::uint32_t PreferredBase();
} // namespace testbed

namespace testbed::emulated {

// A scalar as the caller pushes it: 32 bits, the bytes above a char's or a
// short's value not zeroed (an x86 caller need not), so that a DLL that
// reads the whole word is seen.
template <typename T> std::uint32_t Word(T value) {
    static_assert(std::is_integral_v<T>, "pointers need a record of their own");
    const auto bits = static_cast<std::uint32_t>(value);
    if constexpr (sizeof(T) == 1) {
        return 0xA5A5A500u | (bits & 0xFFu);
    } else if constexpr (sizeof(T) == 2) {
        return 0xA5A50000u | (bits & 0xFFFFu);
    } else {
        return bits;
    }
}

// Calls the export `name` with words already pushed; returns EAX.
std::uint32_t CallWords(const char *name, const std::vector<std::uint32_t> &words);

template <typename... Scalars> std::uint32_t Call(const char *name, std::tuple<Scalars...> arguments) {
    return std::apply([name](Scalars... a) { return CallWords(name, {Word(a)...}); }, arguments);
}
std::uint32_t Call(const char *name, std::tuple<unsigned char *, int> arguments);
std::uint32_t Call(const char *name, std::tuple<const unsigned char *, int> arguments);
std::uint32_t Call(const char *name, std::tuple<DriverVersion *> arguments);
std::uint32_t Call(const char *name, std::tuple<OutPutData *> arguments);
std::uint32_t Call(const char *name, std::tuple<unsigned short, unsigned short *> arguments);

} // namespace testbed::emulated
