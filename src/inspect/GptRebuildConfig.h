#pragma once

#include <cstddef>
#include <set>
#include <string>

#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/Kit.h"

namespace imgweld {

// The file names a partition-table kit gives: the file of partition
// `number` is "<name>.img" as -U names a partition's file, numbered ".2",
// ".3", ... when a name comes again (letter case aside, as -U counts it),
// and "partition<number>.img" for a name that is no plain file name. A boot
// program's file is numbered the same way for a later boot block.
class GptKitNames {
 public:
  std::string FileOf(const std::string& name, size_t number);
  std::string Take(const std::string& base);

 private:
  std::set<std::string> files_;
};

// Works out the kit of a partition-table image from its layout
// (ReadGptLayout): every payload or boot program as a file, and the
// configuration that packs them into the image again, carrying every GUID;
// for a disk of another tool, every partition's sectors as a file. False,
// after one line on standard error ("<where>: cannot be taken apart: ..."),
// when the image is damaged or holds what no configuration can say;
// nothing is to be written then.
bool BuildGptKit(ImageSource& source, const GptImageFacts& facts, const std::string& where,
                 Output& out, Kit& kit);

}  // namespace imgweld
