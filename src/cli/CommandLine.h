#pragma once

#include "common/Output.h"

namespace imgweld {

// Exit codes of the program.
inline constexpr int kExitOk = 0;  // also after the usage banner
inline constexpr int kExitInvalidCommand = 2;
inline constexpr int kExitPackFailed = 3;
inline constexpr int kExitUnpackFailed = 4;

void PrintUsage(Output& out);

// Runs one invocation: checks the arguments, calls the packer, the unpacker,
// the lister or the verifier, and returns the exit code. The banner and the
// messages of -P and -U go to `out` as messages; the lines beyond them go to
// its diagnostics.
int RunCommandLine(int argc, const char* const* argv, Output& out);

}  // namespace imgweld
