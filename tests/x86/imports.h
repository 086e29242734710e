// What the x86 DLL imports, served by the test bed: the seam's patched
// calls by the virtual instrument's stand-in (standin_calls.cpp), and the
// rest of kernel32 and the C runtime over the host (system_calls.cpp and
// its rooms kernel32_threads, kernel32_files, kernel32_environment and
// msvcrt_heap).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "x86/machine.h"
#include "x86/pe_image.h"

namespace x86 {

struct HostImport {
    std::string dll; // lower-case, as the import table is read
    std::string name;
    HostFunction function;
    std::uint16_t argumentBytes; // popped on return: stdcall; 0 for the C runtime's cdecl
};

std::vector<HostImport> StandInImports();
std::vector<HostImport> SystemImports();

// Points each of the image's import slots in `memory` (the image as mapped)
// at a stub of the host function of that name. False, with the first import
// the bed does not serve named in `why`.
bool BindImports(const PeImage &image, std::uint8_t *memory, std::string &why);

// Host functions' access to the DLL's memory. Null for a null address;
// otherwise the whole range must be mapped, or the call faults and null is
// returned (check Faulted() before using any of them).
void *GuestBytes(Address at, std::uint32_t size, const char *what);
const char *GuestString(Address at);
const char16_t *GuestWideString(Address at);

// What the bed's own file handles need at each load and unload.
void ResetSystemState();
// Closes a file handle of the trace DLL; the stand-in's CloseHandle passes
// handles it did not issue here.
int CloseBedHandle(void *handle);
// What the DLL gave OutputDebugString since the last load, as UTF-8.
const std::vector<std::string> &DebugOutput();
// Heap blocks the DLL allocated and has not freed.
std::size_t HeapBlocksInUse();

} // namespace x86
