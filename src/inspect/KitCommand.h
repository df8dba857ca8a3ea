#pragma once

#include <string>

#include "common/Output.h"

namespace imgweld {

// The "-X" command: takes the image at `imagePath` apart into the existing
// directory `outputDir`, as "-U" does, with a setting.ini that packs the
// same image again, byte for byte, with no environment. The configuration is
// planned by the packer in memory and compared with the image before it is
// written. Progress and detail go to standard error; standard output names
// each file written, one a line. False (the command exits 4) when it
// fails, also when the files are written but the image cannot be rebuilt
// exactly. A tagged image is first verified against the hash file beside it,
// as "-U" verifies it, unless `verify` is false ("offcheck"); without a hash
// file the kit is made all the same.
bool ExtractKit(const std::string& imagePath, const std::string& outputDir, bool verify,
                Output& out);

}  // namespace imgweld
