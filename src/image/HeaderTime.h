#pragma once

#include <optional>

#include "image/FirmwareImage.h"

namespace imgweld {

// The seconds since 1970 that, read in UTC, give exactly the header's date
// and time fields, or nothing when no such moment exists (a month 13, the
// 30th of February, a leap second, a year before 1970). The fields carry no
// zone: a pack run under SOURCE_DATE_EPOCH fills them in UTC, so this count
// packs the same fields again.
std::optional<long long> HeaderTimeSeconds(const FirmwareHeader& header);

}  // namespace imgweld
