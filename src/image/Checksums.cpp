#include "image/Checksums.h"

#include <utility>

namespace imgweld {

// Chosen once for this program; changing them makes every scrambled boot
// block written before unreadable to the boards that carry the old bytes.
const std::array<uint8_t, 16> kBootBlockKey = {0x5A, 0x3C, 0x91, 0xE7, 0x12, 0xB8, 0x4F, 0x06,
                                               0xD3, 0x7E, 0xA5, 0x28, 0xC1, 0x64, 0x9B, 0xF0};

namespace {

constexpr std::array<uint16_t, 256> MakeMsbTable16(uint16_t polynomial) {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t reg = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 0x8000) != 0 ? static_cast<uint16_t>((reg << 1) ^ polynomial)
                                : static_cast<uint16_t>(reg << 1);
    }
    table[i] = reg;
  }
  return table;
}

constexpr std::array<uint32_t, 256> MakeMsbTable32(uint32_t polynomial) {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i << 24;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 0x80000000u) != 0 ? (reg << 1) ^ polynomial : reg << 1;
    table[i] = reg;
  }
  return table;
}

constexpr std::array<uint32_t, 256> MakeReflectedTable32(uint32_t reflectedPolynomial) {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 1) != 0 ? (reg >> 1) ^ reflectedPolynomial : reg >> 1;
    table[i] = reg;
  }
  return table;
}

constexpr auto kCrc16Table = MakeMsbTable16(0x8005);
constexpr auto kCrc32Table = MakeReflectedTable32(0xEDB88320u);

// Tables for eight bytes a step: entry i of table k is the register of byte
// i followed by k zero bytes. A GPT array of 16 KiB is checked on every read
// of a disk, the bytes of the tables' checksums eight times fewer table steps.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeSlicedTables32() {
  std::array<std::array<uint32_t, 256>, 8> tables{};
  tables[0] = kCrc32Table;
  for (size_t k = 1; k < tables.size(); ++k) {
    for (size_t i = 0; i < 256; ++i) {
      const uint32_t previous = tables[k - 1][i];
      tables[k][i] = (previous >> 8) ^ kCrc32Table[previous & 0xFF];
    }
  }
  return tables;
}
constexpr auto kCrc32Slices = MakeSlicedTables32();

uint32_t Le32At(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
// Bit 12 of this polynomial is clear, unlike the usual CRC-32 one; the boards
// check against this exact variant, so it must not be "corrected".
constexpr auto kCrc32MsbTable = MakeMsbTable32(0x04C10DB7u);

static_assert(kCrc32Table[1] == 0x77073096u && kCrc32Table[255] == 0x2D02EF8Du);
static_assert(kCrc32MsbTable[1] == 0x04C10DB7u && kCrc32MsbTable[255] == 0xB1F880B4u);

}  // namespace

uint16_t Crc16(std::span<const uint8_t> data) {
  uint16_t reg = 0;
  for (uint8_t b : data)
    reg = static_cast<uint16_t>((reg << 8) ^ kCrc16Table[((reg >> 8) ^ b) & 0xFF]);
  return reg;
}

uint16_t CrcCcitt(std::span<const uint8_t> data) {
  uint16_t reg = 0xFFFF;
  for (uint8_t b : data) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool feedback = (((reg >> 15) ^ (b >> bit)) & 1) != 0;
      reg = static_cast<uint16_t>(reg << 1);
      if (feedback) reg ^= 0x1021;
    }
  }
  return reg;
}

uint32_t Crc32(std::span<const uint8_t> data, uint32_t seed) {
  uint32_t reg = seed ^ 0xFFFFFFFFu;
  const uint8_t* p = data.data();
  size_t left = data.size();
  const auto& t = kCrc32Slices;
  for (; left >= 8; p += 8, left -= 8) {
    const uint32_t low = reg ^ Le32At(p);
    const uint32_t high = Le32At(p + 4);
    reg = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^
          t[0][high >> 24];
  }
  for (; left > 0; ++p, --left) reg = (reg >> 8) ^ kCrc32Table[(reg ^ *p) & 0xFF];
  return reg ^ 0xFFFFFFFFu;
}

uint32_t Crc32Msb(std::span<const uint8_t> data, uint32_t initial) {
  uint32_t reg = initial;
  for (uint8_t b : data) reg = (reg << 8) ^ kCrc32MsbTable[((reg >> 24) ^ b) & 0xFF];
  return reg;
}

void Rc4Crypt(std::span<uint8_t> data) {
  std::array<uint8_t, 256> s{};
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    j = static_cast<uint8_t>(j + s[i] + kBootBlockKey[i % kBootBlockKey.size()]);
    std::swap(s[i], s[j]);
  }
  uint8_t i = 0;
  j = 0;
  for (uint8_t& b : data) {
    i = static_cast<uint8_t>(i + 1);
    j = static_cast<uint8_t>(j + s[i]);
    std::swap(s[i], s[j]);
    b ^= s[static_cast<uint8_t>(s[i] + s[j])];
  }
}

}  // namespace imgweld
