// Disk images partitioned by another tool (sgdisk here): -X takes every
// partition out as a file, and the kit packs a partition-table image that
// sgdisk reads as the same partitions, names and GUIDs, holding the same
// bytes in them.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>

#include "cli/InspectTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kSector = 512;

// Makes a disk image of `size` (a sparse file) partitioned by sgdisk with
// `arguments`.
void MakeDisk(const std::string& path, const std::string& arguments,
              const std::string& size = "4M") {
  ASSERT_EQ(RunShell("truncate -s " + size + " " + Quote(path) + " && sgdisk " + arguments + " " +
                     Quote(path) + " >/dev/null 2>&1")
                .exitCode,
            0)
      << arguments;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, uint64_t first, uint64_t sectors) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(first * kSector),
          bytes.begin() + static_cast<std::ptrdiff_t>((first + sectors) * kSector)};
}

// What sgdisk says of a disk's partitions: the disk GUID and one row per
// partition from -p, and all of -i for each, without the disk's size.
std::string PartitionReport(const std::string& image, int count) {
  std::string report;
  const std::string listing = RunShell("sgdisk -p " + Quote(image)).output;
  for (const std::string& line : LinesStartingWith(listing, "")) {
    const bool row = !line.empty() && line.find_first_not_of(' ') != std::string::npos &&
                     std::isdigit(static_cast<unsigned char>(line[line.find_first_not_of(' ')]));
    if (line.rfind("Disk identifier", 0) == 0 || row) report += line + "\n";
  }
  for (int i = 1; i <= count; ++i) {
    report += RunShell("sgdisk -i " + std::to_string(i) + " " + Quote(image)).output;
  }
  return report;
}

TEST(ForeignDiskTest, SgdiskImageComesBackWithTheSamePartitions) {
  TempDir dir;
  const std::string disk = dir / "disk.img";
  MakeDisk(disk,
           "-a 8 -n 1:2048:+512K -c 1:esp -t 1:ef00 -n 2:4096:+1M -c 2:rootfs -t 2:8300 "
           "-n 3:6144:+200K -c 3:rootfs -t 3:8300 -n 4:7000:+100K -t 4:8302");
  // Random bytes in every partition, and some outside them.
  std::vector<uint8_t> bytes = ReadBytes(disk);
  const struct {
    uint64_t first, sectors;
  } parts[] = {{2048, 1024}, {4096, 2048}, {6144, 400}, {7000, 200}};
  uint32_t seed = 1;
  for (const auto& p : parts) {
    const std::vector<uint8_t> random = RandomBytes(p.sectors * kSector, seed++);
    std::copy(random.begin(), random.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(p.first * kSector));
  }
  bytes[100] = 0x42;  // the MBR's boot code, which is not rebuilt
  WriteBytes(disk, bytes);
  fs::create_directory(dir / "kit");
  fs::create_directory(dir / "out");

  const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
  ASSERT_EQ(kit.exitCode, 0) << kit.err;
  EXPECT_EQ(kit.out, "esp.img\nrootfs.img\nrootfs.img.2\npartition4.img\nsetting.ini\n");
  EXPECT_EQ(LinesStartingWith(kit.err, "imgweld: disk.img: "),
            std::vector<std::string>{
                "imgweld: disk.img: a disk image of another tool: its partitions, their names "
                "and GUIDs and the disk GUID are rebuilt, the bytes outside the partitions (MBR "
                "fields, private header fields, the disk's size) are not"});
  const char* files[] = {"esp.img", "rootfs.img", "rootfs.img.2", "partition4.img"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ReadBytes(dir / ("kit/" + std::string(files[i]))),
              Slice(bytes, parts[i].first, parts[i].sectors))
        << files[i];
  }
  const Outcome listed = Imgweld({"-L", "disk.img", "ini"}, dir.Path());
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_EQ(listed.out, ReadText(dir / "kit/setting.ini"));

  const Outcome packed = Imgweld({"-P", "kit/setting.ini", "out"}, dir.Path());
  ASSERT_EQ(packed.exitCode, 0) << packed.out;
  const std::string rebuilt = dir / "out/Firmware.img";
  const std::string report = PartitionReport(disk, 4);
  EXPECT_NE(report.find("Partition unique GUID"), std::string::npos) << report;
  EXPECT_EQ(PartitionReport(rebuilt, 4), report);
  const std::vector<uint8_t> again = ReadBytes(rebuilt);
  for (const auto& p : parts) {
    EXPECT_EQ(Slice(again, p.first, p.sectors), Slice(bytes, p.first, p.sectors)) << p.first;
  }
  EXPECT_EQ(RunShell("sgdisk -v " + Quote(rebuilt) + " | grep -c 'No problems'").output, "1\n");
}

// Attribute bits of a disk come back in the kit's configuration and in the
// rebuilt disk's entries.
TEST(ForeignDiskTest, AttributeBitsComeBackInTheRebuiltEntries) {
  TempDir dir;
  const std::string disk = dir / "disk.img";
  MakeDisk(disk,
           "-n 1:2048:+64K -c 1:boot -A 1:set:2 -n 2:4096:+64K -c 2:data -A 2:set:0 "
           "-A 2:set:60 -n 3:6144:+64K -c 3:plain");
  fs::create_directory(dir / "kit");
  fs::create_directory(dir / "out");
  const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
  ASSERT_EQ(kit.exitCode, 0) << kit.err;
  const std::string config = ReadText(dir / "kit/setting.ini");
  EXPECT_NE(config.find("Name=boot\n"), std::string::npos) << config;
  const std::vector<std::string> attributes = LinesStartingWith(config, "Attributes=");
  EXPECT_EQ(attributes,
            (std::vector<std::string>{"Attributes=0x4", "Attributes=0x1000000000000001"}));
  const Outcome packed = Imgweld({"-P", "kit/setting.ini", "out"}, dir.Path());
  ASSERT_EQ(packed.exitCode, 0) << packed.out;
  const std::string report = PartitionReport(disk, 3);
  EXPECT_NE(report.find("Attribute flags: 0000000000000004"), std::string::npos) << report;
  EXPECT_NE(report.find("Attribute flags: 1000000000000001"), std::string::npos) << report;
  EXPECT_EQ(PartitionReport(dir / "out/Firmware.img", 3), report);
  // The listing of the disk shows them as well.
  const Outcome text = Imgweld({"-L", "disk.img"}, dir.Path());
  EXPECT_NE(text.out.find("0x0000000000000004"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("0x1000000000000001"), std::string::npos) << text.out;
}

// Puts `value` at `at` of the primary GPT, little-endian, as sgdisk would
// never write it, and seals the table again: a GPT that fails its checksum
// is not read.
void Poke64(const std::string& path, uint64_t at, uint64_t value) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  for (size_t i = 0; i < 8; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
  SealPrimaryGpt(bytes);
  WriteBytes(path, bytes);
}

constexpr uint64_t kEntry1 = 1024;  // the array's first entry
constexpr uint64_t kEntry2 = 1024 + 128;

TEST(ForeignDiskTest, LayoutsThePackerCannotExpressAreRefusedBeforeAnyFile) {
  std::string fifty;
  for (int i = 1; i <= 50; ++i) fifty += " -n " + std::to_string(i) + ":0:+8K";
  const struct {
    const char* what;
    std::string arguments;
    std::function<void(const std::string&)> edit;
    std::string refusal;
    std::string size = "4M";  // of the disk
  } cases[] = {
      {"256 entries", "--resize-table=256 -n 1:2048:+64K", nullptr,
       "its GPT has 256 entries, the packer writes 128"},
      {"50 partitions", fifty, nullptr,
       "it has 50 partitions, a partition-table image holds at most 49"},
      {"an unused first entry", "-n 2:2048:+64K", nullptr, "entry 2 is used after an unused entry"},
      {"entries not in sector order", "-n 1:4096:+64K -n 2:2048:+64K", nullptr,
       "entry 1 () ends after entry 2 (), the last entry"},
      {"a name too long", "-n 1:2048:+64K -c 1:abcdefghijklmnopqrstuvwxyz0123456789", nullptr,
       "has a name of 36 characters, a partition's name holds 31"},
      {"a partition before sector 34", "-n 1:2048:+64K",
       [](const std::string& path) { Poke64(path, kEntry1 + 32, 2); },
       "entry 1 () starts at sector 2, before sector 34"},
      {"a partition ending past 4 GiB", "-n 1:2048:+64K",
       [](const std::string& path) {
         Poke64(path, kEntry1 + 40, 8388600);
         fs::resize_file(path, uint64_t{5} << 30);  // sparse: the partition lies in the file
       },
       "entry 1 () ends beyond 4 GiB"},
      {"overlapping partitions", "-n 1:2048:+64K -n 2:4096:+64K",
       [](const std::string& path) { Poke64(path, kEntry2 + 32, 2100); },
       "entry 1 () and entry 2 () overlap"},
      {"partitions sharing their edge sector", "-n 1:2048:+64K -n 2:4096:+64K",
       [](const std::string& path) { Poke64(path, kEntry2 + 32, 2175); },
       "entry 1 () and entry 2 () overlap"},
      // Sector 8388574 and the 33 of the backup GPT after it end at 4 GiB,
      // one byte past the last position an image has.
      {"a partition ending one sector too late", "-n 1:2048:+64K -n 2:8388000:8388574", nullptr,
       "entry 2 () ends beyond 4 GiB", "4G"},
      {"4096-byte sectors", "-n 1:2048:+64K",
       [](const std::string& path) {
         std::vector<uint8_t> bytes = ReadBytes(path);
         std::copy_n(bytes.begin() + 512, 512, bytes.begin() + 4096);
         std::fill_n(bytes.begin() + 512, 512, 0);
         WriteBytes(path, bytes);
       },
       "its GPT has sectors of 4096 bytes, a partition-table image has sectors of 512"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MakeDisk(dir / "disk.img", c.arguments, c.size);
    if (c.edit) c.edit(dir / "disk.img");
    fs::create_directory(dir / "kit");
    const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 4);
    EXPECT_EQ(kit.out, "");
    const std::vector<std::string> lines = LinesStartingWith(kit.err, "imgweld: disk.img: ");
    EXPECT_EQ(lines.size(), 1u) << kit.err;
    const std::string line = lines.empty() ? "" : lines[0];
    EXPECT_TRUE(line.starts_with("imgweld: disk.img: cannot be taken apart: ")) << line;
    EXPECT_NE(line.find(c.refusal), std::string::npos) << line;
    EXPECT_TRUE(fs::is_empty(dir / "kit"));
  }
}

// A disk of another tool gets a kit despite damage to what the packer
// writes afresh: the backup GPT, or a primary GPT whose backup is read in
// its place. Damage to the table the kit carries refuses it, naming the
// failed check, before any file.
TEST(ForeignDiskTest, DamageOutsideWhatTheKitCarriesStillGivesAKit) {
  const auto flip = [](const std::string& path, uint64_t at) {
    std::vector<uint8_t> bytes = ReadBytes(path);
    bytes.at(at) ^= 0x01;
    WriteBytes(path, bytes);
  };
  constexpr uint64_t kDiskBytes = uint64_t{4} << 20;
  const struct {
    const char* what;
    std::function<void(const std::string&)> edit;
    std::string refusal;  // empty when the kit is made
  } cases[] = {
      {"a backup header that fails its checksum",
       [&](const std::string& path) { flip(path, kDiskBytes - kSector + 24); }, ""},
      {"a primary header that fails its checksum",
       [&](const std::string& path) { flip(path, kSector + 24); }, ""},
      // Sectors past the last usable one, where the backup array lies.
      {"an entry reaching into the backup GPT",
       [&](const std::string& path) { Poke64(path, kEntry1 + 40, 8170); },
       "cannot be taken apart: it is damaged: entry 0 data: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MakeDisk(dir / "disk.img", "-n 1:2048:+64K -c 1:data");
    c.edit(dir / "disk.img");
    fs::create_directory(dir / "kit");
    const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
    if (c.refusal.empty()) {
      EXPECT_EQ(kit.exitCode, 0) << kit.err;
      EXPECT_EQ(kit.out, "data.img\nsetting.ini\n");
      continue;
    }
    EXPECT_EQ(kit.exitCode, 4);
    EXPECT_EQ(kit.out, "");
    const std::vector<std::string> lines = LinesStartingWith(kit.err, "imgweld: disk.img: ");
    ASSERT_EQ(lines.size(), 1u) << kit.err;
    EXPECT_TRUE(lines[0].starts_with("imgweld: disk.img: " + c.refusal)) << lines[0];
    EXPECT_TRUE(fs::is_empty(dir / "kit"));
  }
}

// The last sector a partition may end on: the backup GPT's 33 sectors
// after it end at byte 0xFFFFFFFF, the last position of an image. Such a
// disk is taken apart and packs back to the same partitions.
TEST(ForeignDiskTest, APartitionEndingOnTheLastSectorThePackerReachesComesBack) {
  TempDir dir;
  MakeDisk(dir / "disk.img", "-n 1:2048:+64K -c 1:boot -n 2:8386560:8388573 -c 2:tail", "4G");
  // Data at the start of the last partition, written in place: the disk is
  // too large to read whole.
  const std::string data = "the last partition";
  {
    std::fstream disk(dir / "disk.img", std::ios::in | std::ios::out | std::ios::binary);
    disk.seekp(static_cast<std::streamoff>(8386560 * kSector));
    disk.write(data.data(), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(disk.good());
  }
  fs::create_directory(dir / "kit");
  fs::create_directory(dir / "out");
  const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
  ASSERT_EQ(kit.exitCode, 0) << kit.err;
  EXPECT_EQ(kit.out, "boot.img\ntail.img\nsetting.ini\n");
  EXPECT_EQ(fs::file_size(dir / "kit/tail.img"), (8388573 - 8386560 + 1) * kSector);
  EXPECT_EQ(ReadText(dir / "kit/tail.img").substr(0, data.size()), data);
  const Outcome packed = Imgweld({"-P", "kit/setting.ini", "out"}, dir.Path());
  ASSERT_EQ(packed.exitCode, 0) << packed.out;
  EXPECT_EQ(fs::file_size(dir / "out/Firmware.img"), (8388573 + 1 + 33) * kSector);
  const std::string info = RunShell("sgdisk -i 2 " + Quote(dir / "out/Firmware.img")).output;
  EXPECT_NE(info.find("First sector: 8386560 "), std::string::npos) << info;
  EXPECT_NE(info.find("Last sector: 8388573 "), std::string::npos) << info;
  EXPECT_EQ(PartitionReport(dir / "out/Firmware.img", 2), PartitionReport(dir / "disk.img", 2));
}

}  // namespace
}  // namespace imgweld::test
