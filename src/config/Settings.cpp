#include "config/Settings.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "config/ConfigKeys.h"

namespace imgweld {
namespace {

std::optional<std::string> SystemValue(const ConfigDocument& document, std::string_view key) {
  const ConfigSection* system = document.FindSection(key::kSystem);
  if (system == nullptr) return std::nullopt;
  return system->GetValue(key);
}

bool IsExactlyOne(const ConfigDocument& document, std::string_view key) {
  return SystemValue(document, key).value_or("") == "1";
}

// Base 0 as C's strtol reads it: "0x"/"0X" hexadecimal, a leading "0" octal,
// else decimal. The whole value must be the number. Prefixes that some
// libraries add beyond C17 (such as "0b") are not accepted: the value is
// checked here before strtol sees it.
std::optional<int32_t> ParseWholeNumber(const std::string& value) {
  if (value.empty()) return std::nullopt;
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) ++i;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) ++i;
  if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'b' || value[i + 1] == 'B')) {
    return std::nullopt;
  }
  const char* begin = value.c_str();
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(begin, &end, 0);
  if (end == begin || *end != '\0' || static_cast<size_t>(end - begin) != value.size()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(number)));
}

int32_t NumberOr(const ConfigDocument& document, std::string_view key, int32_t fallback) {
  const std::optional<std::string> value = SystemValue(document, key);
  if (!value) return fallback;
  return ParseWholeNumber(*value).value_or(fallback);
}

}  // namespace

bool IsGptEnableSet(const ConfigDocument& document) {
  const std::string value = SystemValue(document, key::kGptEnable).value_or("");
  return value == "1" || value == "0";
}

bool IsGptEnabled(const ConfigDocument& document) {
  return IsExactlyOne(document, key::kGptEnable);
}

bool IsBackupPartitionEnabled(const ConfigDocument& document) {
  return IsExactlyOne(document, key::kBackupPartitionEnable);
}

bool IsNanoEnabled(const ConfigDocument& document) { return IsExactlyOne(document, key::kNano); }

bool IsBlankGapEnabled(const ConfigDocument& document) {
  return IsExactlyOne(document, key::kBlankGap);
}

bool IsLoaderScrambled(const ConfigDocument& document) {
  return IsExactlyOne(document, key::kLoaderScrambled);
}

int32_t GetFillByte(const ConfigDocument& document) {
  return NumberOr(document, key::kFillByte, 0);
}

int32_t GetLoaderEncrypt(const ConfigDocument& document) {
  return NumberOr(document, key::kLoaderEncrypt, 1);
}

int32_t GetIdbBootEncrypt(const ConfigDocument& document) {
  return NumberOr(document, key::kIdbBootEncrypt, 1);
}

}  // namespace imgweld
