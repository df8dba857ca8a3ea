#include "config/IniWriter.h"

#include <cstdio>
#include <sstream>

#include "config/ConfigKeys.h"

namespace imgweld {
namespace {

std::string Formatted(uint32_t value, const char* format) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

void WriteSystemValue(ConfigDocument& document, std::string_view key, std::string value) {
  document.GetOrAddSection(key::kSystem)->SetValue(key, std::move(value));
}

void WritePartitionSection(ConfigDocument& document, size_t number,
                           const PartitionSettings& partition) {
  ConfigSection& section = *document.GetOrAddSection(PartitionSectionName(number));
  section.SetValue(key::kName, partition.name);
  section.SetValue(key::kType, Formatted(partition.type, "0x%X"));
  section.SetValue(key::kPartOffset, Formatted(partition.offset, "0x%X"));
  section.SetValue(key::kPartSize, partition.size ? Formatted(*partition.size, "0x%X") : "");
  section.SetValue(key::kFlag, partition.flagFormat == FlagFormat::kHex
                                   ? Formatted(partition.flag, "0x%x")
                                   : std::to_string(static_cast<int>(partition.flag)));
  section.SetValue(key::kFile, partition.file);
  if (!partition.typeGuid.empty()) section.SetValue(key::kTypeGuid, partition.typeGuid);
  if (!partition.uniqueGuid.empty()) section.SetValue(key::kUniqueGuid, partition.uniqueGuid);
  if (partition.attributes != 0) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX",
                  static_cast<unsigned long long>(partition.attributes));
    section.SetValue(key::kAttributes, text);
  }
}

void WriteTypeGuid(ConfigDocument& document, std::string_view name, std::string guid) {
  document.GetOrAddSection(key::kTypeGuidSection)->SetValue(name, std::move(guid));
}

std::string IniText(const ConfigDocument& document, std::span<const std::string> comments) {
  std::ostringstream text;
  for (const std::string& line : comments) text << "# " << line << "\n";
  document.WriteInCreationOrder(text);
  return text.str();
}

bool IniCanCarry(std::string_view value) {
  if (value.find_first_of(std::string_view("#\n\0", 3)) != std::string_view::npos) return false;
  if (!value.empty() && std::string_view(" \t\r").find(value.back()) != std::string_view::npos) {
    return false;
  }
  const size_t open = value.find('[');
  const size_t close = value.rfind(']');
  return open == std::string_view::npos || close == std::string_view::npos || close < open;
}

}  // namespace imgweld
