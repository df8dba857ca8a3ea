#pragma once

#include "cli/ExitCodes.h"
#include "common/Output.h"

namespace imgweld {

void PrintUsage(Output& out);

// Runs one invocation: checks the arguments, calls the packer, the unpacker,
// the lister or the verifier, and returns the exit code. The banner and the
// messages of -P and -U go to `out` as messages; the lines beyond them go to
// its diagnostics.
int RunCommandLine(int argc, const char* const* argv, Output& out);

}  // namespace imgweld
