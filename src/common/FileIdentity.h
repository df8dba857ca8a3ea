#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace imgweld {

// A file as the system knows it, whatever names lead to it: two paths or
// descriptors are the same file exactly when device and inode agree.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// The file open as `fd`; nothing when it cannot be queried.
std::optional<FileId> FileIdOf(int fd);
// The file `path` leads to, through symbolic links; nothing when it does not
// exist or cannot be reached.
std::optional<FileId> FileIdOf(const std::string& path);
// The directory entry `name` inside the directory open as `dirFd` itself:
// a symbolic link is not followed. This is what a rename onto `name` would
// replace.
std::optional<FileId> EntryIdOf(int dirFd, const std::string& name);

// Whether both lead to one file; false when either cannot be queried.
bool IsSameFile(const std::string& pathA, const std::string& pathB);
bool IsSameFile(const std::string& path, int fd);
bool IsSameFile(int fdA, int fdB);

}  // namespace imgweld
