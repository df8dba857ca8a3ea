#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/Output.h"

namespace imgweld {

// One updating line on the diagnostics stream while a long step runs: bytes
// done of the total, percent and rate. Shown only when the diagnostics go to
// a terminal, so logs and pipes never see it; cleared when the step ends.
class Progress {
 public:
  Progress(Output& out, std::string what, uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Advance(uint64_t bytes);
  // Shows the finished line once more and clears it.
  void Finish();

  // The line as shown for `done` of `total` bytes after `seconds`.
  static std::string Line(const std::string& what, uint64_t done, uint64_t total, double seconds);

 private:
  void Draw();

  Output& out_;
  std::string what_;
  uint64_t total_;
  uint64_t done_ = 0;
  bool shown_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// `progress->Advance(bytes)` for an optional progress line.
inline void Advance(Progress* progress, uint64_t bytes) {
  if (progress != nullptr) progress->Advance(bytes);
}

}  // namespace imgweld
