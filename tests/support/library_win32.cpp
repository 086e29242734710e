// Loads the shipping zqlusb.dll and patches its import address table so that
// its SetupAPI, kernel32 and user32 calls reach the virtual instrument's
// stand-in in this program. The binary under test is the binary we ship.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/library.h"
#include "virtual_instrument/standin.h"

namespace testbed {

namespace {
const char kDllName[] = "zqlusb.dll";
HMODULE module = nullptr;
int generation = 0;

[[noreturn]] void Fatal(const std::string &what) {
    std::fprintf(stderr, "test bed: %s (error %lu)\n", what.c_str(), GetLastError());
    std::abort();
}

bool SameName(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

template <typename T> T *At(DWORD rva) {
    return reinterpret_cast<T *>(reinterpret_cast<BYTE *>(module) + rva);
}

// The stand-in for an import of `dll` by `name`, or null.
void *StandInFor(const char *dll, const char *name) {
    for (int i = 0; i < vi::kStandInCount; ++i) {
        if (SameName(vi::kStandIns[i].module, dll) && std::strcmp(vi::kStandIns[i].name, name) == 0) {
            return vi::kStandIns[i].function;
        }
    }
    return nullptr;
}

void Overwrite(IMAGE_THUNK_DATA *slot, void *function) {
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) {
        Fatal("cannot unprotect the import address table");
    }
    slot->u1.Function = reinterpret_cast<ULONG_PTR>(function);
    VirtualProtect(slot, sizeof *slot, old, &old);
}

// Patches the imports of one DLL; returns how many it patched.
int PatchDescriptor(const IMAGE_IMPORT_DESCRIPTOR &descriptor) {
    const char *dll = At<const char>(descriptor.Name);
    auto *names = At<IMAGE_THUNK_DATA>(descriptor.OriginalFirstThunk);
    auto *slots = At<IMAGE_THUNK_DATA>(descriptor.FirstThunk);
    int patched = 0;
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
            continue;
        }
        // A by-name entry holds the RVA of its hint and name (64 bits wide on
        // x64, but an RVA all the same).
        const DWORD entry = static_cast<DWORD>(names->u1.AddressOfData);
        const char *name = reinterpret_cast<const char *>(At<IMAGE_IMPORT_BY_NAME>(entry)->Name);
        if (void *standIn = StandInFor(dll, name)) {
            if (std::strcmp(name, "CloseHandle") == 0) {
                vi::SetForeignCloseHandle(reinterpret_cast<void *>(slots->u1.Function));
            }
            Overwrite(slots, standIn);
            ++patched;
        }
    }
    return patched;
}

void PatchImports() {
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(module);
    auto *nt = At<IMAGE_NT_HEADERS>(static_cast<DWORD>(dos->e_lfanew));
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int patched = 0;
    for (auto *d = At<IMAGE_IMPORT_DESCRIPTOR>(directory.VirtualAddress); d->Name != 0; ++d) {
        patched += PatchDescriptor(*d);
    }
    if (patched != vi::kStandInCount) {
        Fatal("zqlusb.dll imports " + std::to_string(patched) + " of the " + std::to_string(vi::kStandInCount) +
              " calls the stand-in serves");
    }
}
} // namespace

void LoadFreshLibrary() {
    if (GetModuleHandleA(kDllName) != nullptr) {
        Fatal("zqlusb.dll is still loaded; its state would carry over");
    }
    module = LoadLibraryA(kDllName);
    if (module == nullptr) {
        Fatal("cannot load zqlusb.dll");
    }
    PatchImports();
    ++generation;
}

void UnloadLibrary() {
    if (module != nullptr && !FreeLibrary(module)) {
        Fatal("cannot unload zqlusb.dll");
    }
    module = nullptr;
}

void *LibraryExport(const char *name) {
    return module ? reinterpret_cast<void *>(GetProcAddress(module, name)) : nullptr;
}

int LoadGeneration() {
    return generation;
}

} // namespace testbed

namespace testbed {

// The stand-in answers every call at once: nothing to do around calls.
void BeforeCall() {}
void AfterCall(bool) {}
int DriverOpenHandles() {
    return -1;
}

} // namespace testbed
