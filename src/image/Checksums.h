#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace imgweld {

// CRC-16/UMTS: polynomial 0x8005, MSB first, register starts at 0, no final XOR.
uint16_t Crc16(std::span<const uint8_t> data);
// CRC-16/IBM-3740: polynomial 0x1021, MSB first, register starts at 0xFFFF.
uint16_t CrcCcitt(std::span<const uint8_t> data);
// CRC-32/ISO-HDLC with zlib-style seed chaining.
uint32_t Crc32(std::span<const uint8_t> data, uint32_t seed);
// MSB-first CRC-32 over polynomial 0x04C10DB7 (not 0x04C11DB7), no final XOR.
uint32_t Crc32Msb(std::span<const uint8_t> data, uint32_t initial = 0);

// The boot-block cipher key. Whatever reads scrambled boot-block sectors back
// (the board's boot ROM, a flashing tool) must use these same 16 bytes.
extern const std::array<uint8_t, 16> kBootBlockKey;

// RC4 with kBootBlockKey, state rebuilt on every call: each call XORs its
// buffer with the same first key-stream bytes. Applying it twice restores.
void Rc4Crypt(std::span<uint8_t> data);

}  // namespace imgweld
