#pragma once

#include <cstdint>

namespace imgweld {

// Every layout of the image counts in sectors of this size: the tagged header
// and table, the boot block's programs and the partition-table form alike.
inline constexpr uint32_t kSectorSize = 512;

}  // namespace imgweld
