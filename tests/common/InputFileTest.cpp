// Opening inputs: regular files and block devices are read, anything that
// cannot be measured and read at a position is refused at once with a reason
// (a FIFO never holds the caller up); same-file checks and the directory
// lock that output runs hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/Directory.h"
#include "common/File.h"
#include "common/FileIdentity.h"
#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

// A UNIX socket bound at `path` for the life of the object.
class BoundSocket {
 public:
  explicit BoundSocket(const std::string& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  ~BoundSocket() { close(fd_); }

 private:
  int fd_;
};

// The first block device the machine offers, if any.
std::optional<std::string> SomeBlockDevice() {
  for (const std::string path : {"/dev/loop0", "/dev/vda", "/dev/sda", "/dev/nvme0n1"}) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) return path;
  }
  return std::nullopt;
}

class InputFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(InputFileTest, RegularFilesAndLinksToThemAreRead) {
  WriteText(dir_ / "config.ini", "[System]\n");
  fs::create_symlink(dir_ / "config.ini", dir_.Path() / "link.ini");
  for (const std::string name : {"config.ini", "link.ini"}) {
    SCOPED_TRACE(name);
    File file;
    ASSERT_TRUE(file.OpenInput(dir_ / name)) << file.FailureText();
    EXPECT_EQ(file.Length(), 9u);
    ASSERT_TRUE(file.Seek(1));
    char text[8] = {};
    EXPECT_TRUE(file.ReadExact(text, 6));
    EXPECT_STREQ(text, "System");
  }
}

TEST_F(InputFileTest, BlockDeviceIsMeasuredBySeeking) {
  const std::optional<std::string> device = SomeBlockDevice();
  if (!device) GTEST_SKIP() << "no block device to open";
  File file;
  if (!file.OpenInput(*device) && file.Error() == EACCES) GTEST_SKIP() << "no right to read it";
  ASSERT_TRUE(file.IsOpen()) << file.FailureText();
  const std::optional<uint64_t> length = file.Length();
  ASSERT_TRUE(length.has_value());
  EXPECT_EQ(*length % 512, 0u);
}

TEST_F(InputFileTest, WhatCannotBeReadAtAPositionIsRefusedAtOnce) {
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir_ / "held-fifo").c_str(), 0644), 0);
  // A writer that never writes: a blocking read would wait for ever.
  const int writer = open((dir_ / "held-fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  fs::create_directory(dir_.Path() / "directory");
  BoundSocket socket(dir_ / "socket");
  struct Case {
    std::string what;
    std::string path;
    int error;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"FIFO without a writer", dir_ / "fifo", ESPIPE, "is a FIFO, not a regular file"},
      {"FIFO with a writer", dir_ / "held-fifo", ESPIPE, "is a FIFO, not a regular file"},
      {"directory", dir_ / "directory", EISDIR, "is a directory, not a regular file"},
      {"character device", "/dev/null", ESPIPE, "is a character device, not a regular file"},
      // The system itself refuses to open a socket.
      {"socket", dir_ / "socket", ENXIO, std::strerror(ENXIO)},
      {"missing file", dir_ / "missing", ENOENT, std::strerror(ENOENT)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto started = std::chrono::steady_clock::now();
    File file;
    EXPECT_FALSE(file.OpenInput(c.path));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Error(), c.error);
    EXPECT_EQ(file.FailureText(), c.reason);
    EXPECT_EQ(file.Path(), c.path);
  }
  close(writer);
}

// The configuration is read as an input too.
TEST_F(InputFileTest, ConfigurationFifoIsNotWaitedOn) {
  ASSERT_EQ(mkfifo((dir_ / "setting.ini").c_str(), 0644), 0);
  const int writer = open((dir_ / "setting.ini").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ConfigDocument document;
  document.SetValue("System", "FwVersion", "1.2.3");
  StringOutput out;
  EXPECT_FALSE(document.LoadFile(dir_ / "setting.ini", false, out));
  EXPECT_EQ(out.Diagnostics(),
            "imgweld: " + (dir_ / "setting.ini") + ": is a FIFO, not a regular file\n");
  EXPECT_EQ(document.GetValue("System", "FwVersion"), "1.2.3");
  close(writer);
}

TEST_F(InputFileTest, SameFileMeansSameDeviceAndInode) {
  WriteText(dir_ / "Firmware.img", "image");
  WriteText(dir_ / "other", "image");
  fs::create_hard_link(dir_ / "Firmware.img", dir_.Path() / "hard");
  fs::create_symlink(dir_ / "Firmware.img", dir_.Path() / "soft");
  EXPECT_TRUE(IsSameFile(dir_ / "Firmware.img", dir_ / "hard"));
  EXPECT_TRUE(IsSameFile(dir_ / "Firmware.img", dir_ / "soft"));
  EXPECT_FALSE(IsSameFile(dir_ / "Firmware.img", dir_ / "other"));
  EXPECT_FALSE(IsSameFile(dir_ / "missing", dir_ / "missing"));

  File image;
  ASSERT_TRUE(image.OpenInput(dir_ / "Firmware.img"));
  const int fd = fileno(image.Stream());
  EXPECT_TRUE(IsSameFile(dir_ / "soft", fd));
  EXPECT_FALSE(IsSameFile(dir_ / "other", fd));
  EXPECT_TRUE(IsSameFile(fd, fd));

  // The entry itself: a symbolic link is a file of its own, a hard link not.
  Directory dir;
  ASSERT_TRUE(dir.Open(dir_.Path().string()));
  EXPECT_EQ(EntryIdOf(dir.Fd(), "hard"), FileIdOf(fd));
  EXPECT_NE(EntryIdOf(dir.Fd(), "soft"), FileIdOf(fd));
  EXPECT_FALSE(EntryIdOf(dir.Fd(), "missing").has_value());
}

TEST_F(InputFileTest, DirectoryOpensOnlyDirectories) {
  WriteText(dir_ / "file", "x");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  Directory dir;
  EXPECT_TRUE(dir.Open(dir_.Path().string()));
  EXPECT_EQ(dir.PathOf("Firmware.img"), dir_ / "Firmware.img");
  EXPECT_FALSE(dir.Open(dir_ / "file"));
  EXPECT_EQ(dir.Error(), ENOTDIR);
  EXPECT_FALSE(dir.Open(dir_ / "fifo"));
  EXPECT_EQ(dir.Error(), ENOTDIR);
  EXPECT_FALSE(dir.Open(dir_ / "missing"));
  EXPECT_EQ(dir.Error(), ENOENT);
}

// Runs `body` in a child process and returns its exit code.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The lock belongs to the run that took it: another process cannot take it
// meanwhile, waits for it when asked to, and gets it once it is let go.
TEST_F(InputFileTest, DirectoryLockKeepsOtherRunsOut) {
  const std::string path = dir_.Path().string();
  Directory held;
  ASSERT_TRUE(held.Open(path));
  ASSERT_TRUE(held.Lock());
  EXPECT_TRUE(held.IsLocked());
  const auto tryLock = [&] {
    Directory other;
    if (!other.Open(path)) return 2;
    if (other.TryLock()) return 0;
    return other.Error() == EWOULDBLOCK ? 1 : 3;
  };
  EXPECT_EQ(InChild(tryLock), 1);
  // The lock sits on the directory itself: no lock file appears.
  EXPECT_TRUE(fs::is_empty(dir_.Path()));

  // A run that must wait says so on standard error and goes on when the
  // lock is free.
  int toParent[2];
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t waiter = fork();
  ASSERT_GE(waiter, 0);
  if (waiter == 0) {
    close(toParent[0]);
    Directory other;
    StringOutput out;
    if (!other.Open(path)) _exit(2);
    HoldDirectoryLock(other, out);
    const std::string& note = out.Diagnostics();
    _exit(other.IsLocked() && write(toParent[1], note.data(), note.size()) > 0 ? 0 : 3);
  }
  close(toParent[1]);
  usleep(200 * 1000);
  EXPECT_EQ(waitpid(waiter, nullptr, WNOHANG), 0) << "did not wait for the lock";
  held.Unlock();
  int status = 0;
  ASSERT_EQ(waitpid(waiter, &status, 0), waiter);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  char note[256] = {};
  EXPECT_GT(read(toParent[0], note, sizeof note - 1), 0);
  close(toParent[0]);
  EXPECT_EQ(
      std::string(note),
      "imgweld: " + path + ": waiting for another run writing into this directory to finish\n");

  EXPECT_EQ(InChild(tryLock), 0);
}

}  // namespace
}  // namespace imgweld::test
