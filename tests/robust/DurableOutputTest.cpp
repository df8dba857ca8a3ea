// Black-box runs under strace about when outputs reach the disk: every file
// a run writes is synced with fsync before it is renamed to its final name,
// and a large one is also synced while it is still being written, so the
// run does not wait for all of it at the end. The bytes that arrive stay
// right whatever the syncing in between dropped from the page cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "robust/RobustSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

// Larger than the 64 MiB a writer may run ahead of the disk, so that it must
// wait for at least one sync while it writes, however the threads are
// scheduled on a loaded machine.
constexpr size_t kPayloadSize = size_t{80} << 20;

// What the trace says happened to one file, named as it was created.
struct FileSyncs {
  std::vector<double> fsyncs;      // times of the fsync calls on it
  std::vector<double> fdatasyncs;  // times of the fdatasync calls on it
};

struct Rename {
  std::string from;
  std::string to;
  double time;
};

// The calls of an strace log written with -f -ttt, tied to file names
// through the descriptors they were made on. Calls that strace split around
// another thread's call ("<unfinished ...>", "<... resumed>") are joined.
class SyncTrace {
 public:
  explicit SyncTrace(const std::string& log) {
    std::istringstream lines(log);
    std::map<std::string, std::string> unfinished;  // by thread id
    static const std::regex kLine(R"(^(\d+)\s+(\d+\.\d+)\s+(.*)$)");
    static const std::regex kResumed(R"(^<\.\.\. \w+ resumed>(.*)$)");
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
      if (!std::regex_match(line, match, kLine)) continue;
      const std::string thread = match[1];
      const double time = std::stod(match[2]);
      std::string call = match[3];
      const size_t cut = call.find(" <unfinished ...>");
      if (cut != std::string::npos) {
        unfinished[thread] = call.substr(0, cut);
        continue;
      }
      std::smatch resumed;
      if (std::regex_match(call, resumed, kResumed)) call = unfinished[thread] + resumed[1].str();
      Take(call, time);
    }
  }

  const std::map<std::string, FileSyncs>& Files() const { return files_; }
  const std::vector<Rename>& Renames() const { return renames_; }

  // The rename that gave `name` its content; null when there was none.
  const Rename* RenameTo(const std::string& name) const {
    for (const Rename& rename : renames_) {
      if (rename.to == name) return &rename;
    }
    return nullptr;
  }

 private:
  void Take(const std::string& call, double time) {
    static const std::regex kOpen(R"re(^openat\(\w+, "([^"]+)", .*\) = (\d+)$)re");
    static const std::regex kDup(R"(^fcntl\((\d+), F_DUPFD(?:_CLOEXEC)?, \d+\) = (\d+)$)");
    static const std::regex kClose(R"(^close\((\d+)\)\s*= .*$)");
    static const std::regex kSync(R"(^(fsync|fdatasync)\((\d+)\)\s*= 0$)");
    static const std::regex kRename(R"re(^renameat2?\(\w+, "([^"]+)", \w+, "([^"]+)".*\) = 0$)re");
    std::smatch m;
    if (std::regex_match(call, m, kOpen)) {
      names_[std::stoi(m[2])] = m[1];
    } else if (std::regex_match(call, m, kDup)) {
      names_[std::stoi(m[2])] = names_[std::stoi(m[1])];
    } else if (std::regex_match(call, m, kClose)) {
      names_.erase(std::stoi(m[1]));
    } else if (std::regex_match(call, m, kSync)) {
      const auto named = names_.find(std::stoi(m[2]));
      if (named == names_.end()) return;
      FileSyncs& file = files_[named->second];
      (m[1] == "fsync" ? file.fsyncs : file.fdatasyncs).push_back(time);
    } else if (std::regex_match(call, m, kRename)) {
      renames_.push_back({m[1], m[2], time});
    }
  }

  std::map<int, std::string> names_;
  std::map<std::string, FileSyncs> files_;
  std::vector<Rename> renames_;
};

class DurableOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (RunShell("strace -o /dev/null true >/dev/null 2>&1 && echo yes").output != "yes\n") {
      GTEST_SKIP() << "strace is needed to watch the sync calls";
    }
    fs::create_directory(dir_.Path() / "in");
    fs::create_directory(dir_.Path() / "packed");
    fs::create_directory(dir_.Path() / "unpacked");
    WriteBytes(dir_ / "in/ddr.bin", RandomBytes(4096, 1));
    WriteBytes(dir_ / "in/loader.bin", RandomBytes(65536, 2));
    WriteBytes(dir_ / "in/big.bin", RandomBytes(kPayloadSize, 3));
    WriteText(dir_ / "in/setting.ini",
              "[System]\nFwVersion=1.0.0\nChip=TEST\nModel=durable\n"
              "[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x3FC0\nFlag=0\n"
              "File=ddr.bin,loader.bin\n"
              "[UserPart2]\nName=big\nType=0x8\nPartOffset=0x4000\nPartSize=0x30000\nFlag=0\n"
              "File=big.bin\n");
  }

  // Runs imgweld with `args` in the work directory under strace; returns
  // the trace. The leak check of a sanitizer build cannot run under a
  // tracer and would fail the run at its end, so it is left out there.
  SyncTrace Traced(const std::vector<std::string>& args) {
    const std::string log = dir_ / "trace.log";
    const RunResult run = RunShell(
        "cd " + Quoted(dir_.Path().string()) +
        " && ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" " + kTimeout +
        "strace -f -ttt -qq -e trace=openat,fcntl,close,fsync,fdatasync,rename,renameat,renameat2 "
        "-o " +
        Quoted(log) + " " + CommandLine(ImgweldExe(), args) + " >/dev/null; echo $?");
    EXPECT_EQ(run.output, "0\n") << "imgweld " << args[0] << " failed";
    return SyncTrace(ReadText(log));
  }

  // `name` took its content from a temporary file that was synced with
  // fsync before the rename; returns what the trace says of that file.
  FileSyncs ExpectSyncedBeforeRename(const SyncTrace& trace, const std::string& name) {
    const Rename* rename = trace.RenameTo(name);
    if (rename == nullptr) {
      ADD_FAILURE() << name << " was never renamed into place";
      return {};
    }
    const auto file = trace.Files().find(rename->from);
    if (file == trace.Files().end() || file->second.fsyncs.empty()) {
      ADD_FAILURE() << name << " was renamed from " << rename->from << " without an fsync";
      return {};
    }
    EXPECT_LT(file->second.fsyncs.back(), rename->time)
        << name << ": the fsync came after the rename";
    return file->second;
  }

  // Syncs of the file while it was written: before its last fsync.
  static size_t SyncsWhileWriting(const FileSyncs& file) {
    if (file.fsyncs.empty()) return 0;
    size_t count = 0;
    for (double time : file.fdatasyncs) count += time < file.fsyncs.back() ? 1 : 0;
    return count;
  }

  TempDir dir_;
};

TEST_F(DurableOutputTest, PackSyncsImageWhileWritingAndBothOutputsBeforeRename) {
  const SyncTrace trace = Traced({"-P", "in/setting.ini", "packed"});
  const FileSyncs image = ExpectSyncedBeforeRename(trace, "Firmware.img");
  ExpectSyncedBeforeRename(trace, "Firmware.md5");
  EXPECT_GE(SyncsWhileWriting(image), 1u) << "the image reached the disk only at its end";
  EXPECT_EQ(HexOf(ReadBytes(dir_ / "packed/Firmware.md5")),
            Md5sumHex(dir_ / "packed/Firmware.img"));
}

TEST_F(DurableOutputTest, UnpackSyncsEveryFileBeforeRenameAndLargeOnesWhileWriting) {
  ASSERT_EQ(RunBounded({"-P", "in/setting.ini", "packed"}, dir_.Path().string()).exitCode, 0);
  const SyncTrace trace = Traced({"-U", "packed/Firmware.img", "unpacked"});
  for (const char* name : {"flashdata.bin", "flashboot.bin", "setting.ini"}) {
    ExpectSyncedBeforeRename(trace, name);
  }
  const FileSyncs big = ExpectSyncedBeforeRename(trace, "big.img");
  EXPECT_GE(SyncsWhileWriting(big), 1u) << "big.img reached the disk only at its end";
  EXPECT_TRUE(ReadBytes(dir_ / "unpacked/big.img") == ReadBytes(dir_ / "in/big.bin"));
}

// A sync of the helper thread that fails (strace makes every fdatasync
// fail with EIO; the final sync is an fsync) fails the file as a failed
// write would: the run ends with its error line, the file does not take its
// name, and what an earlier run left under the names the run had not
// finished stays as it was. An unpack keeps the files it finished before.
TEST_F(DurableOutputTest, FailedBackgroundSyncFailsTheFileAndTheRun) {
  const std::string work = dir_.Path().string();
  if (RunShell("strace -o /dev/null -e inject=fdatasync:error=EIO true >/dev/null 2>&1 && "
               "echo yes")
          .output != "yes\n") {
    GTEST_SKIP() << "this strace cannot inject faults";
  }
  ASSERT_EQ(RunBounded({"-P", "in/setting.ini", "packed"}, work).exitCode, 0);
  // What earlier runs left: a pack, and files under two of unpack's names.
  fs::copy(dir_.Path() / "packed", dir_.Path() / "earlier-packed");
  WriteText(dir_ / "unpacked/big.img", "an earlier big.img");
  WriteText(dir_ / "unpacked/setting.ini", "an earlier setting.ini");
  fs::copy(dir_.Path() / "unpacked", dir_.Path() / "earlier-unpacked");
  const struct {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
    std::string prefix;     // of the error line
    std::string errorLine;  // how it starts
    std::string dir;
    std::vector<std::string> untouched;  // as the earlier run left them
    std::vector<std::string> finished;   // written before the failure
  } cases[] = {
      {"pack",
       {"-P", "in/setting.ini", "packed"},
       3,
       "Packing Error:",
       "Packing Error:Writing packed/Firmware.img failed, err=5!",
       "packed",
       {"Firmware.img", "Firmware.md5"},
       {}},
      {"unpack",
       {"-U", "packed/Firmware.img", "unpacked"},
       4,
       "UnPacking Error:",
       "UnPacking Error:",
       "unpacked",
       {"big.img", "setting.ini"},
       {"flashboot.bin", "flashdata.bin"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult run =
        RunShell("cd " + Quoted(work) +
                 " && ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" " + kTimeout +
                 "strace -f -qq -o /dev/null -e trace=fdatasync -e inject=fdatasync:error=EIO " +
                 CommandLine(ImgweldExe(), c.args));
    const std::string error = ExpectErrorLineAtTheEnd(run, c.exitCode, c.prefix);
    EXPECT_TRUE(error.starts_with(c.errorLine)) << error;
    EXPECT_NE(error.find("err=5"), std::string::npos) << error;
    std::vector<std::string> names = c.untouched;
    names.insert(names.end(), c.finished.begin(), c.finished.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(Entries(dir_.Path() / c.dir), names);
    for (const std::string& name : c.untouched) {
      EXPECT_EQ(ReadBytes(dir_ / (c.dir + "/" + name)),
                ReadBytes(dir_ / ("earlier-" + c.dir + "/" + name)))
          << name;
    }
  }
}

}  // namespace
}  // namespace imgweld::test
