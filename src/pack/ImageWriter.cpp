#include "pack/ImageWriter.h"

#include <algorithm>
#include <array>
#include <utility>

namespace imgweld {
namespace {

constexpr size_t kFillBufferSize = 16384;

}  // namespace

ImageWriter::ImageWriter(File& image, std::string displayPath, uint8_t fillByte, Output& out)
    : image_(image), displayPath_(std::move(displayPath)), fillByte_(fillByte), out_(out) {}

bool ImageWriter::FillToOffset(uint32_t offset) {
  const std::optional<uint64_t> length = Length();
  if (!length) return false;
  if (*length >= offset) return Seek(offset);
  return AppendFill(*length, offset);
}

bool ImageWriter::AppendFill(uint64_t length, uint64_t target) {
  // Every gap of the image is made here, so how a gap reaches the disk is
  // decided in one place. The image is at its end after Length(); gaps of any
  // length go out through one 16 KiB buffer.
  std::array<uint8_t, kFillBufferSize> fill;
  fill.fill(fillByte_);
  uint64_t remaining = target - length;
  while (remaining > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(remaining, fill.size()));
    if (!Write(std::span<const uint8_t>(fill.data(), chunk))) return false;
    remaining -= chunk;
  }
  return true;
}

bool ImageWriter::Write(std::span<const uint8_t> data) {
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
  return length;
}

void ImageWriter::ReportWriteFailure() {
  out_.Printf("Packing Error:Writing %s failed, err=%d!\r\n", displayPath_.c_str(), image_.Error());
}

void ImageWriter::ReportSeekFailure() {
  out_.Printf("Packing Error:Seeking %s failed, err=%d!\r\n", displayPath_.c_str(), image_.Error());
}

uint64_t GetStreamLength(File* file) {
  if (file == nullptr || !file->IsOpen()) return kNoLength;
  return file->Length().value_or(kNoLength);
}

}  // namespace imgweld
