#pragma once

#include <optional>
#include <span>
#include <string>

#include "common/Directory.h"
#include "common/File.h"
#include "common/Output.h"
#include "common/TempFiles.h"

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
// Created in a Directory that guards its outputs (Directory::GuardOutputs),
// the file is noted there once committed, and its commit fails with EEXIST,
// leaving everything as it was, when the final name already leads to a file
// noted there: on a case-folding file system two final names of a run can
// be one entry.
//
// Use: Create, write through Stream(), Finish (flush, sync, close: write
// failures show here), then Commit (rename).
class AtomicFile {
 public:
  // The call that renames a finished file over its final name (renameat's
  // arguments and result). Tests put a failing one in its place to see what a
  // refused rename leaves; returns the call it replaces.
  using RenameCall = int (*)(int, const char*, int, const char*);
  static RenameCall SetRenameCall(RenameCall call);
  // The same for the call that removes a hidden copy of an earlier file
  // (unlinkat's arguments and result).
  using UnlinkCall = int (*)(int, const char*, int);
  static UnlinkCall SetUnlinkCall(UnlinkCall call);

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
  // False when finishing or the rename failed (IsWritten() tells which);
  // the temporary file is removed and the final name keeps what it held.
  bool Commit();
  bool IsFinished() const { return finished_; }
  // Finished with every byte on disk: a later failure was the rename's.
  bool IsWritten() const { return finished_ && finishedOk_; }
  bool IsCommitted() const { return committed_; }
  // Removes the temporary file unless committed; the final name is untouched.
  void Discard();

  // Commits `files` (all created in one directory) as one change: every
  // final name takes its new file, or, when any step fails, every final name
  // holds again what it held before (no file where there was none). The
  // files are finished first, then renamed in order; what stood under each
  // name but the last is kept reachable under a hidden temporary name until
  // every rename has succeeded, and renamed back when a later rename fails.
  // Signals that end the run wait until the sequence is over, so an
  // interrupted run never stops between two renames; only a kill can, and
  // leaves the earlier files renamed and the later ones as they were.
  // Returns files.size() on success, else the index of the file whose step
  // failed (its Error() and IsFinished() tell which step, for the caller's
  // message); every uncommitted temporary file is removed then. An earlier
  // file that cannot be put back either stays under its hidden name, and
  // `out` gets a diagnostic naming that file and where it belongs; so does
  // a hidden copy that cannot be removed once every rename has succeeded
  // (the commit stands).
  static size_t CommitAll(std::span<AtomicFile* const> files, Output& out);

 private:
  bool CreateIn(int dirFd, const std::string& displayPath, const std::string& name);
  void Release();
  // Keeps what stands under the final name reachable under a fresh hidden
  // name (a hard link, or the entry itself moved where links are not made);
  // `kept` stays empty when the name holds nothing. False with Error() set.
  bool KeepPrevious(std::string& kept);
  // Renames the finished file over its final name; false with Error() set.
  bool RenameIntoPlace();
  // Puts back what KeepPrevious kept (or removes the committed file when
  // the name held nothing), after a later file of the set failed. False,
  // with a diagnostic on `out`, when what was kept stays under its hidden
  // name.
  bool Restore(const std::string& kept, Output& out);
  // Removes the hidden copy `kept` of the earlier file; a copy left behind
  // is named on `out`.
  void RemoveKept(const std::string& kept, Output& out);
  // The path of the hidden name `hidden`, beside the final one, for messages.
  std::string HiddenPath(const std::string& hidden) const;

  File file_;
  int dirFd_ = -1;  // own descriptor of the directory, for the signal cleanup too
  std::string name_;
  std::string tempName_;
  std::string path_;
  int slot_ = kNoTempFileSlot;          // of the signal cleanup
  const Directory* outputs_ = nullptr;  // notes the committed file; may be none
  std::optional<FileId> id_;            // the temporary file's, to be noted
  int error_ = 0;
  bool finished_ = false;
  bool finishedOk_ = false;
  bool committed_ = false;
};

}  // namespace imgweld
