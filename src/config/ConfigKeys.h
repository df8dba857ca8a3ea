#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace imgweld {

// Every key the packer reads, spelled here once. The readers, the checks and
// the warnings about unknown keys all take their names from these.
namespace key {
inline constexpr std::string_view kSystem = "System";
inline constexpr std::string_view kTypeGuidSection = "PARTITION_TYPE_GUID";

inline constexpr std::string_view kFwVersion = "FwVersion";
inline constexpr std::string_view kChip = "Chip";
inline constexpr std::string_view kModel = "Model";
inline constexpr std::string_view kGptEnable = "Gpt_Enable";
inline constexpr std::string_view kBackupPartitionEnable = "Backup_Partition_Enable";
inline constexpr std::string_view kNano = "Nano";
inline constexpr std::string_view kBlankGap = "BLANK_GAP";
inline constexpr std::string_view kFillByte = "FILL_BYTE";
inline constexpr std::string_view kLoaderEncrypt = "Loader_Encrypt";
inline constexpr std::string_view kIdbBootEncrypt = "IDB_Boot_Encrypt";
inline constexpr std::string_view kLoaderScrambled = "Loader_Scrambled";
inline constexpr std::string_view kDiskGuid = "Disk_Guid";
inline constexpr std::string_view kDate = "Date";

inline constexpr std::string_view kName = "Name";
inline constexpr std::string_view kType = "Type";
inline constexpr std::string_view kFlag = "Flag";
inline constexpr std::string_view kPartOffset = "PartOffset";
inline constexpr std::string_view kPartSize = "PartSize";
inline constexpr std::string_view kFile = "File";
inline constexpr std::string_view kTypeGuid = "Type_Guid";
inline constexpr std::string_view kUniqueGuid = "Unique_Guid";
inline constexpr std::string_view kAttributes = "Attributes";
}  // namespace key

// Where a key lives: the [System] section or every "UserPart<n>" section.
enum class KeySection { kSystem, kPartition };

// How a value is read: a switch is on only as exactly "1"; numbers are read
// as C's strtoul reads base 0; the rest is text (GUIDs and the version are
// taken apart by their own readers).
enum class KeyKind { kSwitch, kNumber, kText, kVersion, kGuid };

struct ConfigKey {
  KeySection section;
  std::string_view name;
  KeyKind kind;
  std::string_view fallback;  // the value taken when the key is missing
  bool optIn;                 // an addition to the keys the format always had
};

std::span<const ConfigKey> ConfigKeys();

// The key of that section named `name`, compared without regard to case as
// the document compares names; nullptr for a key the packer never reads.
const ConfigKey* FindConfigKey(KeySection section, std::string_view name);

// "UserPart<number>": the section of the partition with that number.
std::string PartitionSectionName(size_t number);

// How the configuration's numbers are read. There are three readings, and
// they differ on purpose, each as the packer has always read its keys; the
// readers, the checks and the warnings all call these.
//
// Partition numbers (Type, Flag, PartOffset, PartSize): C's strtoul in base
// 0 ("0x" hexadecimal, a leading "0" octal, else decimal; leading blanks and
// a sign taken), up to the first character that is not part of the number,
// cut to 32 bits. Text after the number is dropped, and no text is 0.
uint32_t ParseConfigNumber(const std::string& text);
// How many characters of `text` that reading takes (0: none, read as 0).
size_t ConfigNumberLength(const std::string& text);
// Whether the number that reading finds fits 32 bits before it is cut. A
// negative number counts as fitting: -1 is kept as 0xFFFFFFFF on purpose.
bool ConfigNumberFits32(const std::string& text);

// System numbers (FILL_BYTE, Loader_Encrypt, IDB_Boot_Encrypt): the same
// base-0 reading, but the whole value must be the number, else the key's
// default is taken (nothing here); the low 32 bits as a signed value.
// Prefixes some C libraries accept beyond C17, such as "0b", are refused.
std::optional<int32_t> ParseSystemNumber(const std::string& text);

// GPT partition attributes (Attributes): the whole value must be one
// unsigned base-0 number of at most 64 bits; empty is 0. Nothing for any
// other text: a sign, text after the number, a number beyond 64 bits.
std::optional<uint64_t> ParseAttributes(const std::string& text);

// FwVersion pieces: decimal only (C's strtol in base 10), so "08" is eight
// and "0x1" is 0; the value as strtol gives it, before it is shifted into
// the version field.
long ParseVersionPiece(const std::string& piece);

}  // namespace imgweld
