#include "pack/ImageWriter.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace imgweld {
namespace {

// Gaps of a fill byte other than 0 are written from one buffer of at most
// this size; much smaller, and the write calls cost more than the bytes.
constexpr size_t kFillBufferSize = size_t{1} << 18;
// Payloads that the kernel cannot copy go through a buffer of this size: big
// enough that the read and write calls cost little next to moving the bytes.
constexpr size_t kCopyBufferSize = size_t{1} << 20;

}  // namespace

ImageWriter::ImageWriter(File& image, std::string displayPath, uint8_t fillByte, Output& out)
    : image_(image), displayPath_(std::move(displayPath)), fillByte_(fillByte), out_(out) {}

bool ImageWriter::FillToOffset(uint64_t offset) {
  const std::optional<uint64_t> length = Length();
  if (!length) return false;
  if (*length >= offset) return Seek(offset);
  position_ = *length;
  if (!AppendFill(*length, offset)) return false;
  position_ = offset;
  Advance(progress_, offset - *length);
  return true;
}

void ImageWriter::HashWhileWriting() {
  md5_.Init();
  hashing_ = true;
  hashed_ = 0;
  position_ = 0;
}

std::optional<Md5Digest> ImageWriter::Digest() {
  if (!hashing_) return std::nullopt;
  const std::optional<uint64_t> length = Length();
  hashing_ = false;
  if (!length || *length != hashed_) return std::nullopt;
  Md5Digest digest{};
  md5_.Final(digest);
  return digest;
}

void ImageWriter::Hash(const uint8_t* data, size_t size) {
  if (!hashing_) return;
  if (position_ != hashed_) {
    hashing_ = false;  // not an append: the digest would skip or repeat bytes
    return;
  }
  md5_.Update(data, size);
  hashed_ += size;
}

void ImageWriter::HashRepeated(uint8_t byte, uint64_t count) {
  static constexpr size_t kChunk = size_t{1} << 16;
  std::array<uint8_t, kChunk> bytes;
  bytes.fill(byte);
  while (count > 0 && Appending()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, kChunk));
    Hash(bytes.data(), n);
    position_ += n;
    count -= n;
  }
}

bool ImageWriter::AppendFill(uint64_t length, uint64_t target) {
  // Every gap of the image is made here, so how a gap reaches the disk is
  // decided in one place. Zero bytes past the end of a regular file need not
  // be written at all. Anything else (another fill byte; a device, whose
  // bytes there are not zero) is written from the end, where Length() has
  // left the image, through one buffer no longer than the gap.
  if (fillByte_ == 0 && image_.IsRegularFile()) {
    HashRepeated(0, target - length);
    return ExtendWithHole(target);
  }
  uint64_t remaining = target - length;
  const size_t bufferSize = static_cast<size_t>(std::min<uint64_t>(remaining, kFillBufferSize));
  const std::vector<uint8_t> fill(bufferSize, fillByte_);
  while (remaining > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(remaining, fill.size()));
    if (!Write(std::span<const uint8_t>(fill.data(), chunk))) return false;
    remaining -= chunk;
  }
  return true;
}

// A file lengthened by truncation reads as zero bytes up to its new end and
// keeps that range as a hole: no blocks on disk and no bytes to write.
// Only the end moves, so nothing already written is ever cut or punched.
bool ImageWriter::ExtendWithHole(uint64_t target) {
  if (!image_.Truncate(target)) {
    ReportWriteFailure();
    return false;
  }
  return Seek(target);
}

bool ImageWriter::CopyFrom(File& source, uint64_t length) {
  if (Appending()) return CopyAndHash(source, length);
  hashing_ = false;
  if (!FlushPending()) return false;
  const std::optional<uint64_t> position = image_.Tell();
  if (!position) {
    ReportSeekFailure();
    return false;
  }
  if (!CopyFileBytes(source, 0, image_, *position, length, kCopyBufferSize)) {
    if (image_.Failed()) ReportWriteFailure();
    return false;
  }
  Advance(progress_, length);
  return true;
}

// The payload passes through memory once, to be hashed on its way.
bool ImageWriter::CopyAndHash(File& source, uint64_t length) {
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(length, kCopyBufferSize)));
  if (!source.Seek(0)) return false;
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
    if (!source.ReadExact(buffer.data(), n)) return false;
    if (!Write(std::span<const uint8_t>(buffer.data(), n))) return false;
    length -= n;
    Advance(progress_, n);
  }
  return true;
}

bool ImageWriter::Write(std::span<const uint8_t> data) {
  Hash(data.data(), data.size());
  position_ += data.size();
  if (image_.Write(data)) return true;
  ReportWriteFailure();
  return false;
}

bool ImageWriter::FlushPending() {
  // Moving the position hands buffered bytes to the file first; a failure
  // there is a failed write, not a failed seek.
  if (image_.Flush()) return true;
  ReportWriteFailure();
  return false;
}

bool ImageWriter::Seek(uint64_t position) {
  if (!FlushPending()) return false;
  position_ = position;
  if (image_.Seek(position)) return true;
  ReportSeekFailure();
  return false;
}

std::optional<uint64_t> ImageWriter::Length() {
  if (!FlushPending()) return std::nullopt;
  const uint64_t length = GetStreamLength(&image_);
  if (length == kNoLength) {
    ReportSeekFailure();
    return std::nullopt;
  }
  position_ = length;
  return length;
}

void ImageWriter::ReportWriteFailure() {
  out_.Printf("Packing Error:Writing %s failed, err=%d!\r\n", displayPath_.c_str(), image_.Error());
  out_.Note(displayPath_, image_.FailureText());
}

void ImageWriter::ReportSeekFailure() {
  out_.Printf("Packing Error:Seeking %s failed, err=%d!\r\n", displayPath_.c_str(), image_.Error());
  out_.Note(displayPath_, image_.FailureText());
}

uint64_t GetStreamLength(File* file) {
  if (file == nullptr || !file->IsOpen()) return kNoLength;
  return file->Length().value_or(kNoLength);
}

}  // namespace imgweld
