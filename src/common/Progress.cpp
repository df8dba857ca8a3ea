#include "common/Progress.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace imgweld {
namespace {

// A terminal redrawn more often than this only flickers.
constexpr std::chrono::milliseconds kRedrawInterval(200);

std::string Size(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

}  // namespace

Progress::Progress(Output& out, std::string what, uint64_t total)
    : out_(out),
      what_(std::move(what)),
      total_(total),
      shown_(out.DiagnosticsAreTerminal()),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {
  if (shown_) Draw();
}

Progress::~Progress() { Finish(); }

void Progress::Advance(uint64_t bytes) {
  done_ += bytes;
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  Draw();
}

void Progress::Finish() {
  if (!shown_) return;
  Draw();
  out_.SetStatusLine("");
  shown_ = false;
}

void Progress::Draw() {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  out_.SetStatusLine(Line(what_, done_, total_, seconds));
}

std::string Progress::Line(const std::string& what, uint64_t done, uint64_t total, double seconds) {
  const unsigned percent =
      total == 0 ? 100u : static_cast<unsigned>(std::min<uint64_t>(done, total) * 100 / total);
  std::string line = std::string("imgweld: ").append(what).append(": ");
  line.append(Size(static_cast<double>(done)))
      .append(" of ")
      .append(Size(static_cast<double>(total)));
  char tail[64];
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  std::snprintf(tail, sizeof tail, " (%u%%), %s/s", percent, Size(rate).c_str());
  return line.append(tail);
}

}  // namespace imgweld
