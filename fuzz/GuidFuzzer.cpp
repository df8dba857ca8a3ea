// Feeds arbitrary text to the GUID reader of the partition-table writer and
// compares it with a reading written here from the text form alone: exactly
// the 36-character 8-4-4-4-12 form is accepted, the first three groups are
// stored little-endian and the last two in text order, and a refused text
// leaves the GUID all zero.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "image/GptRecords.h"

namespace {

std::optional<uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

// The byte written as two digits at `at`, or nothing.
std::optional<uint8_t> HexByte(std::string_view text, size_t at) {
  const auto high = HexDigit(text[at]);
  const auto low = HexDigit(text[at + 1]);
  if (!high || !low) return std::nullopt;
  return static_cast<uint8_t>(*high << 4 | *low);
}

std::optional<imgweld::Guid> ReferenceParse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  for (size_t dash : {8u, 13u, 18u, 23u}) {
    if (text[dash] != '-') return std::nullopt;
  }
  // Text positions of the 16 bytes in the order they are stored.
  static constexpr size_t kPositions[16] = {6,  4,  2,  0,  11, 9,  16, 14,
                                            19, 21, 24, 26, 28, 30, 32, 34};
  imgweld::Guid guid{};
  for (size_t i = 0; i < guid.size(); ++i) {
    const auto byte = HexByte(text, kPositions[i]);
    if (!byte) return std::nullopt;
    guid[i] = *byte;
  }
  return guid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  imgweld::Guid guid;
  guid.fill(0x5A);
  const bool accepted = imgweld::ParseGuidText(text, guid);
  const std::optional<imgweld::Guid> expected = ReferenceParse(text);
  if (accepted != expected.has_value() || guid != expected.value_or(imgweld::Guid{})) {
    std::fprintf(stderr, "guid fuzz: %.*s read as %s\n", static_cast<int>(size), text.data(),
                 accepted ? "a GUID" : "no GUID");
    std::abort();
  }
  return 0;
}
