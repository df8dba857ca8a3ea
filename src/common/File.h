#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace imgweld {

// Owns one buffered file stream. The destructor closes it on every path;
// Close() is the way to learn whether buffered data reached the file.
// Every failing call records the system error number in Error().
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` with an fopen mode ("rb", "wb+", ...). Closes any stream
  // held before. False when the file cannot be opened.
  bool Open(const std::string& path, const char* mode);
  bool IsOpen() const { return stream_ != nullptr; }
  const std::string& Path() const { return path_; }
  int Error() const { return error_; }

  // Reads up to `size` bytes; fewer at the end of the file or on an error.
  size_t Read(void* data, size_t size);
  // True only when all `size` bytes arrived.
  bool ReadExact(void* data, size_t size);
  bool ReadExact(std::span<uint8_t> data) { return ReadExact(data.data(), data.size()); }
  // True only when all `size` bytes were handed to the stream.
  bool Write(const void* data, size_t size);
  bool Write(std::span<const uint8_t> data) { return Write(data.data(), data.size()); }

  bool Seek(uint64_t position);
  bool SeekEnd();
  std::optional<uint64_t> Tell();
  // The file's length; leaves the stream positioned at its end.
  std::optional<uint64_t> Length();
  // Cuts or extends the file to `length` bytes (extension reads as zero bytes
  // and may stay a hole on disk). The stream position is left unchanged.
  bool Truncate(uint64_t length);
  bool Flush();

  // Flushes and closes. False when a buffered write or the close failed,
  // or when an earlier write on this stream failed.
  bool Close();

  FILE* Stream() { return stream_; }
  // Whether the stream is a regular file, not a device, pipe or socket.
  bool IsRegularFile();

 private:
  void Fail();

  FILE* stream_ = nullptr;
  std::string path_;
  int error_ = 0;
  bool writeFailed_ = false;
};

// How a CopyFileBytes call ended.
enum class CopyResult {
  kCopied,
  kReadFailed,   // a read failed or the source ended early; see source.Error()
  kWriteFailed,  // a write failed; see target.Error()
};

// Copies `length` bytes of `source` from byte `sourceOffset` to `target` at
// byte `targetOffset`, and leaves both streams positioned after them. The
// kernel moves the data where it can (copy_file_range, no pass through user
// memory); where it cannot between these two files, or stops early, the rest
// goes through a heap buffer of `bufferSize` bytes by reading and writing,
// which also tells a real failure from a refused copy. An early end of the
// source is a failed read with the error EIO. `source` must hold no unwritten
// data; `target` is flushed first.
CopyResult CopyFileBytes(File& source, uint64_t sourceOffset, File& target, uint64_t targetOffset,
                         uint64_t length, size_t bufferSize);

}  // namespace imgweld
