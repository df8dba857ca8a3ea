#pragma once

#include <string>

#include "common/Directory.h"
#include "common/File.h"

namespace imgweld {

// An output file that appears under its name only when it is complete.
// It is written under a temporary name in the same directory (created
// anew, never through an existing file or link, with the permissions of any
// new file under the umask) and Commit() renames it over the final name.
// Whatever stood under that name before (a file, a symbolic link, a dangling
// link, a hard link, a FIFO) is replaced as a directory entry; a file a link
// led to is never touched. Until Commit() succeeds the final name keeps what
// it held; the destructor removes an uncommitted temporary file, and the
// signal cleanup (common/TempFiles.h) removes it when a signal ends the run.
// Temporary names never appear in messages: Path() and the stream's Path()
// are the final path.
//
// Use: Create, write through Stream(), Finish (flush, sync, close: write
// failures show here), then Commit (rename).
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file for the final name `name` (a plain name,
  // without "/") inside `dir`. False with Error() set when it cannot be
  // created; nothing is left behind then.
  bool Create(const Directory& dir, const std::string& name);
  // The same for the file `path`: the temporary file goes into the
  // directory of `path`.
  bool Create(const std::string& path);

  // The open temporary file, for reading and writing, named Path().
  File& Stream() { return file_; }
  // The final path, for messages.
  const std::string& Path() const { return path_; }
  // The system error number of the last failed step.
  int Error() const { return error_; }

  // Flushes the data to disk and closes the file. False when a write, the
  // sync or the close failed (or an earlier write on Stream() did); the
  // temporary file is removed then. Calling it again returns the same.
  bool Finish();
  // Finishes when not done yet, then renames the file over its final name.
  // False when finishing or the rename failed (IsFinished() tells which);
  // the temporary file is removed and the final name keeps what it held.
  bool Commit();
  bool IsFinished() const { return finished_; }
  bool IsCommitted() const { return committed_; }
  // Removes the temporary file unless committed; the final name is untouched.
  void Discard();

 private:
  bool CreateIn(int dirFd, const std::string& displayPath, const std::string& name);
  void Release();

  File file_;
  int dirFd_ = -1;  // own descriptor of the directory, for the signal cleanup too
  std::string name_;
  std::string tempName_;
  std::string path_;
  int slot_ = -1;
  int error_ = 0;
  bool finished_ = false;
  bool finishedOk_ = false;
  bool committed_ = false;
};

}  // namespace imgweld
