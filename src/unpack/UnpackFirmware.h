#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/AtomicFile.h"
#include "common/Directory.h"
#include "common/File.h"
#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "unpack/ExtractFile.h"

namespace imgweld {

// The "-U" command: verifies the tagged image at `imagePath` against its hash
// file (unless `verify` is false) and splits it into `outputDir`: one file
// per partition, the two boot programs, and "setting.ini". Output files are
// created inside `outputDir` only; the working directory is left alone.
bool UnpackFirmware(const std::string& imagePath, const std::string& outputDir, bool verify,
                    Output& out);

}  // namespace imgweld
