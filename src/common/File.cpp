#include "common/File.h"

#include <cerrno>
#include <unistd.h>

#include <utility>

namespace imgweld {

File::~File() {
  if (stream_ != nullptr) std::fclose(stream_);
}

File::File(File&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      path_(std::move(other.path_)),
      error_(other.error_),
      writeFailed_(other.writeFailed_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = std::exchange(other.stream_, nullptr);
    path_ = std::move(other.path_);
    error_ = other.error_;
    writeFailed_ = other.writeFailed_;
  }
  return *this;
}

void File::Fail() { error_ = errno != 0 ? errno : EIO; }

bool File::Open(const std::string& path, const char* mode) {
  if (stream_ != nullptr) std::fclose(stream_);
  path_ = path;
  error_ = 0;
  writeFailed_ = false;
  errno = 0;
  stream_ = std::fopen(path.c_str(), mode);
  if (stream_ == nullptr) {
    Fail();
    return false;
  }
  return true;
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
  return false;
}

bool File::Write(const void* data, size_t size) {
  if (size == 0) return true;
  errno = 0;
  if (std::fwrite(data, 1, size, stream_) == size) return true;
  Fail();
  writeFailed_ = true;
  return false;
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

}  // namespace imgweld
