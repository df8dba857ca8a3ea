#pragma once

#include <ctime>
#include <optional>

#include "common/Output.h"

namespace imgweld {

// The date and time stamped into a tagged image's header. With the
// reproducible-builds variable SOURCE_DATE_EPOCH set (`sourceDateEpoch` not
// null), it is that count of seconds since 1970 in UTC, so that two packs of
// the same inputs give the same bytes whatever the machine's zone; otherwise
// `now` in local time. A value that is not a plain decimal count the header's
// 16-bit year can hold prints one "Packing Error:" line and gives nothing.
std::optional<std::tm> ResolvePackTime(const char* sourceDateEpoch, std::time_t now, Output& out);

}  // namespace imgweld
