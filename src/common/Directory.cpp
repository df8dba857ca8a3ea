#include "common/Directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace imgweld {

Directory::~Directory() { Close(); }

Directory::Directory(Directory&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      lockFileFd_(std::exchange(other.lockFileFd_, -1)),
      path_(std::move(other.path_)),
      error_(other.error_),
      locked_(std::exchange(other.locked_, false)),
      readable_(other.readable_),
      guarded_(other.guarded_),
      outputs_(std::move(other.outputs_)) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    lockFileFd_ = std::exchange(other.lockFileFd_, -1);
    path_ = std::move(other.path_);
    error_ = other.error_;
    locked_ = std::exchange(other.locked_, false);
    readable_ = other.readable_;
    guarded_ = other.guarded_;
    outputs_ = std::move(other.outputs_);
  }
  return *this;
}

bool Directory::Open(const std::string& path) {
  Close();
  path_ = path;
  error_ = 0;
  guarded_ = false;
  outputs_.clear();
  // O_DIRECTORY refuses anything else before it is opened, so a FIFO under
  // the name cannot hold the open up.
  fd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  readable_ = fd_ >= 0;
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

bool Directory::IsOutput(const std::optional<FileId>& id) const {
  return id && std::find(outputs_.begin(), outputs_.end(), *id) != outputs_.end();
}

void Directory::Close() {
  Unlock();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string Directory::PathOf(const std::string& name) const {
  if (path_.empty() || path_.back() == '/') return path_ + name;
  return path_ + "/" + name;
}

namespace {

int FlockRetrying(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Whether the owner, the group or the others may create entries in the
// directory without reading it: their runs lock through the lock file, and
// so must a run that could read it, such as one of the superuser.
bool WritableWithoutReading(int dirFd) {
  struct stat status {};
  if (fstat(dirFd, &status) != 0) return false;
  for (const mode_t shift : {6, 3, 0}) {
    const mode_t bits = (status.st_mode >> shift) & 07;
    if ((bits & 03) == 03 && (bits & 04) == 0) return true;
  }
  return false;
}

}  // namespace

bool Directory::Lock() { return TakeLocks(LOCK_EX); }

bool Directory::TryLock() { return TakeLocks(LOCK_EX | LOCK_NB); }

// The directory first, then the lock file: every run takes them in this
// order, so two runs never wait for each other crosswise.
bool Directory::TakeLocks(int operation) {
  Unlock();
  error_ = 0;
  if (fd_ < 0) {
    error_ = EBADF;
    return false;
  }
  if (readable_ && FlockRetrying(fd_, operation) != 0) {
    error_ = errno;
    return false;
  }
  // Only a directory that some run may write to without reading it gets a
  // lock file; elsewhere one left there is honoured. The file is opened for
  // reading only, so a lock file of another user serves as well.
  const int create = !readable_ || WritableWithoutReading(fd_) ? O_CREAT : 0;
  const int fd =
      openat(fd_, kLockFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | create, 0666);
  struct stat status {};
  if (fd < 0 && readable_ && errno == ENOENT) {
    locked_ = true;
    return true;
  }
  if (fd < 0) {
    error_ = errno;
  } else if (fstat(fd, &status) != 0) {
    error_ = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error_ = EINVAL;  // something else under the name: not taken for a lock
  } else if (FlockRetrying(fd, operation) != 0) {
    error_ = errno;
  }
  if (error_ != 0) {
    if (fd >= 0) close(fd);
    if (readable_) flock(fd_, LOCK_UN);
    return false;
  }
  lockFileFd_ = fd;
  locked_ = true;
  return true;
}

void Directory::Unlock() {
  if (lockFileFd_ >= 0) close(lockFileFd_);  // closing drops its lock
  lockFileFd_ = -1;
  if (locked_ && readable_) flock(fd_, LOCK_UN);
  locked_ = false;
}

void Directory::Sync() {
  if (readable_) {
    fsync(fd_);
  } else if (lockFileFd_ >= 0) {
    // A descriptor that cannot read the directory cannot sync it; syncing
    // its whole file system, through the lock file inside it, covers it.
    syncfs(lockFileFd_);
  }
}

bool HoldDirectoryLock(Directory& dir, Output& out) {
  if (dir.TryLock()) return true;
  if (dir.Error() == EWOULDBLOCK) {
    out.Note(dir.Path(), "waiting for another run writing into this directory to finish");
    if (dir.Lock()) return true;
  }
  out.Note(dir.Path(),
           "cannot lock the directory against other runs: " + std::string(strerror(dir.Error())));
  return false;
}

}  // namespace imgweld
