#include "config/DateKey.h"

#include <cstdio>

namespace imgweld {
namespace {

// The header stores the year in 16 bits; later moments cannot be recorded.
constexpr long long kLastYear = 0xFFFF;

// Two-digit fields at fixed places after the year: "YYYY-MM-DD HH:MM:SS".
// The year has four digits, or five past 9999, up to the last year the
// header holds.
constexpr std::string_view kDatePattern = "-dd-dd dd:dd:dd";
constexpr size_t kShortYearDigits = 4;
constexpr size_t kLongYearDigits = 5;

// The number of year digits of a well-formed value, or 0.
size_t YearDigits(std::string_view text) {
  if (text.size() < kDatePattern.size()) return 0;
  const size_t digits = text.size() - kDatePattern.size();
  if (digits != kShortYearDigits && digits != kLongYearDigits) return 0;
  for (size_t i = 0; i < digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
  }
  // A five-digit year starts with no zero, so each year has one spelling.
  if (digits == kLongYearDigits && text[0] == '0') return 0;
  return digits;
}

bool MatchesPattern(std::string_view text) {
  const size_t digits = YearDigits(text);
  if (digits == 0) return false;
  text.remove_prefix(digits);
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kDatePattern[i] == 'd' ? !digit : text[i] != kDatePattern[i]) return false;
  }
  return true;
}

int Number(std::string_view text, size_t at, size_t length) {
  int value = 0;
  for (size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

int DaysIn(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<std::tm> ParseDateKeyText(std::string_view text) {
  if (!MatchesPattern(text)) return std::nullopt;
  const size_t digits = YearDigits(text);
  const int year = Number(text, 0, digits);
  text.remove_prefix(digits - kShortYearDigits);  // the other fields as after a four-digit year
  std::tm stamp{};
  const int month = Number(text, 5, 2);
  const int day = Number(text, 8, 2);
  stamp.tm_hour = Number(text, 11, 2);
  stamp.tm_min = Number(text, 14, 2);
  stamp.tm_sec = Number(text, 17, 2);
  if (year > kLastYear || month < 1 || month > 12 || day < 1 || day > DaysIn(year, month) ||
      stamp.tm_hour > 23 || stamp.tm_min > 59 || stamp.tm_sec > 60) {
    return std::nullopt;
  }
  stamp.tm_year = year - 1900;
  stamp.tm_mon = month - 1;
  stamp.tm_mday = day;
  return stamp;
}

bool IsDateKeyText(std::string_view text) { return ParseDateKeyText(text).has_value(); }

std::string DateKeyText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                        unsigned second) {
  char text[48];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", year, month, day, hour, minute,
                second);
  return text;
}

}  // namespace imgweld
