// Black-box runs about how the executable treats the files around it: an
// output name that is a link or a FIFO is replaced as a directory entry and
// the file a link led to stays untouched; a FIFO where an input belongs never
// holds a run up; a file-size limit fails a run instead of killing it; a run
// ended by a signal leaves no temporary file; a run waits for another run
// that holds its output directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "robust/RobustSupport.h"
#include "support/TestSupport.h"
#include "unpack/TaggedImageWriter.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// No run here may take long; a hang shows as a timed-out child.
constexpr milliseconds kRunLimit = seconds(20);

// The names in `dir` that only a temporary file would have.
std::vector<std::string> HiddenEntries(const fs::path& dir) {
  std::vector<std::string> hidden;
  for (const std::string& name : Entries(dir)) {
    if (name.starts_with(".")) hidden.push_back(name);
  }
  return hidden;
}

void MakeFifo(const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path; }

// Keeps a FIFO open for writing (and reading, so the open does not wait),
// which is what makes a blocking read of it wait for ever.
class FifoWriter {
 public:
  explicit FifoWriter(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {
    EXPECT_GE(fd_, 0) << path;
  }
  ~FifoWriter() {
    if (fd_ >= 0) close(fd_);
  }
  FifoWriter(const FifoWriter&) = delete;
  FifoWriter& operator=(const FifoWriter&) = delete;

 private:
  int fd_;
};

// A work directory with the example board packed into packed/ and that
// image unpacked into reference/, with the output of that run.
class SafeFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(SourceDir() + "/examples/board", dir_.Path() / "board");
    fs::create_directory(dir_.Path() / "packed");
    fs::create_directory(dir_.Path() / "reference");
    ASSERT_EQ(RunBounded({"-P", "board/setting.ini", "packed"}, Work()).exitCode, 0);
    const RunResult unpacked = RunBounded({"-U", "packed/Firmware.img", "reference"}, Work());
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.output;
    referenceOutput_ = unpacked.output;
  }

  std::string Work() const { return dir_.Path().string(); }

  // A fresh, empty out/ beside everything else.
  fs::path FreshOut() { return FreshOutFor(dir_); }

 public:
  static fs::path FreshOutFor(const TempDir& dir) {
    const fs::path out = dir.Path() / "out";
    fs::remove_all(out);
    fs::create_directory(out);
    return out;
  }

 protected:
  TempDir dir_;
  std::string referenceOutput_;
};

TEST_F(SafeFilesTest, UnpackReplacesLinksAndFifosInsteadOfWritingThroughThem) {
  const std::string victimText = "the file a link leads to\n";
  struct Case {
    std::string what;
    std::string name;  // the output entry prepared before the run
    // Given out/ and the directory beside it, lays the entry out.
    std::function<void(const fs::path&, const fs::path&)> prepare;
  };
  const std::vector<Case> cases = {
      {"symbolic link to a file outside", "uboot.img",
       [&](const fs::path& out, const fs::path& outside) {
         fs::create_symlink(outside / "victim", out / "uboot.img");
       }},
      {"dangling symbolic link pointing outside", "boot.img",
       [](const fs::path& out, const fs::path& outside) {
         fs::create_symlink(outside / "created-through-link", out / "boot.img");
       }},
      {"hard link to a file outside", "rootfs.img",
       [](const fs::path& out, const fs::path& outside) {
         fs::create_hard_link(outside / "victim", out / "rootfs.img");
       }},
      {"symbolic link to a directory outside", "flashdata.bin",
       [](const fs::path& out, const fs::path& outside) {
         fs::create_directory(outside / "victim-dir");
         fs::create_directory_symlink(outside / "victim-dir", out / "flashdata.bin");
       }},
      {"setting.ini as a symbolic link", "setting.ini",
       [](const fs::path& out, const fs::path& outside) {
         fs::create_symlink(outside / "victim", out / "setting.ini");
       }},
      {"setting.ini as a FIFO", "setting.ini",
       [](const fs::path& out, const fs::path&) { MakeFifo(out / "setting.ini"); }},
      {"partition file as a FIFO", "misc.img",
       [](const fs::path& out, const fs::path&) { MakeFifo(out / "misc.img"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path out = FreshOut();
    const fs::path outside = dir_.Path() / "outside";
    fs::remove_all(outside);
    fs::create_directory(outside);
    WriteText((outside / "victim").string(), victimText);
    c.prepare(out, outside);
    const std::vector<std::string> outsideBefore = Entries(outside);

    const ChildResult result = Child({"-U", "packed/Firmware.img", "out"}, Work()).Wait(kRunLimit);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    // The messages are those of a run into an empty directory.
    EXPECT_EQ(result.output, referenceOutput_);

    EXPECT_EQ(Entries(out), Entries(dir_.Path() / "reference"));
    const fs::path entry = out / c.name;
    EXPECT_EQ(fs::symlink_status(entry).type(), fs::file_type::regular);
    EXPECT_EQ(fs::hard_link_count(entry), 1u);
    EXPECT_EQ(ReadBytes(entry.string()), ReadBytes(dir_ / ("reference/" + c.name)));

    EXPECT_EQ(ReadText((outside / "victim").string()), victimText);
    EXPECT_EQ(fs::hard_link_count(outside / "victim"), 1u);
    EXPECT_EQ(Entries(outside), outsideBefore);
    if (fs::is_directory(outside / "victim-dir")) {
      EXPECT_TRUE(fs::is_empty(outside / "victim-dir"));
    }
  }
}

// Where a file is read, a FIFO is refused at once, whether or not something
// holds it open for writing (a blocking read would then wait for ever).
TEST_F(SafeFilesTest, FifoWhereAnInputBelongsIsRefusedWithoutWaiting) {
  struct Case {
    std::string what;
    std::string fifo;  // replaced by a FIFO, relative to the work directory
    std::vector<std::string> args;
    int exitCode;
    std::string error;
  };
  fs::copy_file(dir_.Path() / "board/setting.ini", dir_.Path() / "board/fifo.ini");
  const std::vector<Case> cases = {
      {"image",
       "packed/Firmware.img",
       {"-U", "packed/Firmware.img", "out"},
       4,
       "UnPacking Error:Opening packed/Firmware.img failed, err=29!\r"},
      {"image, not verified",
       "packed/Firmware.img",
       {"-U", "packed/Firmware.img", "out", "offcheck"},
       4,
       "UnPacking Error:Opening packed/Firmware.img failed, err=29!\r"},
      {"hash file",
       "packed/Firmware.md5",
       {"-U", "packed/Firmware.img", "out"},
       4,
       "UnPacking Error:Opening packed/Firmware.md5 failed, err=29!\r"},
      {"configuration",
       "board/fifo.ini",
       {"-P", "board/fifo.ini", "out"},
       3,
       "Packing Error:loading board/fifo.ini failed!\r"},
  };
  for (const Case& c : cases) {
    for (const bool withWriter : {false, true}) {
      SCOPED_TRACE(c.what + (withWriter ? ", held open by a writer" : ", without a writer"));
      const fs::path out = FreshOut();
      const std::string fifo = dir_ / c.fifo;
      const std::string saved = dir_ / "saved";
      fs::rename(fifo, saved);
      MakeFifo(fifo);
      {
        std::optional<FifoWriter> writer;
        if (withWriter) writer.emplace(fifo);
        const ChildResult result = Child(c.args, Work()).Wait(kRunLimit);
        ASSERT_FALSE(result.timedOut) << "the run waited on the FIFO";
        EXPECT_EQ(ExpectErrorLineAtTheEnd(AsRunResult(result), c.exitCode,
                                          c.exitCode == 3 ? "Packing Error:" : "UnPacking Error:"),
                  c.error);
      }
      EXPECT_TRUE(fs::is_empty(out));
      fs::remove(fifo);
      fs::rename(saved, fifo);
    }
  }
}

// The child starts with SIGXFSZ at its default action, which kills a process
// at its first write past the limit. The program ignores the signal, so the
// write fails and the run ends with its error line and exit code.
TEST_F(SafeFilesTest, FileSizeLimitFailsTheRunInsteadOfKillingIt) {
  struct Case {
    std::string what;
    std::vector<std::string> args;
    uint64_t limit;
    int exitCode;
    std::string error;  // the whole error line, or only its start
  };
  const std::vector<Case> cases = {
      {"unpack",
       {"-U", "packed/Firmware.img", "out"},
       5000,
       4,
       "UnPacking Error:Writing flashboot.bin failed, err=27!\r"},
      {"pack", {"-P", "board/setting.ini", "out"}, 100000, 3, "Packing Error:Writing "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path out = FreshOut();
    const ChildResult result = Child(c.args, Work(), c.limit).Wait(kRunLimit);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, 0) << "killed by signal " << result.signal;
    const std::string error = ExpectErrorLineAtTheEnd(
        AsRunResult(result), c.exitCode, c.exitCode == 3 ? "Packing Error:" : "UnPacking Error:");
    EXPECT_TRUE(error.starts_with(c.error)) << error;
    EXPECT_TRUE(HiddenEntries(out).empty());
  }
}

// Waits, through inotify, until the `count`-th temporary file is created in
// `dir`; false when that does not happen within the run limit.
bool AwaitTemporaryFile(int inotify, int count) {
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  alignas(inotify_event) char buffer[4096];
  int seen = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd readable{inotify, POLLIN, 0};
    if (poll(&readable, 1, 100) <= 0) continue;
    const ssize_t got = read(inotify, buffer, sizeof buffer);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_CREATE) != 0 && event->len > 0 && event->name[0] == '.') {
        if (++seen == count) return true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return false;
}

// Runs imgweld and sends it signal `number` as soon as the `count`-th
// temporary file appears in `dir`; the run must end by that signal.
void RunInterrupted(const std::vector<std::string>& args, const std::string& work,
                    const fs::path& dir, int count, int number) {
  const int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(inotify, 0);
  ASSERT_GE(inotify_add_watch(inotify, dir.c_str(), IN_CREATE), 0);
  Child child(args, work);
  const bool caught = AwaitTemporaryFile(inotify, count);
  if (caught) child.Signal(number);
  const ChildResult result = child.Wait(kRunLimit);
  close(inotify);
  ASSERT_TRUE(caught) << result.output;
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.signal, number) << result.output;
}

// A run ended by a signal while it writes a file removes that file's
// temporary stand-in before it dies of the signal; the file completed before
// stays, and the interrupted one does not appear.
TEST_F(SafeFilesTest, InterruptedUnpackLeavesNoTemporaryFile) {
  // Three partitions of 32 MiB of data: each takes a while to copy, so the
  // signal lands while the second one is being written. (Holes would not
  // do: they are not copied but left as holes, at once.)
  constexpr uint32_t kSectors = 0x10000;
  TestImage image;
  image.records = {VendorRecord(), Partition("first", 5, 0x40, kSectors, kSectors * 512),
                   Partition("second", 5, 0x40 + kSectors, kSectors, kSectors * 512),
                   Partition("third", 5, 0x40 + 2 * kSectors, kSectors, kSectors * 512)};
  image.Place(0x40 * 512, std::vector<uint8_t>(3 * uint64_t{kSectors} * 512, 0x5A));
  WriteBytes(dir_ / "big.img", image.Build());

  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(number));
    const fs::path out = FreshOut();
    RunInterrupted({"-U", "big.img", "out", "offcheck"}, Work(), out, 2, number);
    EXPECT_EQ(Entries(out), std::vector<std::string>{"first.img"});
    EXPECT_EQ(fs::file_size(out / "first.img"), uint64_t{kSectors} * 512);
  }
}

// A run holding the output directory's lock keeps a second run waiting, and
// the second one goes on when the lock is let go.
TEST_F(SafeFilesTest, UnpackWaitsForTheRunHoldingItsOutputDirectory) {
  const fs::path out = FreshOut();
  const int held = open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  Child child({"-U", "packed/Firmware.img", "out"}, Work());
  usleep(300 * 1000);
  EXPECT_TRUE(fs::is_empty(out)) << "the run wrote into a locked directory";
  close(held);
  const ChildResult result = child.Wait(kRunLimit);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(result.output, referenceOutput_);
  EXPECT_EQ(Entries(out), Entries(dir_.Path() / "reference"));
}

// --- Packing: the previous Firmware.img and Firmware.md5 survive every
// failure byte for byte, and a pair from one run is all another run sees.

// out/ holding the pair packed from the example board, as an earlier run
// left it.
fs::path OutWithEarlierPair(const TempDir& dir) {
  const fs::path out = SafeFilesTest::FreshOutFor(dir);
  fs::copy_file(dir.Path() / "packed/Firmware.img", out / "Firmware.img");
  fs::copy_file(dir.Path() / "packed/Firmware.md5", out / "Firmware.md5");
  return out;
}

TEST_F(SafeFilesTest, FailedPacksLeaveTheEarlierPairAndNoStrayFile) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> prepare;  // given the copy of the board
    uint64_t fileSizeLimit;                           // 0: none
  } cases[] = {
      {"configuration without FwVersion",
       [](const std::string& b) {
         std::string config = ReadText(b + "/setting.ini");
         config.replace(config.find("FwVersion"), 9, "FwVersoin");
         WriteText(b + "/setting.ini", config);
       },
       0},
      {"missing payload", [](const std::string& b) { fs::remove(b + "/uboot.img"); }, 0},
      {"payload larger than its partition",
       [](const std::string& b) { fs::resize_file(b + "/uboot.img", 0x41 * 512); }, 0},
      {"payload that is a FIFO",
       [](const std::string& b) {
         fs::remove(b + "/uboot.img");
         MakeFifo(b + "/uboot.img");
       },
       0},
      {"write past a file-size limit", {}, 100000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path board = dir_.Path() / "failing";
    fs::remove_all(board);
    fs::copy(dir_.Path() / "board", board);
    if (c.prepare) c.prepare(board.string());
    const fs::path out = OutWithEarlierPair(dir_);
    const std::vector<std::string> args = {"-P", "failing/setting.ini", "out"};
    const RunResult result = c.fileSizeLimit != 0
                                 ? RunWithFileSizeLimit(c.fileSizeLimit, args, Work())
                                 : RunBounded(args, Work());
    EXPECT_EQ(result.exitCode, 3) << result.output;
    ExpectSameFiles(dir_.Path() / "packed", out);
  }
}

TEST_F(SafeFilesTest, InterruptedPackLeavesTheEarlierPairAndNoTemporaryFile) {
  // A payload of 256 MiB of holes: copying it takes long enough for the
  // signal to land while the image is written.
  const fs::path board = dir_.Path() / "slow";
  fs::copy(dir_.Path() / "board", board);
  fs::resize_file(board / "rootfs.img", uint64_t{256} << 20);
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(number));
    const fs::path out = OutWithEarlierPair(dir_);
    RunInterrupted({"-P", "slow/setting.ini", "out"}, Work(), out, 1, number);
    ExpectSameFiles(dir_.Path() / "packed", out);
  }
}

// Links and FIFOs under Firmware.img and Firmware.md5 are replaced as
// directory entries: the files they led to stay, and nothing is created
// outside the saving directory.
TEST_F(SafeFilesTest, PackReplacesLinksAndFifosInsteadOfWritingThroughThem) {
  const fs::path outside = dir_.Path() / "outside";
  fs::create_directory(outside);
  const struct {
    const char* what;
    std::function<void(const fs::path&)> prepare;  // given out/
  } cases[] = {
      {"symbolic links to files outside",
       [&](const fs::path& out) {
         WriteText((outside / "victim").string(), "victim");
         WriteText((outside / "victim2").string(), "victim2");
         fs::create_symlink(outside / "victim", out / "Firmware.img");
         fs::create_symlink(outside / "victim2", out / "Firmware.md5");
       }},
      {"dangling links leading outside",
       [&](const fs::path& out) {
         fs::create_symlink(outside / "new.img", out / "Firmware.img");
         fs::create_symlink(outside / "new.md5", out / "Firmware.md5");
       }},
      {"hard links",
       [&](const fs::path& out) {
         WriteText((outside / "victim").string(), "victim");
         fs::create_hard_link(outside / "victim", out / "Firmware.img");
       }},
      {"FIFOs",
       [&](const fs::path& out) {
         MakeFifo((out / "Firmware.img").string());
         MakeFifo((out / "Firmware.md5").string());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(outside);
    fs::create_directory(outside);
    const fs::path out = FreshOut();
    c.prepare(out);
    const std::vector<std::string> before = Entries(outside);
    const RunResult result = RunBounded({"-P", "board/setting.ini", "out"}, Work());
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(Entries(outside), before);
    for (const std::string name : {"victim", "victim2"}) {
      if (fs::exists(outside / name)) {
        EXPECT_EQ(ReadText((outside / name).string()), name);
      }
    }
    // Reading anything but a regular file here could hang the test itself.
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(out / "Firmware.img")));
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(out / "Firmware.md5")));
    EXPECT_EQ(HexOf(ReadBytes((out / "Firmware.md5").string())),
              Md5sumHex((out / "Firmware.img").string()));
  }
}

// The bytes of a tagged image with a backup block that do not depend on when
// it was packed: everything between the table block and the backup block.
std::vector<uint8_t> Body(const std::vector<uint8_t>& image) {
  if (image.size() < 8192) return {};
  return std::vector<uint8_t>(image.begin() + 4096, image.end() - 4096);
}

// Two packs of different images into one saving directory at once: however
// they interleave, the directory ends with the image of one of them, whole,
// and that run's hash file beside it.
TEST_F(SafeFilesTest, ConcurrentPacksLeaveAPairFromOneRun) {
  fs::copy(dir_.Path() / "board", dir_.Path() / "other");
  std::string config = ReadText(Work() + "/other/setting.ini");
  config.replace(config.find("FwVersion="), 10, "FwVersion=9");
  WriteText(Work() + "/other/setting.ini", config);
  WriteBytes(Work() + "/other/rootfs.img", RandomBytes(size_t{8} << 20, 9));
  fs::create_directory(dir_.Path() / "packed-other");
  ASSERT_EQ(RunBounded({"-P", "other/setting.ini", "packed-other"}, Work()).exitCode, 0);
  const std::vector<std::vector<uint8_t>> bodies = {
      Body(ReadBytes(Work() + "/packed/Firmware.img")),
      Body(ReadBytes(Work() + "/packed-other/Firmware.img"))};
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const fs::path out = FreshOut();
    Child first({"-P", "board/setting.ini", "out"}, Work());
    Child second({"-P", "other/setting.ini", "out"}, Work());
    const ChildResult a = first.Wait(kRunLimit);
    const ChildResult b = second.Wait(kRunLimit);
    ASSERT_EQ(a.exitCode, 0) << a.output;
    ASSERT_EQ(b.exitCode, 0) << b.output;
    EXPECT_EQ(Entries(out), (std::vector<std::string>{"Firmware.img", "Firmware.md5"}));
    const std::vector<uint8_t> body = Body(ReadBytes((out / "Firmware.img").string()));
    EXPECT_TRUE(body == bodies[0] || body == bodies[1]) << "an image of neither run";
    EXPECT_EQ(HexOf(ReadBytes((out / "Firmware.md5").string())),
              Md5sumHex((out / "Firmware.img").string()));
  }
}

}  // namespace
}  // namespace imgweld::test
