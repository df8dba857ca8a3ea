#pragma once

#include <cstdint>
#include <functional>
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

// What a rebuild kit ("-X") changes in an unpack run: the digest is verified
// as -U verifies it only when `verify` is set and the hash file is there (a
// missing one is noted and the run goes on: the kit is checked against the
// image itself), every file written is named on `fileList`, one line each,
// and setting.ini holds what `rebuildConfig` makes of the image, a
// configuration that packs it again.
// When that fails (`rebuildConfig` has said why on standard error),
// setting.ini holds the configuration "-U" writes and the run fails, its
// files written.
struct KitHooks {
  bool verify = true;
  Output* fileList = nullptr;
  std::function<bool(ImageSource&, const TaggedImageFacts&, std::string& config)> rebuildConfig;
};

bool UnpackFirmware(const std::string& imagePath, const std::string& outputDir, const KitHooks& kit,
                    Output& out);

}  // namespace imgweld
