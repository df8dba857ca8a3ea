#include "pack/PackTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "image/HeaderTime.h"

namespace imgweld {
namespace {

std::string Fields(const std::tm& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.tm_year + 1900,
                time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
  return text;
}

TEST(PackTime, SourceDateEpochIsTakenInUtc) {
  const std::pair<const char*, const char*> cases[] = {
      {"0", "1970-01-01 00:00:00"},
      {"1709647629", "2024-03-05 14:07:09"},
      {"0000951782400", "2000-02-29 00:00:00"},
      {"2000000000000", "65347-06-24 03:33:20"},  // still fits the 16-bit year
      {"2005949145599", "65535-12-31 23:59:59"},  // the last second it can hold
  };
  for (const auto& [value, expected] : cases) {
    StringOutput out;
    std::tm time{};
    ASSERT_TRUE(ResolvePackTime(value, 12345, time, out)) << value;
    EXPECT_EQ(Fields(time), expected) << value;
    EXPECT_EQ(out.Text(), "");
  }
}

TEST(PackTime, WithoutTheVariableTheLocalClockStays) {
  const std::time_t now = 1709647629;
  std::tm local{};
  localtime_r(&now, &local);
  StringOutput out;
  std::tm time{};
  ASSERT_TRUE(ResolvePackTime(nullptr, now, time, out));
  EXPECT_EQ(Fields(time), Fields(local));
}

// The local clock follows the machine's zone: three hours east of UTC gives
// the UTC hour plus three.
TEST(PackTime, WithoutTheVariableTheZoneIsApplied) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved != nullptr ? saved : "";
  setenv("TZ", "UTC-3", 1);
  tzset();
  StringOutput out;
  std::tm time{};
  const bool resolved = ResolvePackTime(nullptr, 1709647629, time, out);
  if (saved != nullptr) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  ASSERT_TRUE(resolved);
  EXPECT_EQ(Fields(time), "2024-03-05 17:07:09");
  EXPECT_EQ(out.Text(), "");
}

TEST(PackTime, MalformedValuesAreRefusedWithOneLine) {
  for (const char* value : {"", "-1", "+5", " 5", "5 ", "1e9", "0x10", "1.5", "abc",
                            "12345678901234567890", "2100000000000", "2005949145600"}) {
    StringOutput out;
    std::tm time{};
    EXPECT_FALSE(ResolvePackTime(value, 0, time, out)) << value;
    EXPECT_EQ(out.Text(),
              std::string("Packing Error:SOURCE_DATE_EPOCH=") + value +
                  " is not a count of seconds since 1970 that the header can hold!\r\n");
  }
}

// The Date key takes the Gregorian calendar's leap days (2000 has one, 1900
// and 2100 have none) and a leap second's 60, nothing past it.
TEST(PackTime, DateKeyFollowsTheCalendar) {
  const struct {
    const char* value;
    bool taken;
  } cases[] = {
      {"2000-02-29 12:00:00", true},  {"2000-01-01 23:59:60", true},
      {"2024-02-29 00:00:00", true},  {"1900-02-29 12:00:00", false},
      {"2100-02-29 12:00:00", false}, {"2000-01-01 23:59:61", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ConfigDocument document;
    std::istringstream text(std::string("[System]\nFwVersion=1.0.0\nDate=") + c.value + "\n");
    document.Parse(text, false);
    std::optional<std::tm> stamp;
    StringOutput out;
    EXPECT_EQ(ReadDateKey(document, stamp, out), c.taken);
    EXPECT_EQ(stamp.has_value(), c.taken);
    if (stamp) {
      EXPECT_EQ(Fields(*stamp), c.value);
    }
    if (c.taken) {
      EXPECT_EQ(out.Text(), "");
    } else {
      EXPECT_EQ(out.Text(), std::string("Packing Error:Date=") + c.value +
                                " in [System] is not a date and time of the form YYYY-MM-DD "
                                "HH:MM:SS!\r\n");
    }
  }
}

FirmwareHeader HeaderAt(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                        unsigned second) {
  FirmwareHeader header;
  header.year = static_cast<uint16_t>(year);
  header.month = static_cast<uint8_t>(month);
  header.day = static_cast<uint8_t>(day);
  header.hour = static_cast<uint8_t>(hour);
  header.minute = static_cast<uint8_t>(minute);
  header.second = static_cast<uint8_t>(second);
  return header;
}

// The seconds that give a header's fields back, and none for fields that name
// no moment.
TEST(PackTime, HeaderFieldsGiveTheirSecondsBack) {
  EXPECT_EQ(HeaderTimeSeconds(HeaderAt(2024, 3, 5, 14, 7, 9)), 1709647629);
  EXPECT_EQ(HeaderTimeSeconds(HeaderAt(1970, 1, 1, 0, 0, 0)), 0);
  EXPECT_EQ(HeaderTimeSeconds(HeaderAt(2000, 2, 29, 0, 0, 0)), 951782400);
  for (const FirmwareHeader& header :
       {HeaderAt(1969, 12, 31, 23, 59, 59), HeaderAt(2023, 2, 29, 0, 0, 0),
        HeaderAt(2024, 13, 1, 0, 0, 0), HeaderAt(2024, 0, 1, 0, 0, 0),
        HeaderAt(2024, 4, 31, 0, 0, 0), HeaderAt(2024, 1, 1, 24, 0, 0),
        HeaderAt(2024, 1, 1, 0, 60, 0), HeaderAt(2016, 12, 31, 23, 59, 60)}) {
    EXPECT_FALSE(HeaderTimeSeconds(header))
        << header.year << "-" << +header.month << "-" << +header.day;
  }
  // Packing the seconds gives the fields again.
  StringOutput out;
  std::tm time{};
  ASSERT_TRUE(ResolvePackTime("951782400", 0, time, out));
  EXPECT_EQ(Fields(time), "2000-02-29 00:00:00");
}

}  // namespace
}  // namespace imgweld
