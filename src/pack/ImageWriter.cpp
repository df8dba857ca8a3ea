#include "pack/ImageWriter.h"

#include <algorithm>
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

bool ImageWriter::FillToOffset(uint32_t offset) {
  const std::optional<uint64_t> length = Length();
  if (!length) return false;
  if (*length >= offset) return Seek(offset);
  return AppendFill(*length, offset);
}

bool ImageWriter::AppendFill(uint64_t length, uint64_t target) {
  // Every gap of the image is made here, so how a gap reaches the disk is
  // decided in one place. Zero bytes past the end of a regular file need not
  // be written at all. Anything else (another fill byte; a device, whose
  // bytes there are not zero) is written from the end, where Length() has
  // left the image, through one buffer no longer than the gap.
  if (fillByte_ == 0 && image_.IsRegularFile()) return ExtendWithHole(target);
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

CopyResult ImageWriter::CopyFrom(File& source, uint64_t length) {
  if (!FlushPending()) return CopyResult::kWriteFailed;
  const std::optional<uint64_t> position = image_.Tell();
  if (!position) {
    ReportSeekFailure();
    return CopyResult::kWriteFailed;
  }
  const CopyResult result = CopyFileBytes(source, 0, image_, *position, length, kCopyBufferSize);
  if (result == CopyResult::kWriteFailed) ReportWriteFailure();
  return result;
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
