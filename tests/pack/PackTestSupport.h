#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "config/ConfigDocument.h"

// An independent reader of what the packer writes: little-endian fields and
// bitwise checksums written from their definitions, not the product's tables.
namespace imgweld::test {

inline uint32_t Le(std::span<const uint8_t> bytes, size_t at, size_t width) {
  uint32_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= uint32_t{bytes[at + i]} << (8 * i);
  return value;
}
inline uint16_t Le16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(Le(bytes, at, 2));
}
inline uint32_t Le32(std::span<const uint8_t> bytes, size_t at) { return Le(bytes, at, 4); }
inline uint64_t Le64(std::span<const uint8_t> bytes, size_t at) {
  return Le32(bytes, at) | (uint64_t{Le32(bytes, at + 4)} << 32);
}
inline std::string Text(std::span<const uint8_t> bytes, size_t at, size_t length) {
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
}
inline std::vector<uint8_t> Slice(std::span<const uint8_t> bytes, size_t at, size_t length) {
  return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                              bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
}
inline bool AllBytesAre(std::span<const uint8_t> bytes, size_t at, size_t length, uint8_t value) {
  for (size_t i = at; i < at + length; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

// MSB-first CRC-32 over polynomial 0x04C10DB7, no final XOR.
inline uint32_t RefCrc32Msb(std::span<const uint8_t> data) {
  uint32_t reg = 0;
  for (uint8_t byte : data) {
    reg ^= uint32_t{byte} << 24;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C10DB7u : reg << 1;
  }
  return reg;
}

// CRC-16/UMTS: polynomial 0x8005, register starts at 0.
inline uint16_t RefCrc16(std::span<const uint8_t> data) {
  uint16_t reg = 0;
  for (uint8_t byte : data) {
    reg ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      reg = static_cast<uint16_t>((reg & 0x8000) ? (reg << 1) ^ 0x8005 : reg << 1);
    }
  }
  return reg;
}

// CRC-16/IBM-3740: polynomial 0x1021, register starts at 0xFFFF.
inline uint16_t RefCrcCcitt(std::span<const uint8_t> data) {
  uint16_t reg = 0xFFFF;
  for (uint8_t byte : data) {
    reg ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      reg = static_cast<uint16_t>((reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1);
    }
  }
  return reg;
}

// 14:07:09 on the 5th of March 2024.
inline std::tm FixedPackTime() {
  std::tm time{};
  time.tm_year = 2024 - 1900;
  time.tm_mon = 2;
  time.tm_mday = 5;
  time.tm_hour = 14;
  time.tm_min = 7;
  time.tm_sec = 9;
  return time;
}

inline void ParseConfig(ConfigDocument& document, const std::string& text) {
  std::istringstream input(text);
  document.Parse(input, false);
}

// A partition section of a configuration.
inline std::string PartSection(int number, const std::string& name, const std::string& type,
                               const std::string& offset, const std::string& size,
                               const std::string& flag, const std::string& file) {
  std::string text = "[UserPart" + std::to_string(number) + "]\nName=" + name + "\nType=" + type +
                     "\nPartOffset=" + offset + "\nPartSize=" + size + "\nFlag=" + flag + "\n";
  if (!file.empty()) text += "File=" + file + "\n";
  return text;
}

}  // namespace imgweld::test
