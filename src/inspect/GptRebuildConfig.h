#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/ConfigDocument.h"
#include "image/GptRecords.h"

#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/Kit.h"

namespace imgweld {

// The names a partition-table kit gives: the file of partition `number`
// is "<name>.img" as -U names a partition's file, numbered ".2", ".3", ...
// when a name comes again (letter case aside, as -U counts it), and
// "partition<number>.img" for a name that is no plain file name; type GUIDs
// are keys type1, type2, ... of the PARTITION_TYPE_GUID section in the
// order they first appear. A boot program's file is numbered the same way
// for a later boot block.
class GptKitNames {
 public:
  std::string FileOf(const std::string& name, size_t number);
  std::string Take(const std::string& base);
  std::string TypeKeyOf(const Guid& guid, ConfigDocument& document);

 private:
  std::set<std::string> files_;
  std::map<Guid, std::string> typeKeys_;
};

// Works out the kit of a partition-table image the packer made: the GPT
// gives every partition's sectors, name and GUIDs and the length of its
// payload; what the table does not keep (which partitions were filled or
// skipped, the fill byte, the boot block's settings) is read from the
// partitions' bytes. The configuration carries Gpt_Enable,
// Backup_Partition_Enable, the PARTITION_TYPE_GUID section, Disk_Guid and
// every Unique_Guid. False, after one line on standard error
// ("<where>: ..."), when the image is damaged or holds what no
// configuration can say; nothing is to be written then.
bool BuildGptKit(ImageSource& source, const GptImageFacts& facts, const std::string& where,
                 Output& out, Kit& kit);

}  // namespace imgweld
