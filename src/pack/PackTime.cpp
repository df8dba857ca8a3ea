#include "pack/PackTime.h"

#include <string_view>

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

std::optional<std::tm> ResolvePackTime(const char* sourceDateEpoch, std::time_t now, Output& out) {
  std::tm stamp{};
  if (sourceDateEpoch == nullptr) {
    localtime_r(&now, &stamp);
    return stamp;
  }
  const std::optional<long long> seconds = ParseSeconds(sourceDateEpoch);
  const std::time_t moment = seconds ? static_cast<std::time_t>(*seconds) : 0;
  if (!seconds || gmtime_r(&moment, &stamp) == nullptr || stamp.tm_year + 1900LL > kLastYear) {
    out.Printf(
        "Packing Error:SOURCE_DATE_EPOCH=%s is not a count of seconds since 1970 that the "
        "header can hold!\r\n",
        sourceDateEpoch);
    return std::nullopt;
  }
  return stamp;
}

}  // namespace imgweld
