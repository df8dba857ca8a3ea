// GPT disks read as UEFI reads them, by -V, -L and -X alike: disks made by
// sgdisk and sfdisk, sound and damaged by flipping bytes here without
// fixing a checksum, read back with sgdisk and sfdisk as the reference.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "cli/InspectTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kSector = 512;
constexpr uint64_t kDiskSectors = 16384;  // 8 MiB
constexpr uint64_t kPrimaryHeader = kSector;
constexpr uint64_t kPrimaryArray = 2 * kSector;
constexpr uint64_t kBackupHeader = (kDiskSectors - 1) * kSector;
constexpr uint64_t kEntrySize = 128;

// An 8 MiB disk partitioned by sgdisk with `arguments`.
void Sgdisk(const std::string& path, const std::string& arguments) {
  ASSERT_EQ(RunShell("truncate -s 8M " + Quote(path) + " && sgdisk " + arguments + " " +
                     Quote(path) + " >/dev/null 2>&1")
                .exitCode,
            0)
      << arguments;
}

// An 8 MiB disk partitioned by sfdisk from `script` (lines of its input).
void Sfdisk(const std::string& path, const std::string& script) {
  ASSERT_EQ(RunShell("truncate -s 8M " + Quote(path) + " && printf '" + script + "' | sfdisk -q " +
                     Quote(path) + " >/dev/null 2>&1")
                .exitCode,
            0)
      << script;
}

const std::string kTwoPartitions = "-n 1:2048:+1M -c 1:boot -n 2:4096:+2M -c 2:rootfs";

void Make(const std::string& path) { Sgdisk(path, kTwoPartitions); }

// Random bytes in every sector the partitions may take.
void FillPartitions(const std::string& path) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  const std::vector<uint8_t> random = RandomBytes(6144 * kSector, 7);
  std::copy(random.begin(), random.end(), bytes.begin() + 2048 * kSector);
  WriteBytes(path, bytes);
}

void ZeroSector(const std::string& path, uint64_t at) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), kSector, 0);
  WriteBytes(path, bytes);
}

// The names of the failed checks and the verdict of "-V <disk> json",
// read with Python's json module: "name,name|True".
std::string JsonVerdict(const std::string& dir, const std::string& disk) {
  return RunShell("cd " + Quote(dir) + " && " + Quote(ImgweldExe()) + " -V " + Quote(disk) +
                  " JSON | python3 -c " +
                  Quote("import json, sys\nd = json.load(sys.stdin)\n"
                        "assert d['kind'] == 'gpt' and d['file'] == '" +
                        disk +
                        "'\n"
                        "assert all(set(c) == {'name', 'status', 'detail'} for c in d['checks'])\n"
                        "bad = sorted(c['name'] for c in d['checks'] if c['status'] == 'bad')\n"
                        "print(','.join(bad) + '|' + str(d['ok']))"))
      .output;
}

std::string Joined(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

TEST(GptReadTest, VerifyMakesTheChecksOfEveryGptToolOnDisksOfOtherTools) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> make;
    std::set<std::string> failed;
  } cases[] = {
      {"sgdisk", Make, {}},
      {"sfdisk",
       [](const std::string& p) {
         Sfdisk(p, "label: gpt\\nstart=2048, size=2048, name=boot\\nsize=4096\\n");
       },
       {}},
      {"sfdisk, 8 entries",
       [](const std::string& p) {
         Sfdisk(p, "label: gpt\\ntable-length: 8\\nstart=2048, size=2048\\n");
       },
       {}},
      {"sgdisk, hybrid MBR",
       [](const std::string& p) { Sgdisk(p, kTwoPartitions + " -h 1:EE"); },
       {}},
      {"an entry edited",
       [](const std::string& p) {
         Make(p);
         FlipByte(p, kPrimaryArray + kEntrySize + 41);
       },
       {"array crc", "backup gpt"}},
      {"the disk GUID edited",
       [](const std::string& p) {
         Make(p);
         FlipByte(p, kPrimaryHeader + 56);
       },
       {"header crc", "backup gpt"}},
      {"the backup header edited",
       [](const std::string& p) {
         Make(p);
         FlipByte(p, kBackupHeader + 56);
       },
       {"backup gpt"}},
      {"the primary header zeroed",
       [](const std::string& p) {
         Make(p);
         ZeroSector(p, kPrimaryHeader);
       },
       {"gpt header", "header crc", "array crc", "backup gpt"}},
      {"the disk grown past its backup",
       [](const std::string& p) {
         Make(p);
         fs::resize_file(p, 9 << 20);
       },
       {"protective mbr", "usable sectors"}},
      {"the protective record cut short",
       [](const std::string& p) {
         Make(p);
         FlipByte(p, 446 + 12);
       },
       {"protective mbr"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.make(dir / "disk.img");
    const Outcome verified = Imgweld({"-V", "disk.img"}, dir.Path());
    EXPECT_EQ(verified.exitCode, c.failed.empty() ? 0 : 4) << verified.out;
    EXPECT_EQ(FailedChecks(verified.out), c.failed) << verified.out;
    EXPECT_NE(verified.out.find("packer fields   n/a  not checked: no layout mark of the "
                                "packer's at byte 108, a disk of another tool\n"),
              std::string::npos)
        << verified.out;
    EXPECT_EQ(JsonVerdict(dir.Path(), "disk.img"),
              Joined(c.failed) + "|" + (c.failed.empty() ? "True" : "False") + "\n");
  }
}

// The packer's own images keep their checks, and json gives the same.
TEST(GptReadTest, VerifyJsonOfThePackersImage) {
  TempDir dir;
  PackFixed(SourceDir() + "/examples/gpt-board/setting.ini", dir.Path(), SourceDir());
  EXPECT_EQ(JsonVerdict(dir.Path(), "Firmware.img"), "|True\n");
  const Outcome both = Imgweld({"-v", "Firmware.img", "Json", "OFFcheck"}, dir.Path());
  EXPECT_EQ(both.exitCode, 0);
  EXPECT_TRUE(both.out.starts_with("{\n")) << both.out;
  FlipByte(dir / "Firmware.img", kPrimaryArray + 5);
  EXPECT_EQ(JsonVerdict(dir.Path(), "Firmware.img"), "array crc,backup gpt|False\n");
  EXPECT_EQ(Imgweld({"-V", "Firmware.img", "json", "more"}, dir.Path()).out,
            "command is invalid!\r\n");
}

// What sgdisk and sfdisk read of a disk: "start size" of each partition.
std::string SfdiskPartitions(const std::string& disk) {
  return RunShell("sfdisk --json " + Quote(disk) + " 2>/dev/null | python3 -c " +
                  Quote("import json, sys\n"
                        "for p in json.load(sys.stdin)['partitiontable']['partitions']:\n"
                        "  print(p['start'], p['size'])"))
      .output;
}

std::string SgdiskPartitions(const std::string& disk) {
  std::string text;
  for (int i = 1; i <= 2; ++i) {
    text += RunShell("sgdisk -i " + std::to_string(i) + " " + Quote(disk) +
                     " | sed -n 's/^First sector: \\([0-9]*\\) .*/\\1/p; s/^Partition size: "
                     "\\([0-9]*\\) sectors.*/\\1/p' | paste -sd' '")
                .output;
  }
  return text;
}

// "start size" of each partition of a kit's setting.ini.
std::string KitPartitions(const std::string& config) {
  std::istringstream in(ReadText(config));
  std::string line;
  std::string text;
  for (uint64_t start = 0; std::getline(in, line);) {
    if (line.starts_with("PartOffset=")) start = std::stoull(line.substr(11), nullptr, 0);
    if (line.starts_with("PartSize=")) {
      text += std::to_string(start) + " " +
              std::to_string(std::stoull(line.substr(9), nullptr, 0)) + "\n";
    }
  }
  return text;
}

TEST(GptReadTest, APrimaryThatFailsItsChecksumIsReadFromTheBackup) {
  const struct {
    const char* what;
    uint64_t zeroSector;  // 0: flip `flip` instead
    uint64_t flip;
    const char* line;
  } cases[] = {
      {"an entry edited", 0, kPrimaryArray + kEntrySize + 41,
       "imgweld: disk.img: primary GPT fails its checksum, the backup GPT is used\n"},
      {"the disk GUID edited", 0, kPrimaryHeader + 60,
       "imgweld: disk.img: primary GPT fails its checksum, the backup GPT is used\n"},
      {"the primary header zeroed", kPrimaryHeader, 0,
       "imgweld: disk.img: primary GPT has no header at sector 1, the backup GPT is used\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string disk = dir / "disk.img";
    Make(disk);
    FillPartitions(disk);
    // Bytes of the rootfs partition beyond what the damaged entry covers.
    if (c.zeroSector != 0) ZeroSector(disk, c.zeroSector);
    if (c.flip != 0) FlipByte(disk, c.flip);
    const std::string read = SfdiskPartitions(disk);
    ASSERT_EQ(read, "2048 2048\n4096 4096\n");
    ASSERT_EQ(SgdiskPartitions(disk), "2048 2048\n4096 4096\n");

    fs::create_directory(dir / "kit");
    const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 0) << kit.err;
    EXPECT_EQ(LinesStartingWith(kit.err, "imgweld: disk.img: primary").size(), 1u) << kit.err;
    EXPECT_NE(kit.err.find(c.line), std::string::npos) << kit.err;
    EXPECT_EQ(KitPartitions(dir / "kit/setting.ini"), read);
    const std::vector<uint8_t> bytes = ReadBytes(disk);
    EXPECT_EQ(ReadBytes(dir / "kit/rootfs.img"),
              std::vector<uint8_t>(bytes.begin() + 4096 * kSector, bytes.begin() + 8192 * kSector));

    // -L and -V show the primary's failed checks, and the partitions of the
    // backup.
    const Outcome listed = Imgweld({"-L", "disk.img"}, dir.Path());
    EXPECT_EQ(listed.exitCode, 4);
    EXPECT_EQ(listed.err, c.line);
    EXPECT_NE(listed.out.find("1  rootfs "), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("0x1000  0x1fff"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("table read       backup, the primary "), std::string::npos);
    const Outcome verified = Imgweld({"-V", "disk.img"}, dir.Path());
    EXPECT_EQ(verified.exitCode, 4);
    EXPECT_EQ(verified.err, c.line);
    EXPECT_NE(verified.out.find("entry 1 rootfs  ok   sectors 0x1000-0x1fff\n"), std::string::npos)
        << verified.out;
  }
}

// Each disk a kit cannot be made of is refused before any file is written,
// with one line that names the reason.
TEST(GptReadTest, RefusalsNameTheirReason) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> make;
    std::string reason;
  } cases[] = {
      {"sfdisk, 8 entries",
       [](const std::string& p) {
         Sfdisk(p, "label: gpt\\ntable-length: 8\\nstart=2048, size=2048\\n");
       },
       "its GPT has 8 entries, the packer writes 128"},
      {"sgdisk, 4 entries",
       [](const std::string& p) { Sgdisk(p, "--resize-table=4 -n 1:2048:+64K"); },
       "its GPT has 4 entries, the packer writes 128"},
      {"a hybrid MBR, its 0xee record last",
       [](const std::string& p) { Sgdisk(p, kTwoPartitions + " -h 1:EE"); },
       "it has a hybrid MBR (1 record beside the one of type 0xee), a partition-table image "
       "has a protective MBR only"},
      {"both headers zeroed",
       [](const std::string& p) {
         Make(p);
         ZeroSector(p, kPrimaryHeader);
         ZeroSector(p, kBackupHeader);
       },
       "it has a protective MBR, but no GPT header at sector 1 and no sound backup GPT at its "
       "last sector"},
      {"both tables damaged",
       [](const std::string& p) {
         Make(p);
         FlipByte(p, kPrimaryArray + kEntrySize + 41);
         FlipByte(p, kBackupHeader + 60);
       },
       "its primary GPT fails its checksum and it has no sound backup GPT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.make(dir / "disk.img");
    fs::create_directory(dir / "kit");
    const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 4);
    EXPECT_EQ(kit.out, "");
    EXPECT_EQ(LinesStartingWith(kit.err, "imgweld: disk.img: "),
              std::vector<std::string>{"imgweld: disk.img: cannot be taken apart: " + c.reason})
        << kit.err;
    EXPECT_TRUE(fs::is_empty(dir / "kit"));
  }
}

// A disk with no GPT to read says what -L and -V found in it.
TEST(GptReadTest, ListAndVerifySayWhatTheyFound) {
  TempDir dir;
  Make(dir / "disk.img");
  ZeroSector(dir / "disk.img", kPrimaryHeader);
  ZeroSector(dir / "disk.img", kBackupHeader);
  const std::string found =
      ": it has a protective MBR, but no GPT header at sector 1 and no sound backup GPT at its "
      "last sector!\r\n";
  const Outcome listed = Imgweld({"-L", "disk.img"}, dir.Path());
  EXPECT_EQ(listed.exitCode, 4);
  EXPECT_EQ(listed.out,
            "UnPacking Error:disk.img is neither a tagged firmware image, a partition-table image "
            "nor a configuration" +
                found);
  const Outcome verified = Imgweld({"-V", "disk.img"}, dir.Path());
  EXPECT_EQ(verified.exitCode, 4);
  EXPECT_EQ(verified.out,
            "UnPacking Error:disk.img is neither a tagged firmware image nor a partition-table "
            "image" +
                found);
  const Outcome json = Imgweld({"-V", "disk.img", "json"}, dir.Path());
  EXPECT_EQ(json.exitCode, 4);
  EXPECT_EQ(json.out, "");
  EXPECT_TRUE(json.err.starts_with("imgweld: disk.img: disk.img is neither")) << json.err;
}

}  // namespace
}  // namespace imgweld::test
