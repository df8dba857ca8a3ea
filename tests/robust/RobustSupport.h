#pragma once

// Helpers for the fault tests: running the built executable under a file-size
// limit or as an unprivileged user, and the checks every failed run must pass.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/TestSupport.h"

namespace imgweld::test {

inline std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string CommandLine(const std::string& exe, const std::vector<std::string>& args) {
  std::string command = Quoted(exe);
  for (const std::string& arg : args) command += " " + Quoted(arg);
  return command;
}

// Every run is bounded in time, so a hang fails the test instead of the suite.
inline constexpr const char* kTimeout = "timeout 60 ";

// Runs imgweld with no file allowed to grow beyond `bytes`. SIGXFSZ is
// ignored, so a write past the limit fails with EFBIG the way a full disk
// makes writes fail, instead of killing the process.
inline RunResult RunWithFileSizeLimit(uint64_t bytes, const std::vector<std::string>& args,
                                      const std::string& workDir) {
  return RunShell("cd " + Quoted(workDir) + " && trap '' XFSZ && exec " + kTimeout +
                  "prlimit --fsize=" + std::to_string(bytes) + " -- " +
                  CommandLine(ImgweldExe(), args));
}

inline RunResult RunBounded(const std::vector<std::string>& args, const std::string& workDir) {
  return RunShell("cd " + Quoted(workDir) + " && exec " + kTimeout +
                  CommandLine(ImgweldExe(), args));
}

// The tests run as root, which reads and writes past any permission bits, so
// permission faults are shown to an unprivileged user. `exe` must be a copy
// of imgweld that user can reach.
inline bool CanDropPrivileges() {
  return RunShell(
             "command -v setpriv >/dev/null 2>&1 && "
             "setpriv --reuid=65534 --regid=65534 --clear-groups -- true")
             .exitCode == 0;
}

inline RunResult RunAsNobody(const std::string& exe, const std::vector<std::string>& args,
                             const std::string& workDir) {
  return RunShell("cd " + Quoted(workDir) + " && exec " + kTimeout +
                  "setpriv --reuid=65534 --regid=65534 --clear-groups -- " +
                  CommandLine(exe, args));
}

inline std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// A failed run: the expected exit code, exactly `count` lines starting with
// `prefix` (one unless a case says otherwise), and such a line last. Returns
// the last line.
inline std::string ExpectErrorLineAtTheEnd(const RunResult& result, int exitCode,
                                           const std::string& prefix, size_t count = 1) {
  EXPECT_EQ(result.exitCode, exitCode) << result.output;
  const std::vector<std::string> lines = Lines(result.output);
  size_t errors = 0;
  for (const std::string& line : lines) errors += line.starts_with(prefix) ? 1 : 0;
  EXPECT_EQ(errors, count) << result.output;
  if (lines.empty()) {
    ADD_FAILURE() << "no output";
    return "";
  }
  EXPECT_TRUE(lines.back().starts_with(prefix)) << result.output;
  return lines.back();
}

// Names of the entries directly inside `dir`, sorted.
inline std::vector<std::string> Entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace imgweld::test
