#include "config/Settings.h"

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

int32_t NumberOr(const ConfigDocument& document, std::string_view key, int32_t fallback) {
  const std::optional<std::string> value = SystemValue(document, key);
  if (!value) return fallback;
  return ParseSystemNumber(*value).value_or(fallback);
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
