#include "image/HeaderTime.h"

#include <ctime>

namespace imgweld {

std::optional<long long> HeaderTimeSeconds(const FirmwareHeader& header) {
  if (header.year < 1970 || header.month < 1 || header.month > 12 || header.day < 1 ||
      header.day > 31 || header.hour > 23 || header.minute > 59 || header.second > 59) {
    return std::nullopt;
  }
  std::tm fields{};
  fields.tm_year = header.year - 1900;
  fields.tm_mon = header.month - 1;
  fields.tm_mday = header.day;
  fields.tm_hour = header.hour;
  fields.tm_min = header.minute;
  fields.tm_sec = header.second;
  const std::time_t moment = timegm(&fields);
  // timegm moves a day past the month's end into the next month; such fields
  // name no moment.
  std::tm back{};
  if (gmtime_r(&moment, &back) == nullptr || back.tm_mon != header.month - 1 ||
      back.tm_mday != header.day) {
    return std::nullopt;
  }
  return static_cast<long long>(moment);
}

}  // namespace imgweld
