#include "common/FileIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace imgweld {
namespace {

FileId IdOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

}  // namespace

std::optional<FileId> FileIdOf(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return std::nullopt;
  return IdOf(status);
}

std::optional<FileId> FileIdOf(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  return IdOf(status);
}

std::optional<FileId> EntryIdOf(int dirFd, const std::string& name) {
  struct stat status;
  if (fstatat(dirFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return IdOf(status);
}

bool IsSameFile(const std::string& pathA, const std::string& pathB) {
  const std::optional<FileId> a = FileIdOf(pathA);
  return a && a == FileIdOf(pathB);
}

bool IsSameFile(const std::string& path, int fd) {
  const std::optional<FileId> a = FileIdOf(path);
  return a && a == FileIdOf(fd);
}

bool IsSameFile(int fdA, int fdB) {
  const std::optional<FileId> a = FileIdOf(fdA);
  return a && a == FileIdOf(fdB);
}

}  // namespace imgweld
