#include "common/Directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace imgweld {

Directory::~Directory() { Close(); }

Directory::Directory(Directory&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      error_(other.error_),
      locked_(std::exchange(other.locked_, false)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    error_ = other.error_;
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

bool Directory::Open(const std::string& path) {
  Close();
  path_ = path;
  error_ = 0;
  // O_DIRECTORY refuses anything else before it is opened, so a FIFO under
  // the name cannot hold the open up.
  fd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0 && errno == EACCES) {
    // Creating and renaming entries needs write and search rights only.
    fd_ = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  return true;
}

void Directory::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  locked_ = false;
}

std::string Directory::PathOf(const std::string& name) const {
  if (path_.empty() || path_.back() == '/') return path_ + name;
  return path_ + "/" + name;
}

bool Directory::Lock() {
  int result;
  do {
    result = flock(fd_, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  locked_ = result == 0;
  error_ = locked_ ? 0 : errno;
  return locked_;
}

bool Directory::TryLock() {
  locked_ = flock(fd_, LOCK_EX | LOCK_NB) == 0;
  error_ = locked_ ? 0 : errno;
  return locked_;
}

void Directory::Unlock() {
  if (locked_) flock(fd_, LOCK_UN);
  locked_ = false;
}

void Directory::Sync() {
  if (fd_ >= 0) fsync(fd_);
}

void HoldDirectoryLock(Directory& dir, Output& out) {
  if (dir.TryLock() || dir.Error() != EWOULDBLOCK) return;
  out.Note(dir.Path(), "waiting for another run writing into this directory to finish");
  dir.Lock();
}

}  // namespace imgweld
