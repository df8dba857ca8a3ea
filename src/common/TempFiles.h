#pragma once

#include <signal.h>

namespace imgweld {

// The temporary files of a run are known process-wide, so that a run ended
// by a signal removes them before it dies: an interrupted run leaves no file
// behind that it had not finished. The handler touches nothing but fixed
// storage and unlinkat, both safe in a signal handler.

// Installs the handler for SIGINT, SIGTERM, SIGHUP and SIGPIPE: it removes
// every registered temporary file, restores the signal's default action and
// raises the signal again, so the run still ends the way the signal says
// (callers and shells see the same status). A signal that the process was
// started with ignored (as under nohup) stays ignored. Called once, from the
// program's entry.
void InstallTempFileCleanup();

// The slot of no registered file.
inline constexpr int kNoTempFileSlot = -1;

// Records the temporary file `name` inside the directory open as `dirFd`
// (which must stay open until the file is unregistered) and sets `slot` to
// the slot to unregister. False, with `slot` untouched, when the name is too
// long or every slot is taken: the file would not be cleaned up, so the
// caller does not keep it. Call it while a `CleanupSignalsBlocked` is alive,
// right after creating the file, so that no signal can fall between the two.
bool RegisterTempFile(int dirFd, const char* name, int& slot);
// Forgets the file of `slot` (after it was renamed or removed);
// kNoTempFileSlot is ignored.
void UnregisterTempFile(int slot);

// Holds off the cleanup signals for its lifetime: a signal arriving
// meanwhile is handled when the object goes away.
class CleanupSignalsBlocked {
 public:
  CleanupSignalsBlocked();
  ~CleanupSignalsBlocked();
  CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
  CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace imgweld
