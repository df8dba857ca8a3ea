#include "common/Output.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

namespace imgweld {

void Output::Line(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  Write(line);
}

namespace {

std::string FormatText(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return {};
  std::vector<char> buffer(static_cast<size_t>(needed) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  return std::string(buffer.data(), static_cast<size_t>(needed));
}

}  // namespace

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatText(format, args);
  va_end(args);
  return text;
}

void Output::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatText(format, args);
  va_end(args);
  if (!text.empty()) Write(text);
}

void Output::Diagnose(std::string_view where, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string what = FormatText(format, args);
  va_end(args);
  Note(where, what);
}

std::string SystemErrorText(int error) {
  if (error == 0) return "failed, with no reason given by the system";
  return std::strerror(error);
}

void Output::NoteSystemError(std::string_view where, int error) {
  Note(where, SystemErrorText(error));
}

void Output::Note(std::string_view where, std::string_view what) {
  std::string text = "imgweld: ";
  text.append(where).append(": ").append(what).push_back('\n');
  WriteDiagnostic(text);
}

void Output::WriteDiagnostic(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void StdoutOutput::Write(std::string_view text) {
  EraseStatusLine();
  std::fwrite(text.data(), 1, text.size(), stdout);
  // Progress lines must show while a long copy runs, and must not be lost
  // when the process ends through an unexpected path.
  std::fflush(stdout);
  DrawStatusLine();
}

bool StdoutOutput::DiagnosticsAreTerminal() const { return isatty(STDERR_FILENO) == 1; }

void StdoutOutput::WriteDiagnostic(std::string_view text) {
  // What was printed so far comes first, so the two streams interleave in
  // the order things happened when they share a terminal.
  std::fflush(stdout);
  EraseStatusLine();
  std::fwrite(text.data(), 1, text.size(), stderr);
  DrawStatusLine();
  std::fflush(stderr);
}

void StdoutOutput::SetStatusLine(std::string_view line) {
  EraseStatusLine();
  status_ = line;
  DrawStatusLine();
  std::fflush(stderr);
}

// Back to the start of the line and erase it, so what follows reads as if
// the status line had never been there.
void StdoutOutput::EraseStatusLine() {
  if (!status_.empty()) std::fputs("\r\033[K", stderr);
}

void StdoutOutput::DrawStatusLine() {
  if (status_.empty()) return;
  std::fwrite(status_.data(), 1, status_.size(), stderr);
  std::fflush(stderr);
}

}  // namespace imgweld
