#include "pack/ImageWriter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
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

// The next run of stored data in the first `end` bytes of the file `fd`,
// from `at` on: [from, to). `from` is `end` when only a hole follows; a file
// system that cannot tell gives the whole rest as data.
struct DataRun {
  uint64_t from = 0;
  uint64_t to = 0;
};
DataRun NextDataRun(int fd, uint64_t at, uint64_t end) {
  const off_t data = lseek(fd, static_cast<off_t>(at), SEEK_DATA);
  if (data < 0) return errno == ENXIO ? DataRun{end, end} : DataRun{at, end};
  const uint64_t from = std::min<uint64_t>(static_cast<uint64_t>(data), end);
  const off_t hole = lseek(fd, static_cast<off_t>(from), SEEK_HOLE);
  const uint64_t to = hole < 0 ? end : std::clamp<uint64_t>(static_cast<uint64_t>(hole), from, end);
  // No data where data was just found: the file changed; the rest is data.
  return {from, to > from ? to : end};
}

// Holes are looked for in regular files alone (a device's bytes are data),
// and only when the file still holds the `length` bytes to copy: a file cut
// short must fail its read, not read as a hole.
bool MayHaveHoles(File& source, uint64_t length) {
  struct stat status {};
  return fstat(fileno(source.Stream()), &status) == 0 && S_ISREG(status.st_mode) &&
         static_cast<uint64_t>(status.st_size) >= length;
}

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

// A payload's holes (ranges its file system stores no blocks for) stay holes
// of the image where the image has no bytes yet, as gaps of fill byte 0 do:
// the image takes the disk space of the payload's data. The bytes read the
// same, so the digest is that of every byte.
bool ImageWriter::CopyFrom(File& source, uint64_t length) {
  const bool holes = MayHaveHoles(source, length);
  if (Appending()) return CopyAndHash(source, length, holes);
  hashing_ = false;
  if (!FlushPending()) return false;
  const std::optional<uint64_t> position = image_.Tell();
  if (!position) {
    ReportSeekFailure();
    return false;
  }
  const int fd = fileno(source.Stream());
  for (uint64_t at = 0; at < length;) {
    const DataRun run = holes ? NextDataRun(fd, at, length) : DataRun{at, length};
    if (run.from > at && !LeaveHole(*position + at, run.from - at)) return false;
    if (run.to > run.from && !CopyFileBytes(source, run.from, image_, *position + run.from,
                                            run.to - run.from, kCopyBufferSize)) {
      if (image_.Failed()) ReportWriteFailure();
      return false;
    }
    Advance(progress_, run.to - at);
    at = std::max(run.to, run.from);
  }
  return Seek(*position + length);
}

// The payload's data passes through memory once, to be hashed on its way;
// its holes are hashed as the zero bytes they read as.
bool ImageWriter::CopyAndHash(File& source, uint64_t length, bool holes) {
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(length, kCopyBufferSize)));
  const int fd = fileno(source.Stream());
  for (uint64_t at = 0; at < length;) {
    const DataRun run = holes ? NextDataRun(fd, at, length) : DataRun{at, length};
    if (run.from > at) {
      const uint64_t start = position_;
      HashRepeated(0, run.from - at);
      if (!LeaveHole(start, run.from - at)) return false;
      Advance(progress_, run.from - at);
    }
    if (run.to > run.from && !source.Seek(run.from)) return false;
    for (uint64_t done = run.from; done < run.to;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(run.to - done, buffer.size()));
      if (!source.ReadExact(buffer.data(), n)) return false;
      if (!Write(std::span<const uint8_t>(buffer.data(), n))) return false;
      done += n;
      Advance(progress_, n);
    }
    at = std::max(run.to, run.from);
  }
  return true;
}

// `count` zero bytes at `start`: past the image's end the file is only
// lengthened, leaving a hole; bytes already there are overwritten with
// zeros, as is a device. The image is left positioned after them.
bool ImageWriter::LeaveHole(uint64_t start, uint64_t count) {
  const std::optional<uint64_t> length = image_.IsRegularFile() ? Length() : std::nullopt;
  if (length && *length <= start) {
    if (!image_.Truncate(start + count)) {
      ReportWriteFailure();
      return false;
    }
    return Seek(start + count);
  }
  if (!Seek(start)) return false;
  const bool hashing = hashing_;
  hashing_ = false;  // the caller has hashed these bytes
  const std::vector<uint8_t> zeros(static_cast<size_t>(std::min<uint64_t>(count, kFillBufferSize)));
  bool written = true;
  for (uint64_t left = count; written && left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
    written = Write(std::span<const uint8_t>(zeros.data(), n));
    left -= n;
  }
  hashing_ = hashing;
  position_ = start + count;
  return written;
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
