#pragma once

#include <cstdint>
#include <string>

#include "common/File.h"
#include "common/Output.h"

namespace imgweld {

// "-X" for a partition-table image the packer made: writes every
// partition's payload and the boot block's two programs into the existing
// directory `outputDir` (locked while it runs, each file complete or
// untouched, no link followed, holes kept) and a setting.ini that packs the
// same image again, checked first by the packer's planner against the
// image. Standard output (`fileList`) names each file written; progress and
// detail go to `out`. False when nothing could be written, or when the
// files are written but the image cannot be rebuilt exactly.
bool ExtractGptKit(const std::string& imagePath, File& image, uint64_t imageLength,
                   const std::string& outputDir, Output& fileList, Output& out);

}  // namespace imgweld
