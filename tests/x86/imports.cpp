// Binding the DLL's imports to the bed's host functions, and the host
// functions' access to the DLL's memory.
#include "x86/imports.h"

#include <cstdio>
#include <cstring>

namespace x86 {

namespace {

std::string Hex(Address at) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", at);
    return text;
}

const HostImport *Find(const std::vector<HostImport> &served, const Import &import) {
    for (const HostImport &host : served) {
        if (host.dll == import.dll && host.name == import.name) {
            return &host;
        }
    }
    return nullptr;
}

// The length of the NUL-terminated run of `unit`-byte characters at `at`,
// or -1 when it runs out of mapped memory.
long long Terminated(Address at, std::uint32_t unit) {
    for (std::uint32_t n = 0;; ++n) {
        const std::uint8_t *c = Host(at + n * unit, unit);
        if (c == nullptr) {
            return -1;
        }
        if (c[0] == 0 && (unit == 1 || c[1] == 0)) {
            return n;
        }
    }
}

} // namespace

bool BindImports(const PeImage &image, std::uint8_t *memory, std::string &why) {
    std::vector<HostImport> served = StandInImports();
    const std::vector<HostImport> system = SystemImports();
    served.insert(served.end(), system.begin(), system.end());
    for (const Import &import : image.imports) {
        const HostImport *host = Find(served, import);
        if (host == nullptr) {
            why = "the DLL imports " + import.dll + "!" + import.name + ", which the x86 test bed does not serve";
            return false;
        }
        const Address stub = Stub(import.dll + "!" + import.name, host->function, host->argumentBytes);
        std::memcpy(memory + import.slot, &stub, sizeof stub);
    }
    return true;
}

void *GuestBytes(Address at, std::uint32_t size, const char *what) {
    if (at == 0) {
        return nullptr;
    }
    void *host = Host(at, size);
    if (host == nullptr) {
        Fault(std::string(what) + " of " + std::to_string(size) + " bytes at " + Hex(at) + " is not all mapped (" +
              Describe(at) + ")");
    }
    return host;
}

const char *GuestString(Address at) {
    if (at == 0) {
        return nullptr;
    }
    if (Terminated(at, 1) < 0) {
        Fault("a string at " + Hex(at) + " runs out of mapped memory (" + Describe(at) + ")");
        return nullptr;
    }
    return reinterpret_cast<const char *>(Host(at, 1));
}

const char16_t *GuestWideString(Address at) {
    if (at == 0) {
        return nullptr;
    }
    if (Terminated(at, 2) < 0) {
        Fault("a wide string at " + Hex(at) + " runs out of mapped memory (" + Describe(at) + ")");
        return nullptr;
    }
    return reinterpret_cast<const char16_t *>(Host(at, 2));
}

} // namespace x86
