// A disk that fills up in the middle of a run, shown with a file-size limit:
// every write past the limit fails with EFBIG (the program ignores the signal
// that would otherwise kill it there). Wherever that happens, the run fails
// with one error line naming the file, never prints its OK line, and leaves
// nothing that passes for a good result: the image and hash file of an
// earlier run stay exactly as they were, and an unpacked file that was cut
// short is not there at all, under its name or a temporary one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "robust/RobustSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

constexpr int kEfbig = 27;

// Where a limit lies: a position from the start of the file, or a distance
// back from the length of the complete file (`fromEnd`).
struct Limit {
  std::string where;
  int64_t position;
  bool fromEnd = false;

  uint64_t Resolve(uint64_t fullLength) const {
    return fromEnd ? fullLength + position : static_cast<uint64_t>(position);
  }
};

class PackDiskFullTest : public ::testing::Test {
 protected:
  // Packs the example once without a limit; its image and hash file stand
  // for the result of an earlier run that a failed run must not leave valid.
  void PackReference(const std::string& example) {
    config_ = SourceDir() + "/examples/" + example + "/setting.ini";
    fs::create_directory(dir_.Path() / "reference");
    const RunResult result = RunBounded({"-P", config_, "reference"}, dir_.Path().string());
    ASSERT_EQ(result.exitCode, 0) << result.output;
    fullLength_ = fs::file_size(dir_ / "reference/Firmware.img");
  }

  void ExpectBrokenRunsLeaveNothingValid(const std::vector<Limit>& limits, bool taggedImage) {
    const std::string okLine =
        taggedImage ? "Generating firmware OK.\r\n" : "Generating GPT firmware OK.\r\n";
    for (const Limit& limit : limits) {
      const uint64_t bytes = limit.Resolve(fullLength_);
      SCOPED_TRACE(limit.where + ", limit " + std::to_string(bytes));
      fs::remove_all(dir_.Path() / "out");
      fs::copy(dir_.Path() / "reference", dir_.Path() / "out");
      const RunResult result =
          RunWithFileSizeLimit(bytes, {"-P", config_, "out"}, dir_.Path().string());
      const std::string error = ExpectErrorLineAtTheEnd(result, 3, "Packing Error:");
      EXPECT_EQ(error, "Packing Error:Writing out/Firmware.img failed, err=" +
                           std::to_string(kEfbig) + "!\r");
      EXPECT_EQ(result.output.find(okLine), std::string::npos);

      // The pair of the earlier run is left exactly as it was, and no
      // temporary file of the broken run stays behind.
      ExpectSameFiles(dir_ / "reference", dir_ / "out");
      if (taggedImage) {
        fs::create_directories(dir_.Path() / "unpacked");
        EXPECT_EQ(RunBounded({"-U", "out/Firmware.img", "unpacked"}, dir_.Path().string()).exitCode,
                  0);
      }
    }
  }

  void ExpectLimitAtTheFullLengthSucceeds(const std::string& okLine) {
    fs::remove_all(dir_.Path() / "out");
    fs::create_directory(dir_.Path() / "out");
    const RunResult result =
        RunWithFileSizeLimit(fullLength_, {"-P", config_, "out"}, dir_.Path().string());
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(result.output.ends_with(okLine)) << result.output;
    EXPECT_EQ(fs::file_size(dir_ / "out/Firmware.img"), fullLength_);
  }

  TempDir dir_;
  std::string config_;
  uint64_t fullLength_ = 0;
};

// The example board: boot block at 0x8000 (second copy at 0x10000), uboot at
// 0x18000, a fill partition at 0x20000, boot at 0x24000, the growing rootfs at
// 0x38000, then the 4096-byte backup block.
TEST_F(PackDiskFullTest, TaggedImageFailsWhereverTheDiskFills) {
  PackReference("board");
  ExpectBrokenRunsLeaveNothingValid(
      {
          {"nothing may be written", 0},
          {"inside the header", 300},
          {"inside the partition table", 0x800},
          {"inside the vendor area", 0x4000},
          {"inside the boot block", 0x8000 + 100},
          {"inside the second boot block copy", 0x10000 + 100},
          {"inside a payload", 0x18000 + 100},
          {"inside a fill partition", 0x20000 + 100},
          {"inside the growing last payload", 0x38000 + 100},
          {"inside the backup block", -4096 + 100, true},
          {"one byte short", -1, true},
      },
      true);
  ExpectLimitAtTheFullLengthSucceeds("Generating firmware OK.\r\n");
}

// The partition-table example: MBR, GPT header and array up to 17408, the
// partitions from 0x8000 to 0x40000, then the backup array and header.
TEST_F(PackDiskFullTest, PartitionTableImageFailsWhereverTheDiskFills) {
  PackReference("gpt-board");
  ExpectBrokenRunsLeaveNothingValid(
      {
          {"inside the protective MBR", 200},
          {"inside the partition array", 5000},
          {"inside the gap before the first partition", 0x6000},
          {"inside a payload", 0x18000 + 100},
          {"inside the backup array", -16896 + 100, true},
          {"inside the backup header", -100, true},
          {"one byte short", -1, true},
      },
      false);
  ExpectLimitAtTheFullLengthSucceeds("Generating GPT firmware OK.\r\n");
}

class UnpackDiskFullTest : public ::testing::Test {
 protected:
  // Packs `config` into an image and unpacks it once without a limit; the
  // files of that run, in the order they were saved, are the reference.
  void Prepare(const std::string& config) {
    fs::create_directories(dir_.Path() / "packed");
    const RunResult packed = RunBounded({"-P", config, "packed"}, dir_.Path().string());
    ASSERT_EQ(packed.exitCode, 0) << packed.output;
    fs::create_directories(dir_.Path() / "reference");
    const RunResult unpacked =
        RunBounded({"-U", "packed/Firmware.img", "reference"}, dir_.Path().string());
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.output;
    for (const std::string& line : Lines(unpacked.output)) {
      if (line.starts_with("Saving ")) saved_.push_back(line.substr(7, line.size() - 7 - 4));
    }
    saved_.push_back("setting.ini");
  }

  // Unpacks under `bytes` and expects `failing` to be the file the disk
  // filled on: the files saved before it are complete, and neither it nor
  // anything after it is there (no setting.ini either), not even under a
  // temporary name. With `earlierRun`, the output directory first holds the
  // files of an earlier unpack, each with other content: the files saved
  // before the failure replace theirs, all others keep theirs.
  void ExpectFailureOn(uint64_t bytes, const std::string& failing, const std::string& error,
                       bool earlierRun = false) {
    SCOPED_TRACE("limit " + std::to_string(bytes) + ", failing on " + failing +
                 (earlierRun ? ", over an earlier run" : ""));
    const fs::path out = dir_.Path() / "out";
    fs::remove_all(out);
    fs::create_directory(out);
    const std::string earlier = "from an earlier run\n";
    if (earlierRun) {
      for (const std::string& name : saved_) WriteText((out / name).string(), earlier);
    }
    const RunResult result =
        RunWithFileSizeLimit(bytes, {"-U", "packed/Firmware.img", "out"}, dir_.Path().string());
    EXPECT_EQ(ExpectErrorLineAtTheEnd(result, 4, "UnPacking Error:"), error + "\r");
    EXPECT_EQ(result.output.find("Unpacking firmware OK."), std::string::npos);

    std::vector<std::string> completed;
    for (const std::string& name : saved_) {
      if (name == failing) break;
      completed.push_back(name);
    }
    ASSERT_LT(completed.size(), saved_.size()) << failing << " is never saved";
    std::vector<std::string> expected = earlierRun ? saved_ : completed;
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(Entries(out), expected);
    for (const std::string& name : expected) {
      const bool replaced = std::find(completed.begin(), completed.end(), name) != completed.end();
      if (replaced) {
        EXPECT_EQ(ReadBytes((out / name).string()), ReadBytes(dir_ / ("reference/" + name)))
            << name;
      } else {
        EXPECT_EQ(ReadText((out / name).string()), earlier) << name;
      }
    }
  }

  static std::string WriteError(const std::string& name) {
    return "UnPacking Error:Writing " + name + " failed, err=" + std::to_string(kEfbig) + "!";
  }

  TempDir dir_;
  std::vector<std::string> saved_;
};

// The example board unpacks to flashdata.bin (3000 bytes), flashboot.bin
// (9000), uboot.img (12288), misc.img (empty), boot.img (20000), backup.img
// (empty) and rootfs.img (24576).
TEST_F(UnpackDiskFullTest, FailsOnTheFileTheDiskFillsOn) {
  Prepare(SourceDir() + "/examples/board/setting.ini");
  for (const bool earlierRun : {false, true}) {
    ExpectFailureOn(0, "flashdata.bin", WriteError("flashdata.bin"), earlierRun);
    ExpectFailureOn(2999, "flashdata.bin", WriteError("flashdata.bin"), earlierRun);
    ExpectFailureOn(5000, "flashboot.bin", WriteError("flashboot.bin"), earlierRun);
    ExpectFailureOn(16384, "boot.img", WriteError("boot.img"), earlierRun);
    ExpectFailureOn(24575, "rootfs.img", WriteError("rootfs.img"), earlierRun);
  }
}

// Payloads smaller than the regenerated configuration: the disk fills on
// setting.ini, the last file written.
TEST_F(UnpackDiskFullTest, FailsOnTheSettingsFile) {
  const std::string config = dir_ / "small/setting.ini";
  fs::create_directories(dir_.Path() / "small");
  WriteBytes(dir_ / "small/ddr.bin", RandomBytes(16, 1));
  WriteBytes(dir_ / "small/loader.bin", RandomBytes(16, 2));
  WriteBytes(dir_ / "small/kernel.img", RandomBytes(20, 3));
  WriteText(config,
            "[System]\nFwVersion=1.0.0\n"
            "[UserPart1]\nName=IDBlock\nType=2\nPartOffset=0x40\nPartSize=0x20\nFlag=0\n"
            "File=ddr.bin,loader.bin\n"
            "[UserPart2]\nName=kernel\nType=8\nPartOffset=0x60\nPartSize=1\nFlag=0\n"
            "File=kernel.img\n");
  Prepare(config);
  ASSERT_GT(fs::file_size(dir_ / "reference/setting.ini"), 64u);
  ExpectFailureOn(64, "setting.ini", "UnPacking Error:Saving setting.ini failed!");
  ExpectFailureOn(64, "setting.ini", "UnPacking Error:Saving setting.ini failed!", true);
}

}  // namespace
}  // namespace imgweld::test
