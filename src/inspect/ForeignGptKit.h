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

// Whether no failed check of the image keeps its kit from rebuilding it.
// On the packer's images nearly every failed check does: its layout takes
// the header's fields on trust. Only what the packer itself writes, or bytes
// after the image's end, are left to the comparison with the rebuilt image.
// On a disk of another tool the kit carries only the partitions, their
// entries and the disk GUID of the table in use, so damage to what the
// packer writes afresh (the MBR's fields, the backup GPT, the disk's size,
// a primary GPT the backup stands in for) is no reason to refuse it. False,
// after one line naming the first check that refuses it.
bool KitSurvivesChecks(const GptImageFacts& facts, const std::string& where, Output& out);

// Whether the planned image has the image's partition entries, disk GUID and
// partitions' bytes. One line on standard error either way: that the bytes
// outside the partitions are not rebuilt, or the first difference (false).
bool CompareForeignGpt(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                       uint8_t fillByte, const std::string& where, Output& out);

}  // namespace imgweld
