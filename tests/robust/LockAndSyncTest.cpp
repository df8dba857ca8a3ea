// The directory lock and the order of the calls that make a file durable,
// watched from outside: a run holding the lock (taken with the call a run
// makes) shuts a second run out, also in a directory that can be written
// but not read by an unprivileged user; each file is synced before its
// rename and the directory after it.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/Directory.h"
#include "robust/RobustSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kUnprivileged = 65534;

bool IsRoot() { return geteuid() == 0; }

// Gives up every right of the superuser; false when that fails.
bool DropToUnprivileged() {
  return setgroups(0, nullptr) == 0 &&
         setresgid(kUnprivileged, kUnprivileged, kUnprivileged) == 0 &&
         setresuid(kUnprivileged, kUnprivileged, kUnprivileged) == 0;
}

// Starts `exe` with `args` in `workDir`, as the unprivileged user when
// asked; its standard output is dropped.
pid_t Spawn(const std::string& exe, const std::vector<std::string>& args,
            const std::string& workDir, bool unprivileged) {
  std::vector<std::string> argv = {exe};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (unprivileged && !DropToUnprivileged()) _exit(125);
    if (chdir(workDir.c_str()) != 0) _exit(126);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  return pid;
}

// The exit code, or -1 when the process had to be killed after `limit`.
int WaitFor(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A process holding `dir`'s lock, taken with the call every run makes, until
// it is released; as the unprivileged user when asked.
class LockHolder {
 public:
  LockHolder(const std::string& dir, bool unprivileged) {
    int ready[2];
    int release[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      if (unprivileged && !DropToUnprivileged()) _exit(125);
      Directory held;
      if (!held.Open(dir) || !held.Lock()) _exit(1);
      const char byte = 1;
      if (write(ready[1], &byte, 1) != 1) _exit(2);
      char ignored;
      while (read(release[0], &ignored, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char byte = 0;
    locked_ = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~LockHolder() { Release(); }
  bool Locked() const { return locked_; }
  void Release() {
    if (release_ >= 0) close(release_);
    release_ = -1;
    if (pid_ > 0) WaitFor(pid_);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool locked_ = false;
};

// A work directory an unprivileged user can reach: the example board, its
// packed image, and a copy of the executable.
class LockAndSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::permissions(dir_.Path(), fs::perms(0755));
    fs::copy(SourceDir() + "/examples/board", dir_.Path() / "board");
    fs::copy(dir_.Path() / "board", dir_.Path() / "other");
    WriteBytes(Work() + "/other/rootfs.img", RandomBytes(size_t{4} << 20, 9));
    fs::create_directory(dir_.Path() / "packed");
    ASSERT_EQ(RunBounded({"-P", "board/setting.ini", "packed"}, Work()).exitCode, 0);
    fs::create_directory(dir_.Path() / "packed-gpt");
    ASSERT_EQ(
        RunBounded({"-P", SourceDir() + "/examples/gpt-board/setting.ini", "packed-gpt"}, Work())
            .exitCode,
        0);
    fs::create_directory(dir_.Path() / "bin");
    fs::copy_file(ImgweldExe(), dir_.Path() / "bin/imgweld");
    RunShell("chmod -R a+rX " + Quoted(Work()));
  }

  std::string Work() const { return dir_.Path().string(); }
  std::string Exe() const { return Work() + "/bin/imgweld"; }
  fs::path Fresh(const std::string& name, fs::perms mode) {
    const fs::path path = dir_.Path() / name;
    fs::remove_all(path);
    fs::create_directory(path);
    fs::permissions(path, mode);
    return path;
  }

  TempDir dir_;
};

// A second run waits while the lock is held, and does its work once it is
// let go: in a readable directory, and in one the unprivileged user may
// write and enter but not read, for packing and for unpacking.
TEST_F(LockAndSyncTest, HeldLockShutsOutASecondRun) {
  const struct {
    const char* what;
    fs::perms mode;
    bool unprivileged;
    std::vector<std::string> args;
    std::string written;  // a file the run writes
  } cases[] = {
      {"pack, readable directory",
       fs::perms(0755),
       false,
       {"-P", "board/setting.ini", "out"},
       "Firmware.md5"},
      {"unpack, readable directory",
       fs::perms(0755),
       false,
       {"-U", "packed/Firmware.img", "out"},
       "setting.ini"},
      {"pack, mode 0333, unprivileged",
       fs::perms(0333),
       true,
       {"-P", "board/setting.ini", "out"},
       "Firmware.md5"},
      {"unpack, mode 0333, unprivileged",
       fs::perms(0333),
       true,
       {"-U", "packed/Firmware.img", "out"},
       "setting.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.unprivileged && !IsRoot()) GTEST_SKIP() << "switching users needs root";
    const fs::path out = Fresh("out", c.mode);
    LockHolder holder(out.string(), c.unprivileged);
    ASSERT_TRUE(holder.Locked());
    const pid_t run = Spawn(Exe(), c.args, Work(), c.unprivileged);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(fs::exists(out / c.written)) << "the run wrote into a locked directory";
    holder.Release();
    EXPECT_EQ(WaitFor(run), 0);
    EXPECT_TRUE(fs::exists(out / c.written));
  }
}

// Two packs at once into a directory the unprivileged user may write but
// not read: the directory ends with an image and the hash file of the same
// run, every round.
TEST_F(LockAndSyncTest, ConcurrentUnprivilegedPacksInAnUnreadableDirectoryLeaveAPair) {
  if (!IsRoot()) GTEST_SKIP() << "switching users needs root";
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    const fs::path out = Fresh("out", fs::perms(0333));
    const pid_t first = Spawn(Exe(), {"-P", "board/setting.ini", "out"}, Work(), true);
    const pid_t second = Spawn(Exe(), {"-P", "other/setting.ini", "out"}, Work(), true);
    ASSERT_EQ(WaitFor(first), 0);
    ASSERT_EQ(WaitFor(second), 0);
    EXPECT_EQ(HexOf(ReadBytes((out / "Firmware.md5").string())),
              Md5sumHex((out / "Firmware.img").string()));
  }
}

// A directory the run can neither lock nor read is refused, not written
// unlocked: here the lock file's name is taken by a directory.
TEST_F(LockAndSyncTest, RunThatCannotLockFails) {
  const fs::path out = Fresh("out", fs::perms(0333));
  fs::create_directory(out / kLockFileName);
  const RunResult result = RunBounded({"-P", "board/setting.ini", "out"}, Work());
  EXPECT_EQ(ExpectErrorLineAtTheEnd(result, 3, "Packing Error:"),
            "Packing Error:Locking out failed, err=21!\r");
  EXPECT_FALSE(fs::exists(out / "Firmware.img"));
}

// One line of an strace log: the call, its descriptors' paths and strings,
// and the operations of a lock.
struct Call {
  std::string name;
  std::vector<std::string> arguments;
};

std::vector<Call> SuccessfulCalls(const std::string& log) {
  std::vector<Call> calls;
  static const std::regex kLine(R"(^(?:\d+ +)?(\w+)\((.*)\) += 0$)");
  for (const std::string& line : Lines(log)) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) continue;
    Call call{match[1], {}};
    static const std::regex kArgument(R"(<([^>]*)>|"([^"]*)\"|(LOCK_[A-Z]+))");
    const std::string arguments = match[2];
    for (auto it = std::sregex_iterator(arguments.begin(), arguments.end(), kArgument);
         it != std::sregex_iterator(); ++it) {
      const size_t group = (*it)[1].matched ? 1 : (*it)[2].matched ? 2 : 3;
      call.arguments.push_back((*it)[group].str());
    }
    calls.push_back(call);
  }
  return calls;
}

// The directory locked before the first rename; each output file: its
// temporary file synced, then renamed to its name; after the last rename
// the directory is synced. For every command that writes files.
TEST_F(LockAndSyncTest, EachFileIsSyncedBeforeItsRenameAndTheDirectoryAfter) {
  if (RunShell("strace -f -o /dev/null true 2>/dev/null").exitCode != 0) {
    GTEST_SKIP() << "strace is not installed or cannot trace here";
  }
  const struct {
    const char* what;
    std::string args;
    std::vector<std::string> files;
  } cases[] = {
      {"pack", "-P board/setting.ini out", {"Firmware.img", "Firmware.md5"}},
      {"unpack", "-U packed/Firmware.img out", {"uboot.img", "setting.ini"}},
      {"kit of a tagged image", "-X packed/Firmware.img out", {"uboot.img", "setting.ini"}},
      {"kit of a partition-table image",
       "-X packed-gpt/Firmware.img out",
       {"uboot.img", "setting.ini"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path out = Fresh("out", fs::perms(0755));
    // The leak checker of a sanitizer build cannot work under ptrace.
    const RunResult run =
        RunShell("cd " + Quoted(Work()) + " && ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\" " +
                 "strace -f -y -qq -o trace.txt " +
                 "-e trace=fsync,fdatasync,rename,renameat,renameat2,flock,fcntl " + Quoted(Exe()) +
                 " " + c.args + " >/dev/null");
    ASSERT_EQ(run.exitCode, 0);
    const std::vector<Call> calls = SuccessfulCalls(ReadText(Work() + "/trace.txt"));
    const std::string outPath = fs::canonical(out).string();
    size_t lastRename = 0;
    size_t firstRename = calls.size();
    for (const std::string& file : c.files) {
      SCOPED_TRACE(file);
      size_t rename = calls.size();
      for (size_t i = 0; i < calls.size(); ++i) {
        const auto& a = calls[i].arguments;
        if (calls[i].name.starts_with("rename") && a.size() == 4 && a[3] == file && a[2] == outPath)
          rename = i;
      }
      ASSERT_LT(rename, calls.size()) << "no rename to " << file;
      lastRename = std::max(lastRename, rename);
      firstRename = std::min(firstRename, rename);
      const std::string temporary = outPath + "/" + calls[rename].arguments[1];
      bool synced = false;
      for (size_t i = 0; i < rename; ++i) {
        synced = synced || (calls[i].name.ends_with("sync") && calls[i].arguments.size() == 1 &&
                            calls[i].arguments[0] == temporary);
      }
      EXPECT_TRUE(synced) << temporary << " was not synced before its rename";
    }
    bool locked = false;
    for (size_t i = 0; i < firstRename && i < calls.size(); ++i) {
      const auto& a = calls[i].arguments;
      locked = locked || (calls[i].name == "flock" && a.size() >= 2 && a[0] == outPath &&
                          std::find(a.begin(), a.end(), "LOCK_EX") != a.end());
    }
    EXPECT_TRUE(locked) << "the directory was not locked before the first rename";
    bool directorySynced = false;
    for (size_t i = lastRename + 1; i < calls.size(); ++i) {
      directorySynced =
          directorySynced ||
          (calls[i].name == "fsync" && calls[i].arguments == std::vector<std::string>{outPath});
    }
    EXPECT_TRUE(directorySynced) << "the directory was not synced after the last rename";
  }
}

}  // namespace
}  // namespace imgweld::test
