#include "inspect/ListingSupport.h"

#include <algorithm>
#include <cstring>

#include "common/Output.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
// Key and value blocks of one listing line up under each other.
constexpr size_t kLabelWidth = 15;

}  // namespace

std::string Hex(uint64_t value) { return Format("0x%llx", Ull(value)); }

std::string FieldText(std::span<const uint8_t> field) {
  const auto* begin = reinterpret_cast<const char*>(field.data());
  return std::string(begin, strnlen(begin, field.size()));
}

std::string DateText(const FirmwareHeader& h) {
  return Format("%04u-%02u-%02u %02u:%02u:%02u", h.year, h.month, h.day, h.hour, h.minute,
                h.second);
}

std::string FlagsText(uint32_t flag) {
  std::string text;
  const auto add = [&](const std::string& word) { text += (text.empty() ? "" : "|") + word; };
  if ((flag & PART_FLAG_SKIP) != 0) add("skip");
  if ((flag & PART_FLAG_FILL) != 0) add("fill");
  if ((flag & PART_FLAG_GROW) != 0) add("grow");
  const uint32_t other = flag & ~(PART_FLAG_SKIP | PART_FLAG_FILL | PART_FLAG_GROW);
  if (other != 0) add(Hex(other));
  return text.empty() ? "-" : text;
}

Json FlagsJson(uint32_t flag) {
  Json names = Json::Array();
  if ((flag & PART_FLAG_SKIP) != 0) names.Push("skip");
  if ((flag & PART_FLAG_FILL) != 0) names.Push("fill");
  if ((flag & PART_FLAG_GROW) != 0) names.Push("grow");
  return names;
}

std::string Sectors(uint64_t first, uint64_t bytes) {
  const uint64_t count = std::max<uint64_t>(1, (bytes + kSector - 1) / kSector);
  return Format("sectors %s-%s", Hex(first).c_str(), Hex(first + count - 1).c_str());
}

std::string OkWord(bool ok) { return ok ? "ok" : "bad"; }

TextColumns Block() {
  TextColumns block;
  block.MinWidth(0, kLabelWidth);
  return block;
}

std::string TypeGuidText(const PartitionEntry& entry) {
  if (entry.type == PART_TYPE_IDBLOCK) return {};
  return FieldText(entry.typeGuid);
}

}  // namespace imgweld
