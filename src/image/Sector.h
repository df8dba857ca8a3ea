#pragma once

#include <cstdint>

namespace imgweld {

// Every layout of the image counts in sectors of this size: the tagged header
// and table, the boot block's programs and the partition-table form alike.
inline constexpr uint32_t kSectorSize = 512;

// Every byte position of an image, and its length, is a 32-bit value: an
// image of either form holds at most this many bytes, so nothing of it lies
// at or past this position. The packer and every reader hold images to it.
inline constexpr uint64_t kMaxImageLength = 0xFFFFFFFF;
inline constexpr uint64_t kPositionLimit = kMaxImageLength;

}  // namespace imgweld
