// The command layer of the kepra tool: one call runs one command line, as the program does.
// The program is a thin main around it; a test runs it in-process against its own cameras.
#pragma once

#include <cstdio>

namespace kepra_tool {

// Runs `kepra ARGS...` (argv[0] is the program's name) with results on `out` and messages on
// `err`, and returns the exit status (see Exit in tool.h; 130 for a counted grab cut short).
int Run(int argc, const char* const argv[], std::FILE* out, std::FILE* err);

}  // namespace kepra_tool
