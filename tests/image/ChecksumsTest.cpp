#include "image/Checksums.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "support/TestSupport.h"

namespace imgweld {
namespace {

std::span<const uint8_t> Ascii(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A plain bit-by-bit MSB-first CRC-32, independent of the table-driven code,
// to show which polynomial the product uses.
uint32_t BitwiseMsbCrc32(std::span<const uint8_t> data, uint32_t polynomial) {
  uint32_t reg = 0;
  for (uint8_t b : data) {
    reg ^= static_cast<uint32_t>(b) << 24;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 0x80000000u) != 0 ? (reg << 1) ^ polynomial : reg << 1;
  }
  return reg;
}

TEST(Checksums, CheckValuesOverTheNineDigits) {
  const auto digits = Ascii("123456789");
  EXPECT_EQ(Crc16(digits), 0xFEE8);
  EXPECT_EQ(CrcCcitt(digits), 0x29B1);
  EXPECT_EQ(Crc32(digits, 0), 0xCBF43926u);
  EXPECT_EQ(Crc32Msb(digits), 0x889A9615u);
  EXPECT_EQ(Crc32Msb(digits, 0), 0x889A9615u);
  // The common polynomial gives another value; ours must not match it.
  EXPECT_EQ(BitwiseMsbCrc32(digits, 0x04C11DB7u), 0x89A1897Fu);
  EXPECT_NE(Crc32Msb(digits), 0x89A1897Fu);
}

TEST(Checksums, MsbTableEntriesFollowThePolynomialWithBit12Clear) {
  // A single byte i through a zero register yields table entry i.
  const struct {
    uint8_t index;
    uint32_t entry;
  } cases[] = {{1, 0x04C10DB7u}, {2, 0x09821B6Eu}, {3, 0x0D4316D9u}, {255, 0xB1F880B4u}};
  for (const auto& c : cases) {
    const uint8_t byte[1] = {c.index};
    EXPECT_EQ(Crc32Msb(byte), c.entry) << "entry " << int(c.index);
  }
  // Every entry agrees with the bit-by-bit definition.
  for (uint32_t i = 0; i < 256; ++i) {
    const uint8_t byte[1] = {static_cast<uint8_t>(i)};
    ASSERT_EQ(Crc32Msb(byte), BitwiseMsbCrc32(byte, 0x04C10DB7u)) << "entry " << i;
  }
}

TEST(Checksums, ReflectedTableIsTheStandardOne) {
  // One byte b through Crc32 with seed 0 gives entry[b ^ 0xFF] ^ 0xFF000000.
  const uint8_t selectsEntry1[1] = {0xFE};
  const uint8_t selectsEntry255[1] = {0x00};
  EXPECT_EQ(Crc32(selectsEntry1, 0) ^ 0xFF000000u, 0x77073096u);
  EXPECT_EQ(Crc32(selectsEntry255, 0) ^ 0xFF000000u, 0x2D02EF8Du);
  EXPECT_EQ(Crc32(Ascii("The quick brown fox jumps over the lazy dog"), 0), 0x414FA339u);
}

// Crc32 takes eight bytes a step and the rest one at a time: every length
// and start up to a few steps, and a checksum continued from a seed, agree
// with the register shifted a bit at a time.
TEST(Checksums, Crc32AgreesWithTheBitwiseRegisterAtEveryLengthAndStart) {
  const auto bitwise = [](std::span<const uint8_t> data, uint32_t seed) {
    uint32_t reg = seed ^ 0xFFFFFFFFu;
    for (uint8_t b : data) {
      reg ^= b;
      for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) != 0 ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg ^ 0xFFFFFFFFu;
  };
  std::vector<uint8_t> bytes(64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 151 + 7);
  for (size_t start = 0; start < 8; ++start) {
    for (size_t length = 0; start + length <= 48; ++length) {
      const std::span<const uint8_t> part(bytes.data() + start, length);
      ASSERT_EQ(Crc32(part, 0), bitwise(part, 0)) << start << "+" << length;
      ASSERT_EQ(Crc32(part, 0x12345678u), bitwise(part, 0x12345678u)) << start << "+" << length;
    }
  }
  const std::span<const uint8_t> all(bytes);
  EXPECT_EQ(Crc32(all.subspan(13), Crc32(all.first(13), 0)), Crc32(all, 0));
}

TEST(Checksums, FiveHundredTwelveZeroBytes) {
  const std::vector<uint8_t> zeros(512, 0);
  EXPECT_EQ(Crc16(zeros), 0x0000);
  EXPECT_EQ(CrcCcitt(zeros), 0x1634);
  EXPECT_EQ(Crc32Msb(zeros), 0x00000000u);
}

TEST(Checksums, EmptyInputReturnsTheStartingRegister) {
  const std::span<const uint8_t> empty;
  EXPECT_EQ(Crc16(empty), 0x0000);
  EXPECT_EQ(CrcCcitt(empty), 0xFFFF);
  EXPECT_EQ(Crc32(empty, 0), 0u);
  EXPECT_EQ(Crc32(empty, 0xDEADBEEFu), 0xDEADBEEFu);
  EXPECT_EQ(Crc32Msb(empty), 0u);
  EXPECT_EQ(Crc32Msb(empty, 0x12345678u), 0x12345678u);

  std::vector<uint8_t> none;
  Rc4Crypt(none);
  EXPECT_TRUE(none.empty());
}

TEST(Checksums, ChainedCallsEqualOneCall) {
  const std::vector<uint8_t> data = test::RandomBytes(1000, 7);
  const std::span<const uint8_t> all(data);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{511}, size_t{1000}}) {
    EXPECT_EQ(Crc32(all.subspan(cut), Crc32(all.first(cut), 0)), Crc32(all, 0)) << "cut at " << cut;
    EXPECT_EQ(Crc32Msb(all.subspan(cut), Crc32Msb(all.first(cut))), Crc32Msb(all))
        << "cut at " << cut;
  }
}

TEST(Rc4Crypt, TwiceRestoresAndEqualBlocksEncipherEqually) {
  const std::vector<uint8_t> original = test::RandomBytes(512, 3);
  std::vector<uint8_t> first = original;
  std::vector<uint8_t> second = original;

  Rc4Crypt(first);
  EXPECT_NE(first, original);
  // The state starts afresh on each call, so a later call gives the same bytes.
  Rc4Crypt(second);
  EXPECT_EQ(second, first);

  Rc4Crypt(first);
  EXPECT_EQ(first, original);
}

TEST(Rc4Crypt, MatchesTheRc4KeyStreamOfTheBootBlockKey) {
  // An independent, textbook RC4 over the same key gives the key stream.
  uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + kBootBlockKey[i % 16]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  std::vector<uint8_t> stream(512);
  for (int n = 0, i = 0, j = 0; n < 512; ++n) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    stream[n] = s[(s[i] + s[j]) & 0xFF];
  }

  std::vector<uint8_t> zeros(512, 0);
  Rc4Crypt(zeros);
  EXPECT_EQ(zeros, stream);
}

}  // namespace
}  // namespace imgweld
