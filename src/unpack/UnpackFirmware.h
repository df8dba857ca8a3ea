#pragma once

#include <string>

#include "common/Output.h"

namespace imgweld {

// The "-U" command: verifies the tagged image at `imagePath` against its hash
// file (unless `verify` is false) and splits it into `outputDir`: one file
// per partition, the two boot programs, and "setting.ini".
bool UnpackFirmware(const std::string& imagePath, const std::string& outputDir, bool verify,
                    Output& out);

}  // namespace imgweld
