// Black-box runs of the executable on inputs and surroundings that cannot
// work: hostile images, files that cannot be read, directories that cannot be
// written, and things that are not regular files where files are expected.
// Each run ends on its own, fails with exactly one error line and its exit
// code, and leaves nothing outside its output directory and nothing that
// claims success.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "robust/RobustSupport.h"
#include "support/TestSupport.h"
#include "unpack/TaggedImageWriter.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> DigestBytes(const std::string& path) {
  const std::string hex = Md5sumHex(path);
  std::vector<uint8_t> digest;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    digest.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return digest;
}

// The output directory lies two levels below the work directory, beside an
// empty sibling, so names that climb out of it land where the checks look.
class HostileImageTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }

  void Reset() {
    fs::remove_all(dir_.Path() / "a");
    fs::create_directories(dir_.Path() / "a/b/out");
    fs::create_directories(dir_.Path() / "a/sibling");
  }

  void ExpectNothingOutsideTheOutputDirectory() {
    EXPECT_EQ(Entries(dir_.Path()), (std::vector<std::string>{"a", "fw.img", "fw.md5"}));
    EXPECT_EQ(Entries(dir_.Path() / "a"), (std::vector<std::string>{"b", "sibling"}));
    EXPECT_EQ(Entries(dir_.Path() / "a/b"), std::vector<std::string>{"out"});
    EXPECT_TRUE(Entries(dir_.Path() / "a/sibling").empty());
  }

  TempDir dir_;
};

TEST_F(HostileImageTest, RefusedWithOneErrorAndNothingWrittenOutside) {
  const std::vector<uint8_t> four = {1, 2, 3, 4};
  const auto named = [&](const std::string& name) {
    TestImage image;
    image.records = {VendorRecord(), Partition("first", 5, 0x40, 8, 4),
                     Partition(name, 5, 0x40, 8, 4)};
    image.Place(0x40 * 512, four);
    return image.Build();
  };
  // The record's payload runs past the image's end: a run that read the
  // records of a hostile table would stop at the first one with another
  // error, instead of running until its time limit.
  const auto table = [](uint32_t entrySize, uint32_t entryCount) {
    TestImage image;
    image.entrySize = entrySize;
    image.overrideCount = true;
    image.entryCount = entryCount;
    image.records = {Partition("a", 5, 0x40, 8, image.minLength)};
    return image.Build();
  };
  const auto single = [](const TestRecord& record) {
    TestImage image;
    image.records = {VendorRecord(), record};
    return image.Build();
  };
  const std::string badName =
      "UnPacking Error:Name of partition record 2 is not a plain file name!\r";
  const std::string cutOff =
      "UnPacking Error:Partition table is cut off by the end of the firmware, ";
  const std::string beyond = "UnPacking Error:Partition table lies beyond 4 GiB, ";
  struct Case {
    std::string what;
    std::vector<uint8_t> image;
    std::string error;
    std::vector<std::string> files;  // left in the output directory
  };
  const std::vector<Case> cases = {
      {"name climbing one level", named("../escape"), badName, {"first.img"}},
      {"name climbing two levels", named("../../sibling/x"), badName, {"first.img"}},
      {"name with a directory part", named("b/c"), badName, {"first.img"}},
      {"absolute name", named("/tmp/imgweld-escape"), badName, {"first.img"}},
      {"name of two dots", named(".."), badName, {"first.img"}},
      {"more records than the image holds",
       table(128, 5000000),
       cutOff + "entryCount=5000000, entrySize=128!\r",
       {}},
      {"every possible record",
       table(128, 0xFFFFFFFF),
       beyond + "entryCount=4294967295, entrySize=128!\r",
       {}},
      {"millions of records of size 0",
       table(0, 3000000),
       "UnPacking Error:Partition records overlap, entrySize=0!\r",
       {}},
      {"records 2 GiB apart",
       table(0x80000000, 3),
       beyond + "entryCount=3, entrySize=2147483648!\r",
       {}},
      {"payload offset past the end",
       single(Partition("p", 5, 0x1000, 8, 16)),
       "UnPacking Error:Data of p.img runs past the end of the firmware!\r",
       {}},
      {"payload offset past 4 GiB",
       single(Partition("p", 5, 0x900000, 8, 16)),
       "UnPacking Error:Data of p.img lies beyond 4 GiB!\r",
       {}},
      {"payload length past the end",
       single(Partition("p", 5, 0x40, 8, 0x10000)),
       "UnPacking Error:Data of p.img runs past the end of the firmware!\r",
       {}},
      {"boot program longer than the image",
       single(BootRecord(0x40, 0x40, 12 * 512, 0, 0xFFFFFFFF, 100)),
       "UnPacking Error:Data of flashdata.bin lies beyond 4 GiB!\r",
       {}},
      {"header cut short",
       std::vector<uint8_t>{'Z', 'V', 'F', 'P', 0, 0},
       "UnPacking Error:Header of firmware is cut short, length=6!\r",
       {}},
      {"empty file", {}, "UnPacking Error:Tag of firmware is wrong, tag=0x0!\r", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    WriteBytes(dir_ / "fw.img", c.image);
    WriteBytes(dir_ / "fw.md5", DigestBytes(dir_ / "fw.img"));
    const auto started = std::chrono::steady_clock::now();
    const RunResult result = RunBounded({"-U", "fw.img", "a/b/out"}, dir_.Path().string());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(ExpectErrorLineAtTheEnd(result, 4, "UnPacking Error:"), c.error);
    EXPECT_EQ(Entries(dir_.Path() / "a/b/out"), c.files);
    for (const std::string& file : c.files) EXPECT_EQ(ReadBytes(dir_ / ("a/b/out/" + file)), four);
    ExpectNothingOutsideTheOutputDirectory();
  }
}

// A work directory holding a copy of the example board, its packed image as
// fw.img with fw.md5, an output directory, and a copy of the executable, all
// reachable by an unprivileged user.
class BadSurroundingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // mkdtemp makes the directory private; the unprivileged runs need a way in.
    fs::permissions(dir_.Path(), fs::perms(0755));
    fs::copy(SourceDir() + "/examples/board", dir_.Path() / "board");
    fs::create_directory(dir_.Path() / "packed");
    const RunResult packed =
        RunBounded({"-P", "board/setting.ini", "packed"}, dir_.Path().string());
    ASSERT_EQ(packed.exitCode, 0) << packed.output;
  }

  // Lays out a fresh work directory with everything readable by all.
  void Reset(const std::string& work) {
    fs::remove_all(work);
    fs::create_directories(work + "/out");
    fs::copy(dir_.Path() / "board", work + "/board");
    fs::copy_file(dir_.Path() / "packed/Firmware.img", work + "/fw.img");
    fs::copy_file(dir_.Path() / "packed/Firmware.md5", work + "/fw.md5");
    fs::create_directory(work + "/bin");
    fs::copy_file(ImgweldExe(), work + "/bin/imgweld");
    RunShell("chmod -R a+rX " + Quoted(work) + " && chmod 0777 " + Quoted(work + "/out"));
  }

  struct Case {
    std::string what;
    std::function<void(const std::string&)> prepare;  // given the work directory
    std::vector<std::string> args;
    std::string errorStart;  // the whole error line where it does not depend on the file system
    bool asNobody = false;
    size_t errorLines = 1;
  };

  void Run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      const std::string work = dir_ / "work";
      Reset(work);
      if (c.prepare) c.prepare(work);
      const RunResult result =
          c.asNobody ? RunAsNobody(work + "/bin/imgweld", c.args, work) : RunBounded(c.args, work);
      const bool pack = c.args.front() == "-P";
      const std::string error = ExpectErrorLineAtTheEnd(
          result, pack ? 3 : 4, pack ? "Packing Error:" : "UnPacking Error:", c.errorLines);
      EXPECT_TRUE(error.starts_with(c.errorStart)) << error;
      EXPECT_EQ(result.output.find("firmware OK."), std::string::npos);
      if (pack) {
        // No run here gets as far as a hash file.
        EXPECT_FALSE(fs::is_regular_file(work + "/out/Firmware.md5"));
      } else if (fs::is_directory(work + "/out")) {
        EXPECT_FALSE(fs::exists(work + "/out/setting.ini"));
      }
    }
  }

  TempDir dir_;
};

void Chmod(const std::string& path, fs::perms perms) { fs::permissions(path, perms); }

void MakeFifo(const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }

void ReplaceWithDirectory(const std::string& path) {
  fs::remove(path);
  fs::create_directory(path);
}

const std::vector<std::string> kPack = {"-P", "board/setting.ini", "out"};
const std::vector<std::string> kUnpack = {"-U", "fw.img", "out"};

TEST_F(BadSurroundingsTest, PermissionFaultsFailTheRun) {
  if (!CanDropPrivileges()) GTEST_SKIP() << "setpriv is needed to run without root's rights";
  Run({
      {"unreadable payload",
       [](const std::string& w) { Chmod(w + "/board/uboot.img", fs::perms::none); }, kPack,
       "Packing Error:Getting UserPart failed!\r", true},
      // Reading the partition list measures the boot block and reports the
      // failure without stopping; the boot block writer meets it again and
      // stops the run, so this one failure is told twice.
      {"unreadable boot program",
       [](const std::string& w) { Chmod(w + "/board/ddr.bin", fs::perms::none); }, kPack,
       "Packing Error:Opening ddr.bin failed, err=13!\r", true, 2},
      {"read-only saving directory",
       [](const std::string& w) { Chmod(w + "/out", fs::perms(0555)); }, kPack,
       "Packing Error:Opening out/Firmware.img failed, err=13!\r", true},
      {"unreadable image", [](const std::string& w) { Chmod(w + "/fw.img", fs::perms::none); },
       kUnpack, "UnPacking Error:Opening fw.img failed, err=13!\r", true},
      {"unreadable hash file", [](const std::string& w) { Chmod(w + "/fw.md5", fs::perms::none); },
       kUnpack, "UnPacking Error:Opening fw.md5 failed, err=13!\r", true},
      {"read-only output directory",
       [](const std::string& w) { Chmod(w + "/out", fs::perms(0555)); }, kUnpack,
       "UnPacking Error:Creating flashdata.bin failed, err=13!\r", true},
      {"output directory that cannot be entered",
       [](const std::string& w) { Chmod(w + "/out", fs::perms(0666)); }, kUnpack,
       "UnPacking Error:Changing to out/ failed, errno=13!\r", true},
  });
}

TEST_F(BadSurroundingsTest, WhatIsNotAFileWhereAFileBelongsFailsTheRun) {
  Run({
      // How a directory measures depends on the file system; either way the
      // run fails with one message.
      {"payload is a directory",
       [](const std::string& w) { ReplaceWithDirectory(w + "/board/uboot.img"); }, kPack,
       "Packing Error:"},
      {"payload is a FIFO without a writer",
       [](const std::string& w) {
         fs::remove(w + "/board/uboot.img");
         MakeFifo(w + "/board/uboot.img");
       },
       kPack, "Packing Error:Getting UserPart failed!\r"},
      {"boot program is a FIFO without a writer",
       [](const std::string& w) {
         fs::remove(w + "/board/ddr.bin");
         MakeFifo(w + "/board/ddr.bin");
       },
       // Refused at opening, like any boot program that cannot be opened:
       // named when the list is read and again where the block is built.
       kPack, "Packing Error:Opening ddr.bin failed, err=29!\r", false, 2},
      {"saving directory is a file",
       [](const std::string& w) {
         fs::remove(w + "/out");
         WriteText(w + "/out", "x");
       },
       kPack, "Packing Error:invalid out!\r"},
      // The one message without a line end.
      {"hash file is a directory",
       [](const std::string& w) { fs::create_directory(w + "/out/Firmware.md5"); }, kPack,
       "Packing Error:Opening out/Firmware.md5 failed, err=21!"},
      {"image is a FIFO without a writer",
       [](const std::string& w) {
         fs::remove(w + "/fw.img");
         MakeFifo(w + "/fw.img");
       },
       kUnpack, "UnPacking Error:Opening fw.img failed, err=29!\r"},
      {"image is a directory", [](const std::string& w) { ReplaceWithDirectory(w + "/fw.img"); },
       kUnpack, "UnPacking Error:Opening fw.img failed, err=21!\r"},
      {"hash file is a directory",
       [](const std::string& w) { ReplaceWithDirectory(w + "/fw.md5"); }, kUnpack,
       "UnPacking Error:Opening fw.md5 failed, err=21!\r"},
      {"output directory is a file",
       [](const std::string& w) {
         fs::remove(w + "/out");
         WriteText(w + "/out", "x");
       },
       kUnpack, "UnPacking Error:Stat out/ failed, errno=20!\r"},
  });
}

}  // namespace
}  // namespace imgweld::test
