#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace imgweld {

// Where progress and error messages go. Every message of a run passes through
// one sink, so the command line writes to stdout and tests capture the exact bytes.
class Output {
 public:
  virtual ~Output() = default;

  // Writes the text verbatim.
  virtual void Write(std::string_view text) = 0;

  // Writes the text followed by one line feed; texts that end in "\r" thereby
  // end in "\r\n".
  void Line(std::string_view text);

  // Formatted output; the format carries its own line end where it has one.
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

class StdoutOutput final : public Output {
 public:
  void Write(std::string_view text) override;
};

// Diagnostics that stay out of the designed standard output.
class StderrOutput final : public Output {
 public:
  void Write(std::string_view text) override;
};

class StringOutput final : public Output {
 public:
  void Write(std::string_view text) override { text_.append(text); }
  const std::string& Text() const { return text_; }
  void Clear() { text_.clear(); }

 private:
  std::string text_;
};

}  // namespace imgweld
