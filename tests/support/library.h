// Loading the library under test: a fresh copy for every test, so that each
// starts from the library's load-time state.
#pragma once

namespace testbed {

// Loads the library anew and binds it to the virtual instrument.
void LoadFreshLibrary();
// Unloads it; the next load starts from zeroed state again.
void UnloadLibrary();
// The address of an export of the loaded library, or null.
void *LibraryExport(const char *name);
// Counts loads, so that cached export addresses know when to look again.
int LoadGeneration();

} // namespace testbed
