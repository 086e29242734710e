// Loads the shipping 32-bit zqlusb.dll, the file as built, into an emulated
// x86 processor inside this 64-bit test process, and binds its imports to
// the virtual instrument's stand-in: the native lane's instrument, counters
// and checks, on the binary that 32-bit applications load. The processor
// model comes from ZQLUSB_X86_PROCESSOR ("no-ssse3" for a Pentium III;
// otherwise a Core 2).
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/bytes.h"
#include "support/emulated_calls.h"
#include "support/library.h"
#include "virtual_instrument/standin.h"
#include "x86/imports.h"
#include "x86/machine.h"

namespace testbed {

namespace {

struct Library {
    x86::PeImage image; // read once per process
    bool read = false;
    bool loaded = false;
    x86::Address base = 0;
    int generation = 0;
};
Library library;

[[noreturn]] void Fatal(const std::string &what) {
    std::fprintf(stderr, "x86 test bed: %s\n", what.c_str());
    std::abort();
}

void ReadImage() {
    if (library.read) {
        return;
    }
    std::vector<std::uint8_t> file;
    std::string why;
    if (!x86::ReadFile(ZQLUSB_X86_DLL, file) || file.empty()) {
        Fatal("cannot read " ZQLUSB_X86_DLL);
    }
    if (!x86::ReadPeImage(file, library.image, why)) {
        Fatal(ZQLUSB_X86_DLL ": " + why);
    }
    library.read = true;
}

x86::Address Export(const char *name) {
    auto it = library.image.exports.find(name);
    if (!library.loaded || it == library.image.exports.end()) {
        Fatal(std::string("the library does not export ") + name);
    }
    return library.base + it->second;
}

std::uint32_t CallEntry(const char *what, std::uint32_t reason) {
    const x86::Outcome outcome =
        x86::Call(what, library.base + library.image.entry, {library.base, reason, 0 /* not a process end */});
    if (!outcome.ok) {
        Fatal(outcome.fault);
    }
    return outcome.eax;
}

} // namespace

std::uint32_t PreferredBase() {
    ReadImage();
    return library.image.preferredBase;
}

namespace {
x86::Processor EmulatedProcessor() {
    const char *model = std::getenv("ZQLUSB_X86_PROCESSOR");
    return model != nullptr && std::strcmp(model, "no-ssse3") == 0 ? x86::Processor::WithoutSsse3
                                                                   : x86::Processor::WithSsse3;
}
} // namespace

void LoadLibraryAt(x86::Address base) {
    if (library.loaded) {
        Fatal("zqlusb.dll is still loaded; its state would carry over");
    }
    ReadImage();
    x86::PowerOn(EmulatedProcessor());
    x86::ResetSystemState();
    vi::SetForeignCloseHandle(reinterpret_cast<void *>(&x86::CloseBedHandle));
    std::uint8_t *memory = x86::Map(base, library.image.size, "zqlusb.dll");
    const std::vector<std::uint8_t> relocated = x86::Relocated(library.image, base);
    std::memcpy(memory, relocated.data(), relocated.size());
    std::string why;
    if (!x86::BindImports(library.image, memory, why)) {
        Fatal(why);
    }
    library.base = base;
    library.loaded = true;
    if (library.image.entry != 0 && CallEntry("DllMain (process attach)", 1) != 1) {
        Fatal("DllMain refused the process attach");
    }
    ++library.generation;
}

void LoadFreshLibrary() {
    ReadImage();
    LoadLibraryAt(library.image.preferredBase);
}

void UnloadLibrary() {
    if (!library.loaded) {
        return;
    }
    if (library.image.entry != 0) {
        CallEntry("DllMain (process detach)", 0);
    }
    library.loaded = false;
    x86::PowerOff();
    x86::ResetSystemState();
    vi::SetForeignCloseHandle(nullptr);
}

void *LibraryExport(const char *name) {
    if (!library.loaded || library.image.exports.count(name) == 0) {
        return nullptr;
    }
    return reinterpret_cast<void *>(static_cast<std::uintptr_t>(Export(name)));
}

int LoadGeneration() {
    return library.generation;
}

// The stand-in answers every call at once: nothing to do around calls.
void BeforeCall() {}
void AfterCall(bool) {}
int DriverOpenHandles() {
    return -1;
}

} // namespace testbed

namespace testbed::emulated {

namespace {

// The longest caller record the bed stages: beyond any data block or bit
// stream the tests pass whole, and within the room of the caller blocks.
constexpr int kStagedLimit = 64 << 20;
// The instrument's packet: a block read fills whole packets.
constexpr int kPacketBytes = 64;

// A caller record staged in emulated memory for one call.
struct Staged {
    void *caller;
    x86::Address guest;
    std::uint32_t size; // the bytes of it readable in this process
    bool writable;
    std::string what;
    Bytes before; // as staged
};

// Copies what of the caller's record this process can read: a test that
// claims a length longer than its buffer (the DLL must then refuse it) may
// name memory that is not there. Returns the bytes copied; the rest of the
// block keeps its fill.
std::uint32_t CopyIn(std::uint8_t *to, const void *from, std::uint32_t size) {
    constexpr std::uintptr_t kHostPage = 4096; // a read never spans one, so it fails or succeeds whole
    std::uint32_t done = 0;
    while (done < size) {
        const auto at = reinterpret_cast<std::uintptr_t>(from) + done;
        const auto part = static_cast<std::uint32_t>(std::min<std::uintptr_t>(size - done, kHostPage - at % kHostPage));
        iovec local{to + done, part};
        iovec remote{reinterpret_cast<void *>(at), part};
        if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(part)) {
            break;
        }
        done += part;
    }
    return done;
}

class Staging {
  public:
    Staging() : mark_(x86::BlockMark()) {}
    // The record's address in emulated memory: null stays null.
    std::uint32_t Add(const void *caller, int size, bool writable, const std::string &what) {
        if (caller == nullptr) {
            return 0;
        }
        // A length past the limit is a test's claim that the DLL must not
        // touch the record: nothing of it is staged, so any access faults.
        const auto bytes = size < 0 || size > kStagedLimit ? 0u : static_cast<std::uint32_t>(size);
        const x86::Address guest =
            x86::MapCallerBlock(bytes, what + (bytes == 0 && size > 0 ? " (none of its bytes staged)" : ""));
        std::uint8_t *host = x86::Host(guest, bytes);
        staged_.push_back({const_cast<void *>(caller), guest, bytes, writable, what, Bytes(bytes, 0)});
        const std::uint32_t copied = CopyIn(host, caller, bytes);
        std::memcpy(staged_.back().before.data(), host, bytes);
        staged_.back().size = copied;
        return guest;
    }
    // Copies back each byte the DLL changed, or checks that a read-only
    // record is unchanged.
    void Finish(const char *name) {
        std::string fault;
        for (const Staged &s : staged_) {
            auto *caller = static_cast<std::uint8_t *>(s.caller);
            const std::uint8_t *now = x86::Host(s.guest, static_cast<std::uint32_t>(s.before.size()));
            for (std::size_t i = 0; i < s.before.size() && fault.empty(); ++i) {
                if (now[i] == s.before[i]) {
                    continue;
                }
                if (!s.writable || i >= s.size) {
                    fault = "wrote into " + s.what + " at offset " + std::to_string(i) +
                            (s.writable ? ", past the memory the caller owns" : ", which the caller passed as const");
                } else {
                    caller[i] = now[i];
                }
            }
        }
        const std::string slack = x86::ReleaseBlocks(mark_);
        if (!fault.empty() || !slack.empty()) {
            Fatal(std::string(name) + ": " + (fault.empty() ? slack : fault));
        }
    }

  private:
    std::size_t mark_;
    std::vector<Staged> staged_;
};

std::string Record(const char *name, const char *what) {
    return std::string("the ") + what + " given to " + name;
}

} // namespace

std::uint32_t CallWords(const char *name, const std::vector<std::uint32_t> &words) {
    const x86::Outcome outcome = x86::Call(name, Export(name), words);
    if (!outcome.ok) {
        Fatal(outcome.fault);
    }
    return outcome.eax;
}

std::uint32_t Call(const char *name, std::tuple<unsigned char *, int> arguments) {
    auto [data, length] = arguments;
    // USBReadDataBlock's Data holds the length rounded up to whole packets.
    const bool packets = std::strcmp(name, "USBReadDataBlock") == 0 && length > 0 && length <= kStagedLimit;
    const int held = packets ? (length + kPacketBytes - 1) / kPacketBytes * kPacketBytes : length;
    Staging staging;
    const std::uint32_t at = staging.Add(data, held, true, Record(name, "data block"));
    const std::uint32_t result = CallWords(name, {at, Word(length)});
    staging.Finish(name);
    return result;
}

std::uint32_t Call(const char *name, std::tuple<const unsigned char *, int> arguments) {
    auto [data, length] = arguments;
    Staging staging;
    const std::uint32_t at = staging.Add(data, length, false, Record(name, "bit stream"));
    const std::uint32_t result = CallWords(name, {at, Word(length)});
    staging.Finish(name);
    return result;
}

std::uint32_t Call(const char *name, std::tuple<DriverVersion *> arguments) {
    Staging staging;
    const std::uint32_t at =
        staging.Add(std::get<0>(arguments), sizeof(DriverVersion), true, Record(name, "DriverVersion"));
    const std::uint32_t result = CallWords(name, {at});
    staging.Finish(name);
    return result;
}

std::uint32_t Call(const char *name, std::tuple<OutPutData *> arguments) {
    Staging staging;
    const std::uint32_t at = staging.Add(std::get<0>(arguments), sizeof(OutPutData), true, Record(name, "OutPutData"));
    const std::uint32_t result = CallWords(name, {at});
    staging.Finish(name);
    return result;
}

std::uint32_t Call(const char *name, std::tuple<unsigned short, unsigned short *> arguments) {
    auto [address, word] = arguments;
    Staging staging;
    const std::uint32_t at = staging.Add(word, sizeof(unsigned short), true, Record(name, "word"));
    const std::uint32_t result = CallWords(name, {Word(address), at});
    staging.Finish(name);
    return result;
}

} // namespace testbed::emulated
