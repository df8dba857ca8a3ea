#include "cli/CommandLine.h"

#include <array>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

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

// What a known command word takes after it: `required` arguments, then up
// to `optional` more. A count outside that range is a usage fault, which
// must not pass for success: a pipeline step whose directory variable came
// out empty would otherwise do nothing and exit 0.
struct CommandShape {
  const char* word;
  bool anyCase;  // matched after upper-casing, as -P and -U always were
  int required;
  int optional;
  std::array<const char*, 2> names;  // what each required argument is
  const char* usage;
};

// -P's optional word is "strict" (any other is ignored); -U's and -X's are
// the verification switch; -L's the listing mode; -V takes the verification
// switch and "json". -X is matched as written.
constexpr CommandShape kCommandShapes[] = {
    {"-P",
     true,
     2,
     1,
     {"the configuration file", "the saving directory"},
     "-P <config file> <saving dir> [strict]"},
    {"-U",
     true,
     2,
     1,
     {"the firmware image", "the output directory"},
     "-U <firmware> <output dir> [offcheck]"},
    {"-L", true, 1, 1, {"the file to list", nullptr}, "-L <file> [text|json|ini]"},
    {"-V", true, 1, 2, {"the image to verify", nullptr}, "-V <image> [offcheck] [json]"},
    {"-X", false, 2, 1, {"the image", "the kit directory"}, "-X <image> <dir> [offcheck]"},
};

const CommandShape* FindCommandShape(const char* word, const std::string& upper) {
  for (const CommandShape& shape : kCommandShapes) {
    if ((shape.anyCase ? upper : std::string(word)) == shape.word) return &shape;
  }
  return nullptr;
}

// What is missing or extra, for a count outside the shape; "" when it fits.
std::string DescribeUsageFault(const CommandShape& shape, int argc, const char* const* argv) {
  const int given = argc - 2;
  std::string what;
  if (given < shape.required) {
    what = "missing ";
    for (int i = given; i < shape.required; ++i) {
      if (i > given) what += " and ";
      what += shape.names[static_cast<size_t>(i)];
    }
  } else if (given > shape.required + shape.optional) {
    const int first = 2 + shape.required + shape.optional;
    what = argc - first == 1 ? "extra argument" : "extra arguments";
    for (int i = first; i < argc; ++i) what += std::string(" \"") + argv[i] + "\"";
  }
  return what;
}

void PrintHelp(Output& out) {
  out.Write(
      "Usage:\n"
      "  imgweld -P <config file> <saving dir> [strict] pack Firmware.img (and Firmware.md5)\n"
      "  imgweld -U <firmware> <output dir> [offcheck]  unpack a tagged image into its files\n"
      "  imgweld -L <file> [text|json|ini]              list an image or a configuration\n"
      "  imgweld -V <image> [offcheck] [json]           verify an image\n"
      "  imgweld -X <image> <dir> [offcheck]            write a kit that rebuilds the image\n"
      "  imgweld --help | --version\n"
      "Exit status: 0 success, 2 unknown command word or wrong arguments, 3 packing failed,\n"
      "4 unpacking, listing or verifying failed. See man imgweld.\n");
}

}  // namespace

void PrintUsage(Output& out) {
  out.Write("\r\n----------------Imgweld v" IMGWELD_VERSION "--------------------\r\n");
  out.Line("Packing:\t\t-P <config file> <saving dir>\r");
  out.Line("UnPacking:\t-U <firmware> <output dir> [offcheck]\r");
  out.Line("-------------------------------------------------------\r\n\r");
}

namespace {

// --help, --version and a known command word given the wrong number of
// arguments end the run here; anything else goes on to its command.
std::optional<int> RunOutsideCommands(int argc, const char* const* argv, const std::string& command,
                                      Output& out) {
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    PrintHelp(out);
    return kExitOk;
  }
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    out.Write("imgweld " IMGWELD_VERSION "\n");
    return kExitOk;
  }
  const CommandShape* shape = argc >= 2 ? FindCommandShape(argv[1], command) : nullptr;
  if (shape == nullptr) return std::nullopt;
  const std::string fault = DescribeUsageFault(*shape, argc, argv);
  if (fault.empty()) return std::nullopt;
  PrintUsage(out);
  out.Diagnose(shape->word, "%s; usage: imgweld %s", fault.c_str(), shape->usage);
  return kExitUsageFault;
}

}  // namespace

int RunCommandLine(int argc, const char* const* argv, Output& out) {
  const std::string command = argc >= 2 ? UpperCase(argv[1]) : "";
  if (const std::optional<int> exitCode = RunOutsideCommands(argc, argv, command, out)) {
    return *exitCode;
  }
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
             "also -L <file> [text|json|ini] to list, -V <image> [offcheck] [json] to verify and "
             "-X <image> <dir> [offcheck] to take an image apart into a rebuild kit; see imgweld "
             "--help");
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
