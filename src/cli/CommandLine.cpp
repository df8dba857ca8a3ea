#include "cli/CommandLine.h"

#include <cctype>
#include <optional>
#include <string>

#include "inspect/KitCommand.h"
#include "inspect/ListCommand.h"
#include "inspect/VerifyCommand.h"
#include "pack/PackFirmware.h"
#include "unpack/UnpackFirmware.h"

namespace imgweld {
namespace {

std::string UpperCase(const char* text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

// "-L" and "-V" take a file and an optional word: 3 or 4 arguments in all.
bool IsInspectCommand(const std::string& command) { return command == "-L" || command == "-V"; }

// A configuration that -P refuses exits as -P would, anything else that is
// not listed clean as -U's failure.
int ListExitCode(ListOutcome outcome) {
  switch (outcome) {
    case ListOutcome::kListed:
      return kExitOk;
    case ListOutcome::kRefused:
      return kExitPackFailed;
    case ListOutcome::kFailed:
      break;
  }
  return kExitUnpackFailed;
}

// "-V <image> [offcheck] [json]": the words in any letter case and order.
// One other word is taken, as -U takes it, for leaving the digest checked;
// two words must be these two.
bool ParseVerifyWords(int argc, const char* const* argv, bool& checkHash, VerifyMode& mode) {
  checkHash = true;
  mode = VerifyMode::kText;
  for (int i = 3; i < argc; ++i) {
    const std::string word = UpperCase(argv[i]);
    if (word == "OFFCHECK") {
      checkHash = false;
    } else if (word == "JSON") {
      mode = VerifyMode::kJson;
    } else if (argc == 5) {
      return false;
    }
  }
  return true;
}

int RunInspectCommand(int argc, const char* const* argv, const std::string& command, Output& out) {
  const std::string word = argc == 4 ? argv[3] : "";
  if (command == "-V") {
    bool checkHash = true;
    VerifyMode mode = VerifyMode::kText;
    if (!ParseVerifyWords(argc, argv, checkHash, mode)) {
      out.Line("command is invalid!\r");
      return kExitInvalidCommand;
    }
    return VerifyFile(argv[2], checkHash, mode, out) ? kExitOk : kExitUnpackFailed;
  }
  const std::optional<ListMode> mode = argc == 4 ? ParseListMode(word) : ListMode::kText;
  if (!mode) {
    out.Diagnose("-L", "unknown mode %s, expected text, json or ini", word.c_str());
    out.Line("command is invalid!\r");
    return kExitInvalidCommand;
  }
  return ListExitCode(ListFile(argv[2], *mode, out));
}

}  // namespace

void PrintUsage(Output& out) {
  out.Write("\r\n----------------Imgweld v" IMGWELD_VERSION "--------------------\r\n");
  out.Line("Packing:\t\t-P <config file> <saving dir>\r");
  out.Line("UnPacking:\t-U <firmware> <output dir> [offcheck]\r");
  out.Line("-------------------------------------------------------\r\n\r");
}

int RunCommandLine(int argc, const char* const* argv, Output& out) {
  const std::string command = argc >= 2 ? UpperCase(argv[1]) : "";
  if (IsInspectCommand(command) && (argc == 3 || argc == 4 || (argc == 5 && command == "-V"))) {
    return RunInspectCommand(argc, argv, command, out);
  }
  // "-X" takes an image, a directory and, as -U does, an optional word:
  // "offcheck" (any letter case) skips the hash file. It is matched as
  // written, upper case only: "-x" stays an unknown command word, as it
  // always was.
  if ((argc == 4 || argc == 5) && std::string(argv[1]) == "-X") {
    const bool verify = argc != 5 || UpperCase(argv[4]) != "OFFCHECK";
    return ExtractKit(argv[2], argv[3], verify, out) ? kExitOk : kExitUnpackFailed;
  }
  if (argc != 4 && argc != 5) {
    PrintUsage(out);
    out.Note("usage",
             "also -L <file> [text|json|ini] to list, -V <image> [offcheck] to verify and -X "
             "<image> <dir> to take an image apart into a rebuild kit; see man imgweld");
    return kExitOk;
  }
  if (command == "-P") {
    // "strict" (any letter case) makes every warning refuse the run; any
    // other fourth word is ignored, as it always was.
    const bool strict = argc == 5 && UpperCase(argv[4]) == "STRICT";
    return PackFirmware(argv[2], argv[3], out, strict) ? kExitOk : kExitPackFailed;
  }
  if (command == "-U") {
    const bool verify = argc != 5 || UpperCase(argv[4]) != "OFFCHECK";
    if (!UnpackFirmware(argv[2], argv[3], verify, out)) return kExitUnpackFailed;
    return kExitOk;
  }
  out.Line("command is invalid!\r");
  return kExitInvalidCommand;
}

}  // namespace imgweld
