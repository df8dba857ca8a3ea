#pragma once

// Helpers for the fault tests: running the built executable as a plain child
// process (under a file-size limit, to be interrupted), as an unprivileged
// user, and the checks every failed run must pass.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
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

// How a child process ended.
struct ChildResult {
  int exitCode = -1;  // when it exited
  int signal = 0;     // the signal that ended it; 0 when it exited
  bool timedOut = false;
  std::string output;  // standard output, byte for byte
};

// The built imgweld started as a plain child process: in `workDir`, with
// every signal at its default action and none blocked (whatever the test
// runner had set), and with no file allowed to grow beyond `fileSizeLimit`
// when one is given. Standard output is captured; standard error goes to
// the test's own. Only the test bounds how long it may run.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& workDir,
        std::optional<uint64_t> fileSizeLimit = std::nullopt) {
    std::vector<std::string> argv = {ImgweldExe()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << errno;
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      // Only calls that are safe between fork and exec.
      dup2(fds[1], STDOUT_FILENO);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int number = 1; number < NSIG; ++number) signal(number, SIG_DFL);
      if (fileSizeLimit) {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(*fileSizeLimit);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
      }
      if (chdir(workDir.c_str()) != 0) _exit(126);
      execv(pointers[0], pointers.data());
      _exit(127);
    }
    close(fds[1]);
    output_ = fds[0];
    if (pid_ < 0) ADD_FAILURE() << "fork: " << errno;
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int number) const { kill(pid_, number); }

  // Collects the output until the child ends; past `timeout` it is killed
  // and the result says so.
  ChildResult Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    ChildResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (output_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd readable{output_, POLLIN, 0};
      const int ready = poll(&readable, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        result.timedOut = true;
        kill(pid_, SIGKILL);
        break;
      }
      const ssize_t got = read(output_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      result.output.append(buffer, static_cast<size_t>(got));
    }
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
      if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }
    pid_ = -1;
    return result;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

// A run whose end is checked like a shell's: a death by signal shows as
// 128 plus the signal, which no expected exit code matches.
inline RunResult AsRunResult(const ChildResult& child) {
  EXPECT_FALSE(child.timedOut) << "still running after the test's time limit";
  EXPECT_EQ(child.signal, 0) << "ended by signal " << child.signal;
  return {child.signal != 0 ? 128 + child.signal : child.exitCode, child.output};
}

// Runs imgweld with no file allowed to grow beyond `bytes`. The child starts
// with SIGXFSZ at its default action, which would kill it at the first write
// past the limit; the program ignores the signal itself, so such a write
// fails with EFBIG the way a full disk makes writes fail.
inline RunResult RunWithFileSizeLimit(uint64_t bytes, const std::vector<std::string>& args,
                                      const std::string& workDir) {
  return AsRunResult(Child(args, workDir, bytes).Wait());
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

// `after` holds exactly the files of `before`, byte for byte: a failed run
// changed nothing there and left no file of its own.
inline void ExpectSameFiles(const std::filesystem::path& before,
                            const std::filesystem::path& after) {
  ASSERT_EQ(Entries(after), Entries(before));
  for (const std::string& name : Entries(before)) {
    EXPECT_EQ(ReadBytes((after / name).string()), ReadBytes((before / name).string())) << name;
  }
}

}  // namespace imgweld::test
