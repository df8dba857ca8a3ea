#include "pack/PackTime.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "config/ConfigKeys.h"

namespace imgweld {
namespace {

// The header stores the year in 16 bits; later moments cannot be recorded.
constexpr long long kLastYear = 0xFFFF;

std::optional<long long> ParseSeconds(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;  // 18 digits stay below 2^63
  long long seconds = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
  }
  return seconds;
}

}  // namespace

bool ReadDateKey(const ConfigDocument& document, std::optional<std::tm>& stamp, Output& out) {
  stamp.reset();
  const ConfigSection* system = document.FindSection(key::kSystem);
  const ConfigEntry* entry = system == nullptr ? nullptr : system->FindEntry(key::kDate);
  if (entry == nullptr) return true;
  const std::string value = entry->Value();
  const std::optional<std::tm> parsed = ParseDateKeyText(value);
  if (!parsed) {
    out.Printf(
        "Packing Error:Date=%s in [System] is not a date and time of the form YYYY-MM-DD "
        "HH:MM:SS!\r\n",
        value.c_str());
    return false;
  }
  stamp = parsed;
  return true;
}

bool ResolvePackTime(const char* sourceDateEpoch, std::time_t now, std::tm& stamp, Output& out) {
  stamp = std::tm{};
  if (sourceDateEpoch == nullptr) {
    localtime_r(&now, &stamp);
    return true;
  }
  const std::optional<long long> seconds = ParseSeconds(sourceDateEpoch);
  const std::time_t moment = seconds ? static_cast<std::time_t>(*seconds) : 0;
  if (!seconds || gmtime_r(&moment, &stamp) == nullptr || stamp.tm_year + 1900LL > kLastYear) {
    out.Printf(
        "Packing Error:SOURCE_DATE_EPOCH=%s is not a count of seconds since 1970 that the "
        "header can hold!\r\n",
        sourceDateEpoch);
    return false;
  }
  return true;
}

}  // namespace imgweld
