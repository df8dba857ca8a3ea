#pragma once

#include <pthread.h>

#include <csignal>
#include <system_error>
#include <thread>
#include <utility>

namespace imgweld {

// Starts `thread` running `body` with every signal blocked, so that signals
// reach the main thread alone: the cleanup of temporary files counts on
// blocking them there while a file is created and not yet registered.
// False, with `thread` not started, when the system has no thread to give.
template <typename Body>
bool StartQuietThread(std::thread& thread, Body&& body) {
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
