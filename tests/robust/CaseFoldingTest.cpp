// Unpacking into a directory that does not tell letter case apart: an image
// with partitions "Boot" and "boot" gives Boot.img and boot.img.2 there, not
// one file holding the payload written last, and the kit -X writes there
// packs the same image back. The directory is an exFAT file system mounted
// through FUSE; where that cannot be had, the test is skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/Output.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "robust/RobustSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

// An exFAT file system in a file, mounted on `Path()` while the object
// lives. Every step is bounded in time; the destructor always unmounts.
class ExfatMount {
 public:
  explicit ExfatMount(const TempDir& dir) : image_(dir / "exfat.img"), mountPoint_(dir / "mnt") {
    fs::create_directory(mountPoint_);
    if (RunShell("command -v mkfs.exfat && command -v mount.exfat-fuse && test -c /dev/fuse")
            .exitCode != 0) {
      why_ = "mkfs.exfat, mount.exfat-fuse or /dev/fuse is missing";
      return;
    }
    if (RunShell("truncate -s 64M " + Quoted(image_) + " && timeout 30 mkfs.exfat " +
                 Quoted(image_) + " >/dev/null 2>&1")
            .exitCode != 0) {
      why_ = "mkfs.exfat failed";
      return;
    }
    // As root the FUSE driver wants a block device: a loop device over the file.
    std::string device = image_;
    if (geteuid() == 0) {
      const RunResult loop = RunShell("timeout 30 losetup -f --show " + Quoted(image_));
      if (loop.exitCode != 0 || loop.output.empty()) {
        why_ = "no loop device can be set up";
        return;
      }
      loop_ = loop.output.substr(0, loop.output.find('\n'));
      device = loop_;
    }
    mounted_ = RunShell("timeout 30 mount.exfat-fuse " + Quoted(device) + " " +
                        Quoted(mountPoint_) + " >/dev/null 2>&1")
                   .exitCode == 0;
    if (!mounted_) why_ = "mounting through FUSE is not permitted here";
  }

  ~ExfatMount() {
    if (mounted_) {
      RunShell("timeout 30 umount " + Quoted(mountPoint_) + " 2>/dev/null || timeout 30 " +
               "fusermount -u " + Quoted(mountPoint_) + " 2>/dev/null || umount -l " +
               Quoted(mountPoint_) + " 2>/dev/null");
    }
    if (!loop_.empty()) RunShell("timeout 30 losetup -d " + Quoted(loop_) + " 2>/dev/null");
  }

  ExfatMount(const ExfatMount&) = delete;
  ExfatMount& operator=(const ExfatMount&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& WhyNot() const { return why_; }
  const std::string& Path() const { return mountPoint_; }

 private:
  std::string image_;
  std::string mountPoint_;
  std::string loop_;
  std::string why_;
  bool mounted_ = false;
};

TEST(CaseFoldingTest, NamesThatDifferInCaseAloneKeepEveryPayload) {
  TempDir dir;
  ExfatMount mount(dir);
  if (!mount.Mounted()) GTEST_SKIP() << mount.WhyNot();
  // The file system folds case: one file under both names.
  WriteText(mount.Path() + "/Probe", "x");
  ASSERT_TRUE(fs::exists(mount.Path() + "/probe"));
  fs::remove(mount.Path() + "/Probe");

  fs::create_directories(dir.Path() / "cfg");
  WriteBytes(dir / "cfg/ddr.bin", RandomBytes(4096, 1));
  WriteBytes(dir / "cfg/loader.bin", RandomBytes(10000, 2));
  const std::vector<uint8_t> upper = RandomBytes(70000, 3);
  const std::vector<uint8_t> lower = RandomBytes(50000, 4);
  WriteBytes(dir / "cfg/upper.bin", upper);
  WriteBytes(dir / "cfg/lower.bin", lower);
  WriteText(dir / "cfg/setting.ini",
            "[System]\nFwVersion=1.0.0\n" +
                PartSection(1, "IDBlock", "0x2", "0x40", "0x80", "0", "ddr.bin,loader.bin") +
                PartSection(2, "Boot", "0x8", "0x2000", "0x100", "0", "upper.bin") +
                PartSection(3, "boot", "0x8", "0x2100", "0x100", "0", "lower.bin"));
  StringOutput packed;
  ASSERT_TRUE(PackFirmware(dir / "cfg/setting.ini", dir.Path().string(), packed, FixedPackTime()))
      << packed.Text();
  const std::string image = dir / "Firmware.img";

  for (const char* command : {"-U", "-X"}) {
    SCOPED_TRACE(command);
    const std::string out = mount.Path() + "/" + (command[1] == 'U' ? "unpacked" : "kit");
    fs::create_directory(out);
    const RunResult run = RunBounded({command, image, out}, dir.Path().string());
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(Entries(out), (std::vector<std::string>{"Boot.img", "boot.img.2", "flashboot.bin",
                                                      "flashdata.bin", "setting.ini"}));
    EXPECT_TRUE(ReadBytes(out + "/Boot.img") == upper);
    EXPECT_TRUE(ReadBytes(out + "/boot.img.2") == lower);
    const std::string settings = ReadText(out + "/setting.ini");
    EXPECT_NE(settings.find("File=Boot.img\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("File=boot.img.2\n"), std::string::npos) << settings;
  }
  // The kit packs the image back, byte for byte.
  fs::create_directory(dir.Path() / "again");
  StringOutput repacked;
  ASSERT_TRUE(PackFirmware(mount.Path() + "/kit/setting.ini", dir / "again", repacked))
      << repacked.Text();
  EXPECT_TRUE(ReadBytes(dir / "again/Firmware.img") == ReadBytes(image));
}

}  // namespace
}  // namespace imgweld::test
