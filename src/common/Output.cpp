#include "common/Output.h"

#include <cstdarg>
#include <vector>

namespace imgweld {

void Output::Line(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  Write(line);
}

void Output::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed > 0) {
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    Write(std::string_view(buffer.data(), static_cast<size_t>(needed)));
  }
  va_end(args);
}

void StdoutOutput::Write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  // Progress lines must show while a long copy runs, and must not be lost
  // when the process ends through an unexpected path.
  std::fflush(stdout);
}

void StderrOutput::Write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace imgweld
