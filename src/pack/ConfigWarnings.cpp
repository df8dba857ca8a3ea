#include "pack/ConfigWarnings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "config/ConfigKeys.h"
#include "image/ImageReader.h"
#include "image/gpt/GptLayout.h"
#include "pack/PartitionList.h"

namespace imgweld {
namespace {

// Names of the table's keys of one section, in the table's order; only those
// of one kind when `kind` is given.
std::vector<std::string> KeyNames(KeySection section, std::optional<KeyKind> kind = std::nullopt) {
  std::vector<std::string> names;
  for (const ConfigKey& k : ConfigKeys()) {
    if (k.section == section && (!kind || k.kind == *kind)) names.emplace_back(k.name);
  }
  return names;
}

const std::vector<std::string> kSystemKeys = KeyNames(KeySection::kSystem);
const std::vector<std::string> kPartitionKeys = KeyNames(KeySection::kPartition);
const std::vector<std::string> kSwitchKeys = KeyNames(KeySection::kSystem, KeyKind::kSwitch);
const std::vector<std::string> kSystemNumberKeys = KeyNames(KeySection::kSystem, KeyKind::kNumber);
const std::vector<std::string> kPartitionNumberKeys =
    KeyNames(KeySection::kPartition, KeyKind::kNumber);

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The number of the partition section "UserPart<n>", or 0 for any other name.
size_t PartitionNumber(const std::string& name) {
  static const std::string kPrefix = "userpart";
  const std::string lower = Lower(name);
  if (lower.rfind(kPrefix, 0) != 0 || lower.size() == kPrefix.size()) return 0;
  const std::string digits = lower.substr(kPrefix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  return digits.size() > 4 ? 0 : static_cast<size_t>(std::stoul(digits));
}

bool IsKnown(const std::string& name, const std::vector<std::string>& known) {
  const std::string lower = Lower(name);
  return std::any_of(known.begin(), known.end(),
                     [&](const std::string& k) { return Lower(k) == lower; });
}

class Warner {
 public:
  Warner(const std::string& configPath, Output& out) : path_(configPath), out_(out) {}

  template <typename... Args>
  void Warn(const std::string& where, const char* format, Args... args) {
    const std::string what = Format(format, args...);
    out_.Note(path_ + ": " + where, what);
    if (!first_) first_ = path_ + ": " + where + ": " + what;
  }

  // The first warning as "<config>: <where>: <what>", for a strict run to refuse.
  const std::optional<std::string>& First() const { return first_; }

 private:
  const std::string& path_;
  Output& out_;
  std::optional<std::string> first_;
};

std::string At(const ConfigSection& section, const ConfigEntry* entry = nullptr) {
  std::string where = std::string("[").append(section.Name()).append("]");
  if (entry != nullptr) where.append(" ").append(entry->Name()).append("=").append(entry->Value());
  return where;
}

void WarnUnknownKeys(const ConfigSection& section, const std::vector<std::string>& known,
                     Warner& warner) {
  for (const auto& [key, entry] : section.Entries()) {
    if (IsKnown(entry->Name(), known)) continue;
    const std::string nearest = NearestName(entry->Name(), known);
    if (nearest.empty()) {
      warner.Warn(At(section), "unknown key \"%s\" is ignored", entry->Name().c_str());
    } else {
      warner.Warn(At(section), "unknown key \"%s\" is ignored; did you mean \"%s\"?",
                  entry->Name().c_str(), nearest.c_str());
    }
  }
}

// Sections the packer never reads: unknown names and partition sections
// after a gap in the numbering.
void WarnAboutSections(const ConfigDocument& document, Warner& warner) {
  size_t listed = 0;
  while (document.FindSection(PartitionSectionName(listed + 1)) != nullptr &&
         listed < kMaxPartitionSections) {
    ++listed;
  }
  for (const auto& [key, section] : document.Sections()) {
    const std::string& name = section->Name();
    const size_t number = PartitionNumber(name);
    if (number > listed) {
      warner.Warn(At(*section), "ignored: partition sections end at [UserPart%zu]", listed);
    } else if (number == 0 &&
               !IsKnown(name, {std::string(key::kSystem), std::string(key::kTypeGuidSection)})) {
      const std::string nearest =
          NearestName(name, {std::string(key::kSystem), std::string(key::kTypeGuidSection),
                             PartitionSectionName(listed + 1)});
      warner.Warn(At(*section), "unknown section is ignored%s%s%s",
                  nearest.empty() ? "" : "; did you mean [", nearest.c_str(),
                  nearest.empty() ? "" : "]?");
    }
  }
}

// strtoul's reading stops at the first character that is not part of the
// number; what follows it is silently dropped.
void WarnTrailingText(const ConfigSection& section, const std::string& key, Warner& warner) {
  const ConfigEntry* entry = section.FindEntry(key);
  if (entry == nullptr || entry->Value().empty()) return;
  const std::string value = entry->Value();
  const size_t length = ConfigNumberLength(value);
  if (length == value.size()) return;
  const std::string used = value.substr(0, length);
  if (used.find_first_of("0123456789") == std::string::npos) {
    warner.Warn(At(section, entry), "not a number, read as 0");
  } else {
    warner.Warn(At(section, entry), "only \"%s\" is used, \"%s\" after it is ignored", used.c_str(),
                value.c_str() + length);
  }
}

// Only the first 31 characters of a name are kept: the field ends in a NUL.
constexpr size_t kMaxNameLength = sizeof(PartitionEntry::name) - 1;

// Whether a System number's value fits the byte that is taken of it, read
// as a signed or an unsigned byte (-1 is 0xFF); beyond, the packer cuts it.
bool SystemNumberFitsByte(const std::string& text) {
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 0);
  return errno != ERANGE && value >= -128 && value <= 255;
}

void WarnSystemValues(const ConfigSection& system, Warner& warner) {
  for (const std::string& key : kSwitchKeys) {
    const ConfigEntry* entry = system.FindEntry(key);
    if (entry == nullptr) continue;
    const std::string value = entry->Value();
    const size_t first = value.find_first_not_of(" \t");
    const size_t last = value.find_last_not_of(" \t");
    if (first == std::string::npos || value == value.substr(first, last - first + 1)) continue;
    const std::string bare = value.substr(first, last - first + 1);
    if (bare == "0" || bare == "1") {
      warner.Warn(At(system, entry), "the blanks around \"%s\" make it count as not set",
                  bare.c_str());
    }
  }
  for (const std::string& key : kSystemNumberKeys) {
    const ConfigEntry* entry = system.FindEntry(key);
    if (entry == nullptr || entry->Value().empty()) continue;
    const std::optional<int32_t> number = ParseSystemNumber(entry->Value());
    if (!number) {
      warner.Warn(At(system, entry), "not a whole number, the default is used");
    } else if (!SystemNumberFitsByte(entry->Value())) {
      warner.Warn(At(system, entry), "only the low 8 bits count, so it is read as 0x%02x",
                  static_cast<unsigned>(static_cast<uint8_t>(*number)));
    }
  }
}

// Text keys whose value is cut to the field that holds it.
void WarnCutText(const ConfigSection& section, std::string_view key, size_t kept, Warner& warner) {
  const ConfigEntry* entry = section.FindEntry(key);
  if (entry == nullptr || entry->Value().size() <= kept) return;
  warner.Warn(At(section, entry), "longer than %zu characters, cut to \"%s\"", kept,
              entry->Value().substr(0, kept).c_str());
}

// A negative partition number keeps its C conversion (-1 is 0xFFFFFFFF),
// but one beyond 32 bits loses its high bits on the way.
void WarnCutPartitionNumber(const ConfigSection& section, std::string_view key, Warner& warner) {
  const ConfigEntry* entry = section.FindEntry(key);
  if (entry == nullptr) return;
  const std::string& value = entry->Value();
  const size_t sign = value.find_first_not_of(" \t\n\v\f\r");
  if (sign == std::string::npos || value[sign] != '-') return;  // a positive one must fit
  errno = 0;
  const unsigned long long magnitude = std::strtoull(value.c_str() + sign + 1, nullptr, 0);
  if (errno != ERANGE && magnitude <= 0xFFFFFFFFull) return;
  warner.Warn(At(section, entry), "wider than 32 bits, cut to 0x%x",
              ParseConfigNumber(entry->Value()));
}

void WarnFwVersion(const ConfigSection& system, Warner& warner) {
  const ConfigEntry* entry = system.FindEntry(key::kFwVersion);
  if (entry == nullptr) return;
  const std::vector<std::string> pieces = SplitText(entry->Value(), ".");
  static constexpr unsigned long kLimits[] = {0xFF, 0xFF, 0xFFFF};
  for (size_t i = 0; i < pieces.size() && i < 3; ++i) {
    const std::string& piece = pieces[i];
    const bool plain =
        !piece.empty() && piece.size() <= 9 &&
        std::all_of(piece.begin(), piece.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!plain) {
      warner.Warn(At(system, entry), "piece \"%s\" is not a plain decimal number, read as %ld",
                  piece.c_str(), ParseVersionPiece(piece));
    } else if (static_cast<unsigned long>(ParseVersionPiece(piece)) > kLimits[i]) {
      warner.Warn(At(system, entry), "piece %s exceeds %lu and spills into its neighbour",
                  piece.c_str(), kLimits[i]);
    }
  }
}

// The padded image's disk ends with its last partition, unless that one
// grows: the last usable sector is the last partition's last, so a
// partition listed before it that ends further lies outside the usable
// sectors, and every GPT tool, -V included, finds the image damaged.
void WarnPastLastPartition(const ConfigDocument& document, const ConfigSection& last,
                           Warner& warner) {
  const auto end = [](const ConfigSection& section) {
    return uint64_t{ParseConfigNumber(section.GetValue(key::kPartOffset))} +
           ParseConfigNumber(section.GetValue(key::kPartSize));
  };
  const uint64_t diskEnd = end(last);
  for (size_t n = 1; n <= kMaxPartitionSections; ++n) {
    const ConfigSection* section = document.FindSection(PartitionSectionName(n));
    if (section == nullptr || section == &last) break;
    if (end(*section) > diskEnd) {
      warner.Warn(At(*section),
                  "ends at sector 0x%llx, past the end of the last partition listed (0x%llx), "
                  "where the disk's usable sectors end, so GPT tools find it outside the disk",
                  static_cast<unsigned long long>(end(*section)),
                  static_cast<unsigned long long>(diskEnd));
    }
  }
}

// A partition section as the padded layout places its table entry.
GptLayoutPartition EntryOf(const ConfigSection& section) {
  GptLayoutPartition p;
  p.type = ParseConfigNumber(section.GetValue(key::kType));
  p.flag = ParseConfigNumber(section.GetValue(key::kFlag));
  p.offset = ParseConfigNumber(section.GetValue(key::kPartOffset));
  p.size = ParseConfigNumber(section.GetValue(key::kPartSize));
  if (p.type == PART_TYPE_IDBLOCK) p.offset = GptBootBlockOffset(p.offset);
  return p;
}

bool IsSkipped(const GptLayoutPartition& p) {
  return p.type != PART_TYPE_IDBLOCK &&
         (p.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) == PART_FLAG_SKIP;
}

// Packing refuses partitions whose data would meet, but the table entries
// claim more than the data takes: a skipped partition writes nothing, and
// the entry of a growing last one reaches the last usable sector. Every
// GPT tool, -V included, finds a table whose entries overlap damaged.
void WarnOverlappingEntries(std::span<const ConfigSection* const> sections, Warner& warner) {
  GptLayout layout;
  for (const ConfigSection* section : sections) layout.partitions.push_back(EntryOf(*section));
  const std::vector<GptLayoutPartition>& partitions = layout.partitions;
  const uint64_t diskEnd = GptDiskEnd(layout);
  std::vector<std::optional<SectorExtent>> claimed;
  for (size_t i = 0; i < partitions.size(); ++i) {
    const SectorExtent lbas = GptEntryLbas(partitions[i], i + 1 == partitions.size(), diskEnd);
    claimed.push_back(lbas.last < lbas.first ? std::nullopt : std::optional(lbas));
  }
  const auto claimsMore = [&](size_t i) {
    const bool growingLast =
        i + 1 == partitions.size() && (partitions[i].flag & PART_FLAG_GROW) != 0;
    return IsSkipped(partitions[i]) || growingLast;
  };
  std::vector<LayoutProblem> overlaps;
  for (const LayoutProblem& problem : FindGptLayoutProblems(claimed)) {
    if (problem.rule != LayoutRule::kOverlap) continue;
    if (!claimsMore(problem.partition) && !claimsMore(problem.other)) continue;  // refused
    overlaps.push_back(problem);
  }
  // One line per entry, however many it meets.
  for (const FoldedProblem& folded : FoldOverlaps(overlaps)) {
    const LayoutProblem& problem = folded.problem;
    warner.Warn(At(*sections[problem.partition]),
                "its table entry, sectors 0x%llx-0x%llx, overlaps that of [%s], sectors "
                "0x%llx-0x%llx%s, so GPT tools find the partition table damaged",
                static_cast<unsigned long long>(problem.span.first),
                static_cast<unsigned long long>(problem.span.last),
                sections[problem.other]->Name().c_str(),
                static_cast<unsigned long long>(problem.area.first),
                static_cast<unsigned long long>(problem.area.last), folded.AndMore().c_str());
  }
}

void WarnPartitionTable(const ConfigDocument& document, const PackOptions& options,
                        Warner& warner) {
  if (!options.IsGpt()) return;
  const ConfigSection* guids = document.FindSection(key::kTypeGuidSection);
  const ConfigSection* last = nullptr;
  std::vector<const ConfigSection*> sections;
  for (size_t n = 1; n <= kMaxPartitionSections; ++n) {
    const ConfigSection* section = document.FindSection(PartitionSectionName(n));
    if (section == nullptr) break;
    last = section;
    sections.push_back(section);
    const ConfigEntry* typeGuid = section->FindEntry(key::kTypeGuid);
    if (typeGuid == nullptr || typeGuid->Value().empty()) continue;
    // The type GUID is looked up by the key's exact text.
    bool found = false;
    if (guids != nullptr) {
      for (const auto& [key, entry] : guids->Entries())
        found = found || entry->Name() == typeGuid->Value();
    }
    if (!found) {
      warner.Warn(At(*section, typeGuid),
                  "no such key in [PARTITION_TYPE_GUID], the type GUID is random");
    }
  }
  const bool grows =
      last != nullptr && (ParseConfigNumber(last->GetValue(key::kFlag)) & PART_FLAG_GROW) != 0;
  if (options.form == ImageForm::kGptPadded && options.backup && grows) {
    warner.Warn(At(*last),
                "the last partition grows, so the backup GPT follows its data instead "
                "of the disk's end, and disk tools reject the image");
  }
  if (options.form == ImageForm::kGptPadded && last != nullptr && !grows) {
    WarnPastLastPartition(document, *last, warner);
  }
  if (options.form == ImageForm::kGptPadded) WarnOverlappingEntries(sections, warner);
}

uint32_t NumberOf(const ConfigSection& section, std::string_view key) {
  return ParseConfigNumber(section.GetValue(key));
}

// Layouts that pack, but whose image unpacking cannot give back one file
// per payload under the partition's name: it would have to number a
// repeated name, the tagged image builds the boot block of the first
// boot block partition only, and the setting.ini unpacking writes leaves
// vendor-type partitions out. Unpacking takes tagged images only.
void WarnUnpackedOutputs(const ConfigDocument& document, const PackOptions& options,
                         Warner& warner) {
  if (options.IsGpt()) return;
  std::map<std::string, size_t> uses;
  const ConfigSection* firstBoot = nullptr;
  for (size_t n = 1; n <= kMaxPartitionSections; ++n) {
    const ConfigSection* section = document.FindSection(PartitionSectionName(n));
    if (section == nullptr) break;
    const uint32_t type = NumberOf(*section, key::kType);
    if (type == PART_TYPE_IDBLOCK) {
      if (firstBoot == nullptr) {
        firstBoot = section;
      } else {
        warner.Warn(At(*section),
                    "a second boot block partition (Type 2): the tagged image builds only the "
                    "boot block of [%s], so this one holds no programs and -U writes no boot "
                    "files for it",
                    firstBoot->Name().c_str());
      }
      continue;
    }
    const bool holdsData =
        (NumberOf(*section, key::kFlag) & (PART_FLAG_SKIP | PART_FLAG_FILL)) == 0 &&
        !section->GetValue(key::kFile).empty();
    if (type == PART_TYPE_VENDOR && !holdsData) continue;
    PartitionEntry entry;
    entry.SetName(section->GetValue(key::kName));
    if (!IsPlainFileName(entry.Name())) {
      warner.Warn(At(*section),
                  "partition name \"%s\" is no plain file name (empty, . or .., a / or \\, or "
                  "a control character): -U and -X refuse the image, and -V fails it",
                  Printable(entry.Name()).c_str());
    }
    const size_t use = ++uses[entry.Name()];
    if (use > 1) {
      warner.Warn(At(*section),
                  "partition name %s is used by an earlier partition; -U writes this one's data "
                  "as %s.img.%zu",
                  entry.Name().c_str(), entry.Name().c_str(), use);
    }
    if (type == PART_TYPE_VENDOR) {
      warner.Warn(At(*section),
                  "a vendor-type partition (Type 1) with a File: the image holds its data, but "
                  "the setting.ini -U writes leaves vendor-type partitions out, so packing that "
                  "file does not write it back");
    }
  }
}

}  // namespace

std::string NearestName(const std::string& name, const std::vector<std::string>& known) {
  const std::string lower = Lower(name);
  std::string best;
  size_t bestDistance = 0;
  for (const std::string& candidate : known) {
    const size_t distance = EditDistance(lower, Lower(candidate));
    if (best.empty() || distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  // Beyond a third of the name, a match is a guess rather than a typo.
  if (best.empty() || bestDistance == 0 || bestDistance > std::max<size_t>(2, best.size() / 3)) {
    return {};
  }
  return best;
}

std::optional<std::string> WarnAboutConfiguration(const ConfigDocument& document,
                                                  const PackOptions& options,
                                                  const std::string& configPath, Output& out) {
  Warner warner(configPath, out);
  WarnAboutSections(document, warner);
  if (const ConfigSection* system = document.FindSection(key::kSystem)) {
    WarnUnknownKeys(*system, kSystemKeys, warner);
    WarnSystemValues(*system, warner);
    WarnFwVersion(*system, warner);
    // The tagged header holds 4 bytes of chip and 32 of model.
    if (!options.IsGpt()) {
      WarnCutText(*system, key::kChip, 4, warner);
      WarnCutText(*system, key::kModel, 32, warner);
    }
  }
  for (size_t n = 1; n <= kMaxPartitionSections; ++n) {
    const ConfigSection* section = document.FindSection(PartitionSectionName(n));
    if (section == nullptr) break;
    WarnUnknownKeys(*section, kPartitionKeys, warner);
    WarnCutText(*section, key::kName, kMaxNameLength, warner);
    const ConfigEntry* attributes = section->FindEntry(key::kAttributes);
    if (!options.IsGpt() && attributes != nullptr && !attributes->Value().empty()) {
      warner.Warn(At(*section, attributes),
                  "the tagged image has no attributes field, so the key is ignored");
    }
    for (const std::string& key : kPartitionNumberKeys) {
      WarnTrailingText(*section, key, warner);
      WarnCutPartitionNumber(*section, key, warner);
    }
  }
  WarnPartitionTable(document, options, warner);
  WarnUnpackedOutputs(document, options, warner);
  return warner.First();
}

}  // namespace imgweld
