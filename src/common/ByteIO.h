#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace imgweld {

// Little-endian field access over a byte buffer. Each access names its
// absolute byte offset, so a record's encoder reads like its layout table.
// An access that would leave the buffer touches nothing and marks the
// reader or writer as failed; Ok() tells afterwards.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<uint8_t> bytes) : bytes_(bytes) {}

  void U8(size_t offset, uint8_t value) { Put(offset, value, 1); }
  void U16(size_t offset, uint16_t value) { Put(offset, value, 2); }
  void U32(size_t offset, uint32_t value) { Put(offset, value, 4); }
  void U64(size_t offset, uint64_t value) { Put(offset, value, 8); }
  void Bytes(size_t offset, std::span<const uint8_t> data) {
    if (!Fits(offset, data.size())) return;
    if (!data.empty()) std::memcpy(bytes_.data() + offset, data.data(), data.size());
  }
  void Zero(size_t offset, size_t length) {
    if (!Fits(offset, length)) return;
    if (length != 0) std::memset(bytes_.data() + offset, 0, length);
  }

  bool Ok() const { return ok_; }

 private:
  bool Fits(size_t offset, size_t length) {
    if (offset > bytes_.size() || length > bytes_.size() - offset) ok_ = false;
    return ok_;
  }
  void Put(size_t offset, uint64_t value, size_t width) {
    if (!Fits(offset, width)) return;
    for (size_t i = 0; i < width; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }

  std::span<uint8_t> bytes_;
  bool ok_ = true;
};

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  uint8_t U8(size_t offset) { return static_cast<uint8_t>(Get(offset, 1)); }
  uint16_t U16(size_t offset) { return static_cast<uint16_t>(Get(offset, 2)); }
  uint32_t U32(size_t offset) { return static_cast<uint32_t>(Get(offset, 4)); }
  uint64_t U64(size_t offset) { return Get(offset, 8); }
  // Copies `out.size()` bytes from `offset`; zero-fills `out` when they are not there.
  void Bytes(size_t offset, std::span<uint8_t> out) {
    if (!Fits(offset, out.size())) {
      if (!out.empty()) std::memset(out.data(), 0, out.size());
      return;
    }
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  }

  bool Ok() const { return ok_; }

 private:
  bool Fits(size_t offset, size_t length) {
    if (offset > bytes_.size() || length > bytes_.size() - offset) ok_ = false;
    return ok_;
  }
  uint64_t Get(size_t offset, size_t width) {
    if (!Fits(offset, width)) return 0;
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
      value |= static_cast<uint64_t>(bytes_[offset + i]) << (8 * i);
    return value;
  }

  std::span<const uint8_t> bytes_;
  bool ok_ = true;
};

}  // namespace imgweld
