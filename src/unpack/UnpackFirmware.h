#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/AtomicFile.h"
#include "common/Directory.h"
#include "common/File.h"
#include "common/Output.h"
#include "image/BootBlock.h"

namespace imgweld {

// The "-U" command: verifies the tagged image at `imagePath` against its hash
// file (unless `verify` is false) and splits it into `outputDir`: one file
// per partition, the two boot programs, and "setting.ini". Output files are
// created inside `outputDir` only; the working directory is left alone.
bool UnpackFirmware(const std::string& imagePath, const std::string& outputDir, bool verify,
                    Output& out);

// Where a payload lies in the image (the image model's extent).
using PayloadSpan = PayloadExtent;

// Copies the payload into the file `fileName` of `outputDir`. Prints "Saving
// <fileName>..." first; refuses a payload that does not lie wholly inside
// the first `imageLength` bytes of the image (and below 4 GiB) before
// creating the file, and reports every failed read, write and close. The
// file is written under a temporary name and renamed over `fileName` when
// complete: a link under that name is replaced, never written through, and
// a failure leaves the name as it was. With `pending`, the complete file is
// handed over there instead of being renamed, for the caller to commit.
bool SavePartitionFile(const Directory& outputDir, const std::string& fileName,
                       const PayloadSpan& span, File& image, uint64_t imageLength, Output& out,
                       std::unique_ptr<AtomicFile>* pending = nullptr);

// The check that stands in for changing into the output directory: the path
// (ending in "/") must name a directory that could be entered.
bool CheckOutputDirectory(const std::string& outputDir, Output& out);

}  // namespace imgweld
