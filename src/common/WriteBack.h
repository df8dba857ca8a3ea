#pragma once

#include <cstdint>
#include <memory>

namespace imgweld {

// Moves a file's written bytes to the disk while the writer goes on.
// Every output is synced before it takes its name; left alone, the kernel
// writes little back before that sync, and the run then waits at its end
// for the whole file to be written and for the disk to flush its cache,
// which on a virtual disk costs time in proportion to everything written
// since the last flush. Told how far the writer has got, this has a helper
// thread sync the file every few MiB, so the final sync finds almost nothing
// left, and drop what is on disk from the page cache, so a multi-GiB output
// does not fill memory with pages nobody reads again. A writer that gets
// too far ahead of the disk waits for it here, not at the end.
//
// Only an aid: the final fsync stays what makes a file durable. A sync
// that fails reports the error once and clears it for the file's later
// syncs, so such a failure is kept here and must fail the file (Stop()).
class WriteBack {
 public:
  WriteBack();
  ~WriteBack();
  WriteBack(WriteBack&& other) noexcept;
  WriteBack& operator=(WriteBack&& other) noexcept;

  // Ends the helper of the file before and starts over for a file written
  // from its first byte.
  void Reset();

  // The writer has handed the kernel the bytes of `fd` below `end`.
  // Writing goes on towards higher positions; bytes written again behind
  // the reported end are left to the final sync.
  void Reached(int fd, uint64_t end);

  // Waits for the helper and ends it. Returns the system error number of a
  // failed sync, 0 when none failed.
  int Stop();

  // The system error number of a failed sync seen so far; 0 when none.
  int Error() const { return error_; }

 private:
  struct Helper;
  bool StartHelper(int fd);

  std::unique_ptr<Helper> helper_;
  uint64_t requested_ = 0;  // the helper was asked to sync every byte below
  int error_ = 0;
  bool off_ = false;  // no helper could be had; only the final sync is left
};

}  // namespace imgweld
