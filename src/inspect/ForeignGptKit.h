#pragma once

#include <string>

#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/RebuildCheck.h"
#include "pack/ImagePlan.h"

namespace imgweld {

// Whether a kit can be made of a GPT disk at all: only from a table that
// passes its checksums (the backup when the primary does not), and only
// behind the protective MBR the packer writes.
// False, after one line naming why.
bool CanTakeGptApart(const GptImageFacts& facts, const std::string& where, Output& out);

// Whether the planned image has the image's partition entries, disk GUID and
// partitions' bytes. One line on standard error either way: that the bytes
// outside the partitions are not rebuilt, or the first difference (false).
bool CompareForeignGpt(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                       uint8_t fillByte, const std::string& where, Output& out);

}  // namespace imgweld
