#include "config/ConfigKeys.h"

#include <array>
#include <cerrno>
#include <cstdlib>

namespace imgweld {
namespace {

using enum KeySection;
using enum KeyKind;

constexpr std::array kKeys = {
    ConfigKey{kSystem, key::kFwVersion, kVersion, "", false},
    ConfigKey{kSystem, key::kChip, kText, "", false},
    ConfigKey{kSystem, key::kModel, kText, "", false},
    ConfigKey{kSystem, key::kGptEnable, kSwitch, "", false},
    ConfigKey{kSystem, key::kBackupPartitionEnable, kSwitch, "", false},
    ConfigKey{kSystem, key::kNano, kSwitch, "", false},
    ConfigKey{kSystem, key::kBlankGap, kSwitch, "", false},
    ConfigKey{kSystem, key::kFillByte, kNumber, "0", false},
    ConfigKey{kSystem, key::kLoaderEncrypt, kNumber, "1", false},
    ConfigKey{kSystem, key::kIdbBootEncrypt, kNumber, "1", false},
    ConfigKey{kSystem, key::kLoaderScrambled, kSwitch, "", true},
    ConfigKey{kSystem, key::kDiskGuid, kGuid, "", true},
    ConfigKey{kSystem, key::kDate, kText, "", true},
    ConfigKey{kPartition, key::kName, kText, "", false},
    ConfigKey{kPartition, key::kType, kNumber, "0", false},
    ConfigKey{kPartition, key::kFlag, kNumber, "0", false},
    ConfigKey{kPartition, key::kPartOffset, kNumber, "0", false},
    ConfigKey{kPartition, key::kPartSize, kNumber, "0", false},
    ConfigKey{kPartition, key::kFile, kText, "", false},
    ConfigKey{kPartition, key::kTypeGuid, kGuid, "", false},
    ConfigKey{kPartition, key::kUniqueGuid, kGuid, "", true},
    // A 64-bit number, read whole by ParseAttributes, not as the 32-bit
    // partition numbers are read.
    ConfigKey{kPartition, key::kAttributes, kText, "0", true},
};

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::span<const ConfigKey> ConfigKeys() { return kKeys; }

const ConfigKey* FindConfigKey(KeySection section, std::string_view name) {
  for (const ConfigKey& k : kKeys) {
    if (k.section == section && SameName(k.name, name)) return &k;
  }
  return nullptr;
}

std::string PartitionSectionName(size_t number) {
  return std::string("UserPart").append(std::to_string(number));
}

uint32_t ParseConfigNumber(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

size_t ConfigNumberLength(const std::string& text) {
  char* end = nullptr;
  std::strtoul(text.c_str(), &end, 0);
  return static_cast<size_t>(end - text.c_str());
}

bool ConfigNumberFits32(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t\n\v\f\r");
  if (start == std::string::npos || text[start] == '-') return true;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 0);
  return errno != ERANGE && value <= 0xFFFFFFFFull;
}

std::optional<int32_t> ParseSystemNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'b' || text[i + 1] == 'B')) {
    return std::nullopt;
  }
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(begin, &end, 0);
  if (end == begin || *end != '\0' || static_cast<size_t>(end - begin) != text.size()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(number)));
}

std::optional<uint64_t> ParseAttributes(const std::string& text) {
  if (text.empty()) return 0;
  // strtoull takes leading blanks and a minus sign (negating the value);
  // an attributes value is the number alone.
  const char first = text[0];
  if (!((first >= '0' && first <= '9'))) return std::nullopt;
  if (text.size() > 1 && first == '0' && (text[1] == 'b' || text[1] == 'B')) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno == ERANGE || *end != '\0' || static_cast<size_t>(end - text.c_str()) != text.size()) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(value);
}

long ParseVersionPiece(const std::string& piece) { return std::strtol(piece.c_str(), nullptr, 10); }

}  // namespace imgweld
