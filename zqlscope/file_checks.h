// Files named on the command line: reading an input file whole, and checking
// output paths before anything is sent to the instrument, so that a long
// acquisition never ends in "cannot write".
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "args.h"

namespace zqlscope {

// Names on the command line are UTF-8 (zqlscope.exe's manifest makes the
// process's code page UTF-8 on Windows): a path made from one, and the
// UTF-8 name of a path, with no conversion by the C library's locale.
std::filesystem::path PathOf(const std::string &utf8);
std::string NameOf(const std::filesystem::path &path);

// The whole file, 1 to maxBytes bytes; otherwise a RunError that names the
// file and says why (missing, a folder, unreadable, empty, too large).
// `what` names the kind of file: "bit stream file".
std::vector<unsigned char> ReadInputFile(const std::string &what, const std::string &path, std::size_t maxBytes);

// The outputs a command was asked for: option and path, "--csv" first.
using Outputs = std::vector<std::pair<std::string, std::string>>;
Outputs RequestedOutputs(const Arguments &args);

// Checks that each output can be written: its folder exists and takes a new
// file, and the path is not a folder (RunError); "-" (standard output) only
// for --csv, and no path named twice (UsageError). Creates nothing.
void CheckOutputs(const Outputs &outputs);

} // namespace zqlscope
