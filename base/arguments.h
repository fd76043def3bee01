// A program's command-line arguments in UTF-8. On Windows they are taken
// from the wide command line: the code page's `argv` would lose any
// character it cannot spell (a path with "Zoë" in it, say).
#pragma once

#include <string>
#include <vector>

namespace kv {

std::vector<std::string> utf8Arguments(int argc, char** argv);

// Pointers into `args`, for an option parser.
std::vector<const char*> argumentPointers(const std::vector<std::string>& args);

}  // namespace kv
