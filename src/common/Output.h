#pragma once

#include <cstdint>
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

  // A diagnostic beside the messages of standard output: "imgweld: <where>: <what>"
  // and a line feed, on standard error, which no caller compares; standard
  // output stays exactly as it is.
  void Note(std::string_view where, std::string_view what);
  // The same with a formatted <what>.
  void Diagnose(std::string_view where, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  // The system's reason for a failed call on `where`, beside the error line
  // of standard output that gives only its number ("err=%d").
  void NoteSystemError(std::string_view where, int error);

  // Where diagnostics go, verbatim: standard error unless a sink keeps them.
  virtual void WriteDiagnostic(std::string_view text);
  // Whether diagnostics reach a terminal, where a line may be redrawn.
  virtual bool DiagnosticsAreTerminal() const { return false; }
  // Shows `line` as the one status line at the bottom of the terminal, in
  // place of the previous one; an empty line clears it. Other output is
  // written above it. Nothing where diagnostics are not a terminal.
  virtual void SetStatusLine(std::string_view /*line*/) {}
};

// The system's text for an error number ("No such file or directory"); a
// call that failed without setting one is still said to have failed.
std::string SystemErrorText(int error);

// printf into a string, of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A 64-bit count as printf's %llu and %llx take it.
inline unsigned long long Ull(uint64_t value) { return static_cast<unsigned long long>(value); }

class StdoutOutput final : public Output {
 public:
  void Write(std::string_view text) override;
  void WriteDiagnostic(std::string_view text) override;
  bool DiagnosticsAreTerminal() const override;
  void SetStatusLine(std::string_view line) override;

 private:
  void EraseStatusLine();
  void DrawStatusLine();

  std::string status_;
};

class StringOutput final : public Output {
 public:
  void Write(std::string_view text) override { text_.append(text); }
  void WriteDiagnostic(std::string_view text) override { diagnostics_.append(text); }
  const std::string& Text() const { return text_; }
  // The diagnostics, kept apart from the messages as standard error is.
  const std::string& Diagnostics() const { return diagnostics_; }
  void Clear() {
    text_.clear();
    diagnostics_.clear();
  }

 private:
  std::string text_;
  std::string diagnostics_;
};

// Takes what a command leaves out of another's output, such as -P's progress
// lines when a listing or a check plans a configuration.
class DiscardedOutput final : public Output {
 public:
  void Write(std::string_view) override {}
  void WriteDiagnostic(std::string_view) override {}
};

}  // namespace imgweld
