#pragma once

#include <pthread.h>

#include <atomic>
#include <csignal>
#include <system_error>
#include <thread>
#include <utility>

namespace imgweld {

// How many of the next thread starts are refused as if the system had no
// thread to give (EAGAIN under a process or memory limit); every helper must
// then do its work on the calling thread. Set by tests that show a run is
// the same without its helpers; left at 0 otherwise.
inline std::atomic<int> refuseQuietThreadStarts{0};
// Thread starts refused so far through refuseQuietThreadStarts.
inline std::atomic<int> refusedQuietThreadStarts{0};

// Starts `thread` running `body` with every signal blocked, so that signals
// reach the main thread alone: the cleanup of temporary files counts on
// blocking them there while a file is created and not yet registered.
// False, with `thread` not started, when the system has no thread to give.
template <typename Body>
bool StartQuietThread(std::thread& thread, Body&& body) {
  for (int left = refuseQuietThreadStarts.load(); left > 0;) {
    if (refuseQuietThreadStarts.compare_exchange_weak(left, left - 1)) {
      ++refusedQuietThreadStarts;
      return false;
    }
  }
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool started = true;
  try {
    thread = std::thread(std::forward<Body>(body));
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

}  // namespace imgweld
