#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/File.h"

namespace imgweld {

// The bytes of an image being inspected, read at any position. Every read
// names its range, and a range that does not lie wholly inside the measured
// length is refused before anything is read, so a reader can take positions
// from the image itself without ever reading past what it checked.
class ImageSource {
 public:
  virtual ~ImageSource() = default;

  uint64_t Length() const { return length_; }
  // Whether `length` bytes from `offset` lie inside the source.
  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= length_ && length <= length_ - offset;
  }
  // Fills `out` with the bytes at `offset`. False, with `out` zeroed, when
  // they do not all lie inside the source or the read fails.
  bool Read(uint64_t offset, std::span<uint8_t> out);
  // Where bytes other than zero may come next at or after `offset`, at most
  // Length(): every byte before reads as zero (a hole of the file) and need
  // not be read. `offset` itself wherever that is not known.
  virtual uint64_t NextData(uint64_t offset) { return std::min(offset, length_); }

 protected:
  explicit ImageSource(uint64_t length) : length_(length) {}
  // Reads a range already known to lie inside.
  virtual bool ReadInside(uint64_t offset, std::span<uint8_t> out) = 0;

 private:
  uint64_t length_;
};

// Bytes held in memory (the fuzz target and the tests).
class MemorySource final : public ImageSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes)
      : ImageSource(bytes.size()), bytes_(bytes) {}

 private:
  bool ReadInside(uint64_t offset, std::span<uint8_t> out) override;
  std::span<const uint8_t> bytes_;
};

// A file open for reading, measured once; reads fail should it shrink later.
class FileSource final : public ImageSource {
 public:
  FileSource(File& file, uint64_t length) : ImageSource(length), file_(file) {}
  // Asks the file system where the file's holes are (SEEK_DATA).
  uint64_t NextData(uint64_t offset) override;

 private:
  bool ReadInside(uint64_t offset, std::span<uint8_t> out) override;
  File& file_;
};

// What a comparison of an image's bytes found. Bytes that do not lie in the
// image (a cut file) or cannot be read leave it unmade: a fact about the
// image that the readers report as a check, not a failure of the run.
enum class ByteMatch { kEqual, kDiffer, kNotMade };

// Work over a range of the source in fixed chunks, so memory use does not
// grow with the range. Each is kNotMade when a range does not lie in the
// source or a read fails.

// Whether every byte of the range is `value`.
ByteMatch CompareToFill(ImageSource& source, uint64_t offset, uint64_t length, uint8_t value);
// Whether two ranges of the same length hold the same bytes.
ByteMatch CompareRanges(ImageSource& source, uint64_t first, uint64_t second, uint64_t length);

}  // namespace imgweld
