// Which zqlusb library the program runs on: the file loaded and what its
// version resource calls it (the shipping library, the virtual instrument or
// the trace build), so that a user can tell a measurement from a simulation.
#pragma once

#include <string>

namespace zqlscope {

struct LibraryIdentity {
    std::string path;        // the loaded file's full path; empty if unknown
    std::string description; // its FileDescription; empty where it has none
};

LibraryIdentity LoadedLibrary();

// Whether the description is the trace build's.
bool IsTraceBuild(const LibraryIdentity &library);

// Where the trace build writes its trace, by its rules: ZQLUSB_TRACE, or
// zqlusb-<process id>.pcapng in the temporary folder.
std::string TraceDestination();

} // namespace zqlscope
