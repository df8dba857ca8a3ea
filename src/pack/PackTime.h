#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "config/DateKey.h"

namespace imgweld {

// The date and time stamped into a tagged image's header. With the
// reproducible-builds variable SOURCE_DATE_EPOCH set (`sourceDateEpoch` not
// null), it is that count of seconds since 1970 in UTC, so that two packs of
// the same inputs give the same bytes whatever the machine's zone; otherwise
// `now` in local time. A value that is not a plain decimal count the header's
// 16-bit year can hold prints one "Packing Error:" line; false then.
bool ResolvePackTime(const char* sourceDateEpoch, std::time_t now, std::tm& stamp, Output& out);

// The opt-in "[System] Date" key, "YYYY-MM-DD HH:MM:SS": the header's own
// date and time fields, stamped as given with no zone applied, so that a
// configuration carries the date of the image it rebuilds. The key wins over
// SOURCE_DATE_EPOCH and the clock.
//
// Reads the key into `stamp`, left empty when there is no such key. A value
// that ParseDateKeyText does not take prints one "Packing Error:" line naming the key; false then.
bool ReadDateKey(const ConfigDocument& document, std::optional<std::tm>& stamp, Output& out);

}  // namespace imgweld
