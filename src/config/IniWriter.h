#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "config/ConfigDocument.h"

namespace imgweld {

// The one writer of configuration files made from an image: -U's
// "setting.ini" and the rebuild configuration of "-L <image> ini" and -X.
// Sections and keys are added to a document in the order the file lists
// them and the file is written in that order; section and key names come
// from the key table. What differs between the two files is said by the
// caller: which keys a section carries, how `Flag` is printed, and the
// comment lines at the top.

// How `Flag` is printed: "%d" as -U writes the boot block's, or "0x%x".
enum class FlagFormat { kDecimal, kHex };

// One partition's section, keys in this order: Name, Type, PartOffset,
// PartSize, Flag, File, then Type_Guid and Unique_Guid when not empty, and
// Attributes when not 0.
struct PartitionSettings {
  std::string name;
  uint32_t type = 0;
  uint32_t offset = 0;
  std::optional<uint32_t> size;  // none: written empty, as a growing partition's
  uint32_t flag = 0;
  FlagFormat flagFormat = FlagFormat::kHex;
  std::string file;
  std::string typeGuid;
  std::string uniqueGuid;
  uint64_t attributes = 0;  // of the GPT entry
};

// A key of [System], the section created first when missing.
void WriteSystemValue(ConfigDocument& document, std::string_view key, std::string value);

// Section "UserPart<number>".
void WritePartitionSection(ConfigDocument& document, size_t number,
                           const PartitionSettings& partition);

// A key of the PARTITION_TYPE_GUID section: a Type_Guid text and its GUID.
void WriteTypeGuid(ConfigDocument& document, std::string_view name, std::string guid);

// Whether a value survives a configuration file: written after "Key=" and
// read back, it gives the same bytes. Not so for a "#" (a comment starts),
// a line break or NUL, a trailing blank (lines are trimmed), or a "[" with a
// later "]" (the line reads as a section).
bool IniCanCarry(std::string_view value);

// The file: every comment line as "# <line>", then the sections in the
// order they were created; lines end in "\n".
std::string IniText(const ConfigDocument& document, std::span<const std::string> comments = {});

}  // namespace imgweld
