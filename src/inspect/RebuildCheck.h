#pragma once

#include <string>

#include "image/ImageReader.h"
#include "image/ImageSource.h"

namespace imgweld {

// The promise of a rebuild configuration, kept: `config` (the text "-L ini"
// prints, its first line naming SOURCE_DATE_EPOCH) is parsed and planned by
// the packer's own planner, in memory and writing nothing, with the files
// "-U" extracts from the image as its inputs, and the planned image is
// compared with the image, length and every byte. False, with `difference`
// naming the first byte that differs and what each side holds there (or why
// the packer refuses the configuration), when they are not the same.
bool CheckRebuild(ImageSource& source, const TaggedImageFacts& facts, const std::string& config,
                  std::string& difference);

}  // namespace imgweld
