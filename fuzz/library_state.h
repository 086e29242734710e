// Every input starts from the library's load-time state: the writable memory
// of libzqlusb.so (its .data and .bss, where all its state lives; it keeps
// nothing on the heap between calls) is saved once right after load and
// written back before each input. Reloading the library per input is not an
// option here: the fuzzer keeps pointers into the coverage counters of every
// instrumented module, which an unload would leave dangling.
#pragma once

namespace fuzz {

// Saves the load-time state; aborts when the library cannot be found.
void SaveLoadTimeState();
// Writes it back.
void RestoreLoadTimeState();

} // namespace fuzz
