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

 private:
  void Fail();

  FILE* stream_ = nullptr;
  std::string path_;
  int error_ = 0;
  bool writeFailed_ = false;
};

}  // namespace imgweld
