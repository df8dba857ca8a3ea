#pragma once

#include <cstdint>
#include <span>

#include "image/FirmwareImage.h"
#include "pack/ImageWriter.h"
#include "pack/PackContext.h"

namespace imgweld {

// The boot block: four control sectors (header, signature, check, spare)
// followed by the DDR-initialisation program and the loader, each occupying a
// whole number of 2048-byte units.
inline constexpr uint32_t kIdBlockMagic = 0x0FF0AA55;
inline constexpr uint32_t kIdBlockMinOffset = 64;  // the boot block never starts below sector 64
inline constexpr uint32_t kNanoDdrLimit = 4096;    // room for each DDR copy in the Nano layout
inline constexpr uint32_t kIdBlockFailed = 0xFFFFFFFF;

// Sectors taken by a program of `length` bytes: multiples of 4, 0 for 0.
uint32_t ProgramSectors(uint64_t length);

// Lay out the boot block in `block` (zero-filled, 512 x the layout's sector
// count). `ddr` and `loader` hold exactly the two files' bytes and are
// scrambled in place when `scramblePrograms` is set. 0 on success; a negative
// value names a sector filler that failed.
int32_t BuildIdBlock(std::span<uint8_t> ddr, std::span<uint8_t> loader, std::span<uint8_t> block,
                     uint32_t ddrSectors, uint32_t loaderSectors, uint32_t ddrLength,
                     uint32_t loaderLength, bool scramblePrograms, bool scrambleSectors);
int32_t BuildNanoIdBlock(std::span<uint8_t> ddr, std::span<uint8_t> loader,
                         std::span<uint8_t> block, uint32_t ddrSectors, uint32_t loaderSectors,
                         uint32_t ddrLength, uint32_t loaderLength, bool scramblePrograms,
                         bool scrambleSectors);

// Builds the boot block of `entry` from its "ddr,loader" file text (which is
// taken out of the entry) and writes it into the image: at sector `offset`
// (raised to 64) and again at `offset` + `size` / 2, padding to the
// partition's end; in the compact partition-table layout once, at the current
// position, with no padding. Sets `dataLength`, `offset` and the boot fields.
// Prints its own message on failure.
bool WriteIdBlock(ImageWriter& image, const PackContext& context, PartitionEntry& entry);

// The byte length WriteIdBlock will record, from the two files' lengths;
// kIdBlockFailed when the file text has no comma or a file cannot be opened
// (with the message WriteIdBlock would print) or the programs do not fit
// the layout (silently: WriteIdBlock reports that).
uint32_t GetIdBlockSize(const PackContext& context, const PartitionEntry& entry);

}  // namespace imgweld
