#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

#include "common/WriteBack.h"

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
  // held before. False when the file cannot be opened. Mode "rb" opens
  // without blocking, like OpenInput, but takes files of any kind (devices
  // such as /dev/zero read as data); inputs of the run use OpenInput.
  bool Open(const std::string& path, const char* mode);
  // Opens `path` for reading as an input of the run: a regular file, or a
  // block device, which is measured by seeking like a file. A FIFO, socket,
  // character device or directory is refused (Error() is ESPIPE, or EISDIR
  // for a directory, and FailureText() names what it is): none of them can
  // be measured and read at a position, and a FIFO could leave the run
  // waiting for a writer for ever. The open itself never blocks.
  bool OpenInput(const std::string& path);
  // Takes over `fd`, open for reading and writing, as a stream with the
  // fopen mode `mode`; `path` is the name used in messages. False (and `fd`
  // closed) when no stream can be made of it.
  bool Adopt(int fd, const std::string& path, const char* mode);
  bool IsOpen() const { return stream_ != nullptr; }
  const std::string& Path() const { return path_; }
  int Error() const { return error_; }
  // Whether a call on this stream has failed since it was opened (a short
  // ReadExact included). A copy between two files tells by this which side
  // failed; a failed write-back of a file written back as it goes counts
  // only at Close().
  bool Failed() const { return failed_; }
  // The last failure in words, for a diagnostic naming Path(): what kind of
  // file a refused input is, or the system's text for Error().
  std::string FailureText() const;
  // Whether OpenInput refused the file for its kind.
  bool WasRefused() const { return refusedKind_ != nullptr; }

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

  // From now on what is written to this file is sent on to the disk while
  // writing goes on (common/WriteBack.h), for an output that is synced when
  // complete. A failed write-back fails Close() like a failed write.
  void WriteBackAsWritten();
  // Tells the write-back that the bytes below `end` were written past the
  // stream (by the kernel's copy).
  void WroteUpTo(uint64_t end);
  bool WritesBack() const { return writeBackOn_; }

 private:
  bool OpenReading(const std::string& path, bool checkKind);
  void Fail();
  void NoteWritten(size_t size);
  void StopWriteBack();

  FILE* stream_ = nullptr;
  std::string path_;
  int error_ = 0;
  bool failed_ = false;
  // What a refused input is ("a FIFO", ...); null unless OpenInput refused it.
  const char* refusedKind_ = nullptr;
  bool writeFailed_ = false;
  bool writeBackOn_ = false;
  uint64_t unreported_ = 0;  // bytes written through the stream since the last report
  WriteBack writeBack_;
};

// Copies `length` bytes of `source` from byte `sourceOffset` to `target` at
// byte `targetOffset`, and leaves both streams positioned after them. The
// kernel moves the data where it can (copy_file_range, no pass through user
// memory); where it cannot between these two files, or stops early, the rest
// goes through a heap buffer of `bufferSize` bytes by reading and writing,
// which also tells a real failure from a refused copy. False when a read or
// a write failed: the target's Failed() is set when it failed, and otherwise
// the source failed; the Error() of the side that failed says why, and an
// early end of the source is a failed read with the error EIO. `source` must
// hold no unwritten data; `target` is flushed first.
bool CopyFileBytes(File& source, uint64_t sourceOffset, File& target, uint64_t targetOffset,
                   uint64_t length, size_t bufferSize);

}  // namespace imgweld
