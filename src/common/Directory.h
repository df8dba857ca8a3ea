#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/FileIdentity.h"
#include "common/Output.h"

namespace imgweld {

// Owns a descriptor of a directory that output files are created in. Files
// are created and renamed relative to it, so they land in the directory that
// was checked even if its path is changed meanwhile; it also carries the
// directory's lock.
class Directory {
 public:
  Directory() = default;
  ~Directory();
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Opens `path` as a directory; false with Error() set when it cannot be
  // opened or is no directory (ENOTDIR). A directory that may be written and
  // entered but not listed is still opened, without a lock or sync.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The path as given to Open.
  const std::string& Path() const { return path_; }
  // The path of `name` inside the directory, as messages show it.
  std::string PathOf(const std::string& name) const;
  int Error() const { return error_; }

  // Takes the directory's advisory lock, waiting while another run holds
  // it. The lock is an exclusive flock on the directory itself, so no lock
  // file is needed, and the system drops it when the process ends however
  // it ends. A directory that may be written but not read cannot be locked
  // that way (a descriptor that cannot read it takes no flock), so there the
  // lock is taken on the file ".imgweld.lock" inside it, created when
  // missing and left in place. A run that can read the directory takes that
  // file's lock too: when it exists, and when the directory's mode lets
  // someone write without reading (it creates the file then), so both kinds
  // of run exclude each other. False with Error() set when no lock can be
  // taken.
  bool Lock();
  // Takes the lock only when nobody holds it; false otherwise (Error() is
  // EWOULDBLOCK when another run holds it).
  bool TryLock();
  void Unlock();
  bool IsLocked() const { return locked_; }

  // Makes the renames done in the directory durable. Best effort: some file
  // systems cannot sync a directory, and a rename is complete without it. A
  // directory that cannot be read is synced with its whole file system, while
  // its lock is held.
  void Sync();

  // From now on, notes the files put into the directory under their final
  // names (common/AtomicFile.h notes them), so that no later output of the
  // run replaces one of them: on a case-folding file system two names that
  // differ in letter case lead to one entry, and one output would be lost.
  void GuardOutputs() { guarded_ = true; }
  void NoteOutput(const FileId& id) const {
    if (guarded_) outputs_.push_back(id);
  }
  // Whether `id` is a file noted so far.
  bool IsOutput(const std::optional<FileId>& id) const;

 private:
  bool TakeLocks(int operation);

  int fd_ = -1;
  int lockFileFd_ = -1;  // the lock file's descriptor while it is locked
  std::string path_;
  int error_ = 0;
  bool locked_ = false;
  bool readable_ = false;  // opened for reading, not only as a path
  // Bookkeeping of what was written through a Directory the writers hold
  // as const; it changes nothing of the directory itself.
  bool guarded_ = false;
  mutable std::vector<FileId> outputs_;
};

// The file a directory that cannot be read is locked through.
inline constexpr const char* kLockFileName = ".imgweld.lock";

// The lock a run that replaces files in `dir` holds from before its first
// temporary file until its last rename, so that two runs into one directory
// end with a complete set of files from one of them. When another run holds
// it, says so on standard error and waits for that run to finish. The lock
// lasts until `dir` is closed or unlocked. False when no lock can be taken
// (the reason goes to standard error); the run must not go on unlocked.
bool HoldDirectoryLock(Directory& dir, Output& out);

}  // namespace imgweld
