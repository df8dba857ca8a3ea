#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/File.h"
#include "common/Output.h"
#include "common/Progress.h"
#include "image/Md5.h"

namespace imgweld {

// Length value meaning "no file" or "could not be measured".
inline constexpr uint64_t kNoLength = ~uint64_t{0};

// The open image of a pack run together with the byte that fills every gap
// between the areas written into it. Every writer positions the image through
// this object, so the fill byte belongs to the run, not to the process.
// A failed write or seek is reported here, once, as a "Packing Error:" line
// naming the image; callers only pass the false result on.
class ImageWriter {
 public:
  // `displayPath` is the image's name as the messages print it.
  ImageWriter(File& image, std::string displayPath, uint8_t fillByte, Output& out);

  // Afterwards the image is at least `offset` bytes long and positioned at
  // `offset`: fill bytes are appended when it is shorter; when it is already
  // longer only the position moves and the bytes there stay.
  bool FillToOffset(uint64_t offset);

  // Writes all of `data` at the current position.
  bool Write(std::span<const uint8_t> data);
  // Copies the first `length` bytes of `source` to the current position and
  // leaves the image positioned after them. Holes of a regular `source` stay
  // holes where they land past the image's end. A failed write is reported here;
  // a failed or short read is left to the caller, who knows the source's
  // name. False on either; after a failed read Image().Failed() is not set.
  bool CopyFrom(File& source, uint64_t length);
  bool Seek(uint64_t position);
  // The image's length; leaves it positioned at its end.
  std::optional<uint64_t> Length();

  // From now on every byte that ends up in the image is also fed to an MD5
  // digest while it is written, as long as every write appends to what was
  // written before; a write anywhere else ends that, and Digest() then has
  // nothing to give, so the image must be read back to be hashed.
  void HashWhileWriting();
  // The digest of the image as written, when every byte of it was hashed in
  // order. Ends the hashing.
  std::optional<Md5Digest> Digest();

  // Every byte added to the image from now on advances `progress` (may be null).
  void ShowProgress(Progress* progress) { progress_ = progress; }

  File& Image() { return image_; }
  const std::string& DisplayPath() const { return displayPath_; }
  uint8_t FillByte() const { return fillByte_; }
  Output& Out() { return out_; }

 private:
  // Extends the image from `length` to `target` with fill bytes; the image is
  // positioned at its end.
  bool AppendFill(uint64_t length, uint64_t target);
  bool ExtendWithHole(uint64_t target);
  bool FlushPending();
  // Feeds bytes appended at the current position to the digest.
  void Hash(const uint8_t* data, size_t size);
  void HashRepeated(uint8_t byte, uint64_t count);
  bool Appending() const { return hashing_ && position_ == hashed_; }
  bool CopyAndHash(File& source, uint64_t length, bool holes);
  bool LeaveHole(uint64_t start, uint64_t count);
  void ReportWriteFailure();
  void ReportSeekFailure();

  File& image_;
  std::string displayPath_;
  uint8_t fillByte_;
  Output& out_;

  bool hashing_ = false;
  uint64_t position_ = 0;  // kept while hashing: where the next write lands
  uint64_t hashed_ = 0;    // bytes fed to the digest, all from the image's start
  Md5Pipeline md5_;        // digests on a thread of its own while the image is written
  Progress* progress_ = nullptr;
};

// The length of an open file, leaving it positioned at its end; kNoLength for
// no file (or a file that cannot be measured).
uint64_t GetStreamLength(File* file);

}  // namespace imgweld
