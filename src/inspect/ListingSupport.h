#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/Json.h"
#include "common/Output.h"
#include "image/FirmwareImage.h"
#include "inspect/TextColumns.h"

namespace imgweld {

// Pieces shared by the listings of every form.

std::string Hex(uint64_t value);
// Text of a fixed field, up to its first NUL.
std::string FieldText(std::span<const uint8_t> field);
std::string DateText(const FirmwareHeader& h);
// The flags by name ("skip|grow"), other bits in hexadecimal, "-" for none.
std::string FlagsText(uint32_t flag);
Json FlagsJson(uint32_t flag);
// "sectors 0xA-0xB" for `bytes` bytes from sector `first` (at least one).
std::string Sectors(uint64_t first, uint64_t bytes);
std::string OkWord(bool ok);
// A key and value block whose values line up with the other blocks.
TextColumns Block();
// The record's Type_Guid text; the boot block record holds its boot fields
// there instead.
std::string TypeGuidText(const PartitionEntry& entry);

}  // namespace imgweld
