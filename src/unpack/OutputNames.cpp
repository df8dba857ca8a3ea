#include "unpack/OutputNames.h"

#include <map>
#include <optional>
#include <set>

#include "config/ConfigKeys.h"
#include "image/BootBlock.h"

namespace imgweld {
namespace {

struct BootFiles {
  std::string ddr;
  std::string loader;
};

BootFiles BootFilesFor(bool nano) {
  const BootFileNames names = BootProgramFileNames(nano);
  return {names.ddr, names.loader};
}

// Hands out file names: the first use of a name gets it as it is, every
// later one "<name>.<n>" with n counting the uses. Names that differ in the
// case of ASCII letters alone count as one name, since a case-folding file
// system (exFAT, vfat, ext4 casefold) holds them as one file. Numbered names
// end in a digit, which no plain output name does, so they meet nothing else.
class FileNamer {
 public:
  std::string Take(const std::string& name) {
    taken_.insert(name);
    const size_t use = ++uses_[CaseFolded(name)];
    return use == 1 ? name : name + "." + std::to_string(use);
  }
  // Whether `name` itself, letter case and all, was taken before.
  bool Taken(const std::string& name) const { return taken_.count(name) != 0; }

 private:
  std::map<std::string, size_t> uses_;
  std::set<std::string> taken_;
};

// The boot block record whose programs the image holds: the first with
// program lengths, else the first boot block record at all.
std::optional<size_t> HeldBootBlock(std::span<const RecordFacts> records) {
  std::optional<size_t> first;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].type != PART_TYPE_IDBLOCK) continue;
    if (records[i].hasPrograms) return i;
    if (!first) first = i;
  }
  return first;
}

void DecideBootBlock(const RecordFacts& facts, size_t index, bool held, const std::string& nano,
                     FileNamer& namer, OutputNames& names) {
  RecordOutput& output = names.records[index];
  const BootFiles standard = BootFilesFor(facts.nano);
  output.inSettings = true;
  output.nano = nano;
  if (!held && !facts.hasPrograms) {
    // The setting.ini section stays as it always was, so packing it lays
    // out the same partition; the tagged image builds it no programs anyway.
    output.settingsFile = standard.ddr + "," + standard.loader;
    names.notes.push_back(
        {index,
         "the tagged image holds no boot programs for a boot block partition after the first; "
         "-U writes no boot files for it"});
    return;
  }
  output.files = {namer.Take(standard.ddr), namer.Take(standard.loader)};
  output.settingsFile = output.files[0] + "," + output.files[1];
  if (!held) {
    names.notes.push_back({index, "a second boot block with programs; -U writes them as " +
                                      output.files[0] + " and " + output.files[1] +
                                      ", and packing builds only the first boot block"});
  }
}

void DecidePartition(const RecordFacts& facts, size_t index, FileNamer& namer, OutputNames& names) {
  RecordOutput& output = names.records[index];
  const bool vendor = facts.type == PART_TYPE_VENDOR;
  if (vendor && !facts.holdsData) return;  // the vendor area: nothing to extract
  const std::string plain = facts.name + ".img";
  const bool sameName = namer.Taken(plain);
  const std::string file = namer.Take(plain);
  output.files = {file};
  if (file != plain && sameName) {
    names.notes.push_back({index, "the partition name " + facts.name +
                                      " is used by an earlier partition; -U writes this one's "
                                      "data as " +
                                      file});
  } else if (file != plain) {
    names.notes.push_back(
        {index, "the partition name " + facts.name +
                    " differs from an earlier partition's in letter case alone, which a "
                    "case-folding file system does not tell apart; -U writes this one's data as " +
                    file});
  }
  if (vendor) {
    names.notes.push_back(
        {index,
         "a vendor-type partition (Type 1) with data; -U writes it as " + file +
             ", but setting.ini leaves vendor-type partitions out, so packing that file "
             "does not write it back; imgweld -L <image> ini lists a configuration that does"});
    return;
  }
  output.inSettings = true;
  output.settingsFile = file;
}

}  // namespace

std::string CaseFolded(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

RecordFacts FactsOf(const PartitionEntry& entry) {
  RecordFacts facts;
  facts.name = entry.Name();
  facts.type = entry.type;
  facts.holdsData = HoldsPayload(entry);
  if (entry.type == PART_TYPE_IDBLOCK) {
    const BootFields fields = GetBootFields(entry);
    facts.hasPrograms = fields.firstFileLength != 0 || fields.secondFileLength != 0;
    facts.nano = IsNanoLayout(fields);
  }
  return facts;
}

OutputNames DecideOutputNames(std::span<const RecordFacts> records) {
  OutputNames names;
  names.records.resize(records.size());
  const std::optional<size_t> held = HeldBootBlock(records);
  const std::string nano = held && records[*held].nano ? "1" : "";
  FileNamer namer;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].type == PART_TYPE_IDBLOCK) {
      DecideBootBlock(records[i], i, held == i, nano, namer, names);
    } else {
      DecidePartition(records[i], i, namer, names);
    }
  }
  return names;
}

bool GetsOutput(const PartitionEntry& entry) {
  // The same rule by which -V fails a name no file can take.
  return entry.type == PART_TYPE_IDBLOCK || ExtractsToNamedFile(entry);
}

TableExtraction PlanExtraction(std::span<const TaggedRecord> records) {
  TableExtraction plan;
  std::vector<RecordFacts> facts;
  for (const TaggedRecord& record : records) {
    if (!GetsOutput(record.entry)) continue;
    facts.push_back(FactsOf(record.entry));
    plan.records.push_back({&record, {}, {}});
  }
  OutputNames names = DecideOutputNames(facts);
  for (size_t i = 0; i < plan.records.size(); ++i) {
    RecordExtraction& extraction = plan.records[i];
    extraction.output = std::move(names.records[i]);
    const TaggedRecord& record = *extraction.record;
    for (size_t k = 0; k < extraction.output.files.size() && k < record.places.size(); ++k) {
      extraction.files.push_back({extraction.output.files[k], record.extents[k], record.places[k]});
    }
  }
  plan.notes = std::move(names.notes);
  return plan;
}

void ApplyOutputNames(ConfigDocument& document, uint32_t number, const RecordOutput& output,
                      uint32_t type) {
  if (!output.inSettings) return;
  document.SetValue(PartitionSectionName(number), key::kFile, output.settingsFile);
  if (type == PART_TYPE_IDBLOCK) document.SetValue(key::kSystem, key::kNano, output.nano);
}

}  // namespace imgweld
