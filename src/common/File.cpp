#include "common/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "common/Output.h"

namespace imgweld {

File::~File() {
  if (stream_ != nullptr) std::fclose(stream_);
}

File::File(File&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      path_(std::move(other.path_)),
      error_(other.error_),
      failed_(other.failed_),
      refusedKind_(other.refusedKind_),
      writeFailed_(other.writeFailed_),
      writeBackOn_(other.writeBackOn_),
      unreported_(other.unreported_),
      writeBack_(std::move(other.writeBack_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = std::exchange(other.stream_, nullptr);
    path_ = std::move(other.path_);
    error_ = other.error_;
    failed_ = other.failed_;
    refusedKind_ = other.refusedKind_;
    writeFailed_ = other.writeFailed_;
    writeBackOn_ = other.writeBackOn_;
    unreported_ = other.unreported_;
    writeBack_ = std::move(other.writeBack_);
  }
  return *this;
}

// A step that fails without an error number of its own (a close after a
// failed write, say) keeps the number of the failure before it.
void File::Fail() {
  error_ = errno != 0 ? errno : error_ != 0 ? error_ : EIO;
  failed_ = true;
}

namespace {

// The kind of a file that cannot serve as an input, or null for a regular
// file or block device.
const char* RefusedInputKind(mode_t mode) {
  if (S_ISREG(mode) || S_ISBLK(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  return "a file of another kind";
}

// A plain blocking open of a FIFO waits for a writer, for ever when none
// comes; opening without blocking returns at once whatever the file is.
// Blocking is switched back on for the reads. When `checkKind` is set, the
// file's kind is checked on the open descriptor (so a file swapped in
// between is seen as it is) and anything but a regular file or block device
// is refused. On failure returns -1 with errno set, and `refusedKind` set
// when the file was opened but is of the wrong kind.
int OpenForReading(const std::string& path, bool checkKind, const char*& refusedKind) {
  refusedKind = nullptr;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  int error = 0;
  if (checkKind && fstat(fd, &status) != 0) {
    error = errno;
  } else if (checkKind && (refusedKind = RefusedInputKind(status.st_mode)) != nullptr) {
    error = S_ISDIR(status.st_mode) ? EISDIR : ESPIPE;
  } else {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) error = errno;
  }
  if (error == 0) return fd;
  close(fd);
  errno = error;
  return -1;
}

}  // namespace

bool File::Open(const std::string& path, const char* mode) {
  if (std::string_view(mode) == "rb") return OpenReading(path, false);
  if (stream_ != nullptr) std::fclose(stream_);
  path_ = path;
  StopWriteBack();
  error_ = 0;
  failed_ = false;
  refusedKind_ = nullptr;
  writeFailed_ = false;
  errno = 0;
  stream_ = std::fopen(path.c_str(), mode);
  if (stream_ == nullptr) {
    Fail();
    return false;
  }
  return true;
}

bool File::OpenInput(const std::string& path) { return OpenReading(path, true); }

bool File::OpenReading(const std::string& path, bool checkKind) {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  path_ = path;
  StopWriteBack();
  error_ = 0;
  failed_ = false;
  refusedKind_ = nullptr;
  writeFailed_ = false;
  errno = 0;
  const int fd = OpenForReading(path, checkKind, refusedKind_);
  if (fd < 0) {
    Fail();
    return false;
  }
  return Adopt(fd, path, "rb");
}

bool File::Adopt(int fd, const std::string& path, const char* mode) {
  if (stream_ != nullptr) std::fclose(stream_);
  path_ = path;
  StopWriteBack();
  error_ = 0;
  failed_ = false;
  refusedKind_ = nullptr;
  writeFailed_ = false;
  errno = 0;
  stream_ = fdopen(fd, mode);
  if (stream_ == nullptr) {
    Fail();
    close(fd);
    return false;
  }
  return true;
}

std::string File::FailureText() const {
  if (refusedKind_ != nullptr) return std::string("is ") + refusedKind_ + ", not a regular file";
  return SystemErrorText(error_);
}

size_t File::Read(void* data, size_t size) {
  if (size == 0) return 0;
  errno = 0;
  const size_t got = std::fread(data, 1, size, stream_);
  if (got < size && std::ferror(stream_)) Fail();
  return got;
}

bool File::ReadExact(void* data, size_t size) {
  if (Read(data, size) == size) return true;
  if (error_ == 0) error_ = EIO;
  failed_ = true;
  return false;
}

bool File::Write(const void* data, size_t size) {
  if (size == 0) return true;
  errno = 0;
  if (std::fwrite(data, 1, size, stream_) == size) {
    if (writeBackOn_) NoteWritten(size);
    return true;
  }
  Fail();
  writeFailed_ = true;
  return false;
}

void File::WriteBackAsWritten() {
  writeBackOn_ = true;
  unreported_ = 0;
  writeBack_.Reset();
}

// A sync of the helper that failed counts as a failed write of the file.
void File::StopWriteBack() {
  const int error = writeBack_.Stop();
  writeBackOn_ = false;
  if (error != 0 && !writeFailed_) {
    error_ = error;
    writeFailed_ = true;
  }
}

// The stream hands large writes to the kernel at once and small ones when
// its buffer fills; where the kernel's file position stands after some
// MiB is what has reached the file.
void File::NoteWritten(size_t size) {
  static constexpr uint64_t kReportEvery = uint64_t{1} << 20;
  unreported_ += size;
  if (unreported_ < kReportEvery) return;
  unreported_ = 0;
  const off_t position = lseek(fileno(stream_), 0, SEEK_CUR);
  if (position >= 0) WroteUpTo(static_cast<uint64_t>(position));
}

void File::WroteUpTo(uint64_t end) {
  if (!writeBackOn_ || stream_ == nullptr) return;
  writeBack_.Reached(fileno(stream_), end);
  if (writeBack_.Error() != 0 && !writeFailed_) {
    error_ = writeBack_.Error();
    writeFailed_ = true;
  }
}

bool File::Seek(uint64_t position) {
  errno = 0;
  if (position > static_cast<uint64_t>(INT64_MAX) ||
      fseeko(stream_, static_cast<off_t>(position), SEEK_SET) != 0) {
    Fail();
    return false;
  }
  return true;
}

bool File::SeekEnd() {
  errno = 0;
  if (fseeko(stream_, 0, SEEK_END) != 0) {
    Fail();
    return false;
  }
  return true;
}

std::optional<uint64_t> File::Tell() {
  errno = 0;
  const off_t position = ftello(stream_);
  if (position < 0) {
    Fail();
    return std::nullopt;
  }
  return static_cast<uint64_t>(position);
}

std::optional<uint64_t> File::Length() {
  if (!SeekEnd()) return std::nullopt;
  return Tell();
}

bool File::Flush() {
  errno = 0;
  if (std::fflush(stream_) != 0) {
    Fail();
    writeFailed_ = true;
    return false;
  }
  return true;
}

bool File::Truncate(uint64_t length) {
  if (!Flush()) return false;
  errno = 0;
  if (length > static_cast<uint64_t>(INT64_MAX) ||
      ftruncate(fileno(stream_), static_cast<off_t>(length)) != 0) {
    Fail();
    return false;
  }
  return true;
}

bool File::Close() {
  StopWriteBack();
  if (stream_ == nullptr) return !writeFailed_;
  errno = 0;
  const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
  if (!flushed) Fail();
  errno = 0;
  const bool closed = std::fclose(stream_) == 0;
  if (!closed && flushed) Fail();
  stream_ = nullptr;
  if (!flushed) writeFailed_ = true;
  return flushed && closed && !writeFailed_;
}

bool File::IsRegularFile() {
  struct stat status;
  return stream_ != nullptr && fstat(fileno(stream_), &status) == 0 && S_ISREG(status.st_mode);
}

namespace {

// One kernel copy call moves at most this much, well below the kernel's own
// per-call limit. A target written back as it goes gets smaller calls, so
// that its write-back follows the copy.
constexpr uint64_t kKernelCopyChunk = uint64_t{1} << 30;
constexpr uint64_t kWrittenBackCopyChunk = uint64_t{4} << 20;

// The kernel's part of a copy: advances both offsets by what it copied and
// returns what is left. Any refusal (files on different file systems, a
// device, a kernel without the call) or an early end of the source just stops
// it; the plain path that takes over meets real failures again and reports
// them as failed reads or writes.
uint64_t CopyInKernel(int in, off64_t& inOffset, File& target, off64_t& outOffset,
                      uint64_t length) {
  const uint64_t most = target.WritesBack() ? kWrittenBackCopyChunk : kKernelCopyChunk;
  const int out = fileno(target.Stream());
  while (length != 0) {
    const size_t request = static_cast<size_t>(std::min(length, most));
    const ssize_t copied = copy_file_range(in, &inOffset, out, &outOffset, request, 0);
    if (copied <= 0) break;
    length -= static_cast<uint64_t>(copied);
    target.WroteUpTo(static_cast<uint64_t>(outOffset));
  }
  return length;
}

}  // namespace

bool CopyFileBytes(File& source, uint64_t sourceOffset, File& target, uint64_t targetOffset,
                   uint64_t length, size_t bufferSize) {
  // Bytes still waiting in the target's buffer would land after the kernel's
  // copy and overwrite it.
  if (!target.Flush()) return false;
  uint64_t remaining = length;
  uint64_t inPosition = sourceOffset;
  uint64_t outPosition = targetOffset;
  constexpr uint64_t kOffsetLimit = static_cast<uint64_t>(INT64_MAX);
  if (remaining != 0 && sourceOffset <= kOffsetLimit && targetOffset <= kOffsetLimit) {
    off64_t inOffset = static_cast<off64_t>(sourceOffset);
    off64_t outOffset = static_cast<off64_t>(targetOffset);
    remaining = CopyInKernel(fileno(source.Stream()), inOffset, target, outOffset, remaining);
    inPosition = static_cast<uint64_t>(inOffset);
    outPosition = static_cast<uint64_t>(outOffset);
  }
  // The kernel copied with explicit offsets, so neither stream's position
  // moved; both are set to where the copy has got to.
  if (!source.Seek(inPosition)) return false;
  if (!target.Seek(outPosition)) return false;
  if (remaining == 0) return true;

  bufferSize = std::max<size_t>(bufferSize, 1);
  const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(bufferSize);
  while (remaining != 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(remaining, bufferSize));
    if (!source.ReadExact(buffer.get(), chunk)) return false;
    if (!target.Write(buffer.get(), chunk)) return false;
    remaining -= chunk;
  }
  return true;
}

}  // namespace imgweld
