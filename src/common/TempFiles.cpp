#include "common/TempFiles.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace imgweld {
namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// A run holds at most a few temporary files at once (the pack its image and
// hash file, the unpack one output file).
constexpr int kSlots = 8;

enum SlotState : int {
  kFree = 0,
  kFilling = 1,  // being written by the run; the handler passes over it
  kReady = 2,
};

// Lock-free atomics are the only shared state the handler may read safely.
static_assert(std::atomic<int>::is_always_lock_free);

struct Slot {
  std::atomic<int> state{kFree};
  int dirFd = -1;
  char name[NAME_MAX + 1] = {};
};

Slot slots[kSlots];

sigset_t CleanupSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int number : kCleanupSignals) sigaddset(&set, number);
  return set;
}

void RemoveTempFilesAndReraise(int number) {
  for (Slot& slot : slots) {
    if (slot.state.load(std::memory_order_acquire) == kReady) unlinkat(slot.dirFd, slot.name, 0);
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(number, &action, nullptr);
  // The signal stays blocked while the handler runs; it takes its default
  // action as soon as the handler returns.
  raise(number);
}

}  // namespace

void InstallTempFileCleanup() {
  struct sigaction action {};
  action.sa_handler = RemoveTempFilesAndReraise;
  action.sa_mask = CleanupSignalSet();
  for (const int number : kCleanupSignals) {
    struct sigaction previous {};
    if (sigaction(number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    sigaction(number, &action, nullptr);
  }
}

bool RegisterTempFile(int dirFd, const char* name, int& slot) {
  const size_t length = std::strlen(name);
  if (length >= sizeof(Slot::name)) return false;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    slots[i].dirFd = dirFd;
    std::memcpy(slots[i].name, name, length + 1);
    slots[i].state.store(kReady, std::memory_order_release);
    slot = i;
    return true;
  }
  return false;
}

void UnregisterTempFile(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  slots[slot].state.store(kFree, std::memory_order_release);
}

CleanupSignalsBlocked::CleanupSignalsBlocked() {
  const sigset_t set = CleanupSignalSet();
  sigprocmask(SIG_BLOCK, &set, &previous_);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace imgweld
