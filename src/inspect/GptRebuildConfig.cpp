#include "inspect/GptRebuildConfig.h"

#include "config/IniWriter.h"
#include "image/BootBlock.h"
#include "image/gpt/GptLayout.h"
#include "inspect/ForeignGptKit.h"
#include "inspect/RebuildConfig.h"
#include "unpack/OutputNames.h"

namespace imgweld {
namespace {

// The kit's files of one partition, named as -U names them, and its File
// value: nothing for a filled or skipped partition. `nano` tells which
// names a boot block's programs take.
std::string NamePartitionFiles(const GptLayoutPartition& partition, bool nano, GptKitNames& names,
                               std::vector<KitFile>& files) {
  if (partition.content == GptContent::kPayload) {
    const std::string file = names.FileOf(partition.name, partition.entry + 1);
    files.push_back({file, partition.data[0], false, partition.places[0]});
    return file;
  }
  if (partition.content != GptContent::kBootBlock) return "";
  const BootFileNames programs = BootProgramFileNames(nano);
  const std::string ddr = names.Take(programs.ddr);
  const std::string loader = names.Take(programs.loader);
  files.push_back({ddr, partition.data[0], true, partition.places[0]});
  files.push_back({loader, partition.data[1], true, partition.places[1]});
  return ddr + "," + loader;
}

}  // namespace

std::string GptKitNames::FileOf(const std::string& name, size_t number) {
  return Take(IsPlainFileName(name) ? name + ".img"
                                    : "partition" + std::to_string(number) + ".img");
}

std::string GptKitNames::Take(const std::string& base) {
  std::string file = base;
  for (int n = 2; files_.count(CaseFolded(file)) != 0; ++n) file = base + "." + std::to_string(n);
  files_.insert(CaseFolded(file));
  return file;
}

bool BuildGptKit(ImageSource& source, const GptImageFacts& facts, const std::string& where,
                 Output& out, Kit& kit) {
  if (!CanTakeGptApart(facts, where, out)) return false;
  // A damaged image of the packer's is refused before its layout is read:
  // the layout takes the header's fields on trust, and would name files
  // for payloads that do not lie in the image. A disk of
  // another tool is refused first for what its layout cannot say, which
  // names the entry at fault.
  const bool packer = facts.PackerLayout();
  if (packer && !KitSurvivesChecks(facts, where, out)) return false;
  GptLayout layout;
  std::string why;
  if (!ReadGptLayout(source, facts, layout, why)) {
    return RebuildReport{out, where, kCannotBeTakenApart}.Fail(why);
  }
  if (!packer && !KitSurvivesChecks(facts, where, out)) return false;
  kit = Kit{};
  GptKitNames names;
  std::vector<std::string> fileValues;
  const bool nano = layout.boot && layout.boot->nano;
  for (const GptLayoutPartition& partition : layout.partitions) {
    fileValues.push_back(NamePartitionFiles(partition, nano, names, kit.files));
  }
  kit.form = KitForm::kPartitionTable;
  kit.config = GptLayoutConfig(layout, fileValues);
  kit.fillByte = layout.fillByte;
  kit.foreign = layout.foreign;
  return true;
}

}  // namespace imgweld
