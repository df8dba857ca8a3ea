#include <signal.h>

#include "cli/CommandLine.h"
#include "common/TempFiles.h"

int main(int argc, char** argv) {
  // Past a file-size limit a write then fails with EFBIG and the run reports
  // it like any failed write, instead of the process being killed midway.
  signal(SIGXFSZ, SIG_IGN);
  // A run ended by a signal removes its temporary files first.
  imgweld::InstallTempFileCleanup();
  imgweld::StdoutOutput out;
  return imgweld::RunCommandLine(argc, argv, out);
}
