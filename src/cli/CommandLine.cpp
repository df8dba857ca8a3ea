#include "cli/CommandLine.h"

#include <cctype>
#include <string>

#include "pack/PackFirmware.h"
#include "unpack/UnpackFirmware.h"

namespace imgweld {
namespace {

std::string UpperCase(const char* text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

}  // namespace

void PrintUsage(Output& out) {
  out.Write("\r\n----------------Imgweld v1.38--------------------\r\n");
  out.Line("Packing:\t\t-P <config file> <saving dir>\r");
  out.Line("UnPacking:\t-U <firmware> <output dir> [offcheck]\r");
  out.Line("-------------------------------------------------------\r\n\r");
}

int RunCommandLine(int argc, const char* const* argv, Output& out) {
  if (argc != 4 && argc != 5) {
    PrintUsage(out);
    return kExitOk;
  }
  const std::string command = UpperCase(argv[1]);
  if (command == "-P") {
    return PackFirmware(argv[2], argv[3], out) ? kExitOk : kExitPackFailed;
  }
  if (command == "-U") {
    const bool verify = argc != 5 || UpperCase(argv[4]) != "OFFCHECK";
    return UnpackFirmware(argv[2], argv[3], verify, out) ? kExitOk : kExitUnpackFailed;
  }
  out.Line("command is invalid!\r");
  return kExitInvalidCommand;
}

}  // namespace imgweld
