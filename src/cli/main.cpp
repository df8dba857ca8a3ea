#include "cli/CommandLine.h"

int main(int argc, char** argv) {
  imgweld::StdoutOutput out;
  return imgweld::RunCommandLine(argc, argv, out);
}
