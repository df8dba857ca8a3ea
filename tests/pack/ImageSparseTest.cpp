// Gaps of zero fill bytes become holes in the image file: the bytes read the
// same as if they had been written, but take no room on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/File.h"
#include "pack/ImageWriter.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1024 * 1024;

// Bytes the file takes on disk, from its count of 512-byte blocks.
uint64_t BytesOnDisk(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return static_cast<uint64_t>(status.st_blocks) * 512;
}

void Place(Bytes& image, size_t at, const Bytes& data) {
  if (image.size() < at + data.size()) image.resize(at + data.size());
  std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}

class ImageSparseTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(file_.Open(path_, "wb+")); }

  TempDir dir_;
  std::string path_ = dir_ / "Firmware.img";
  File file_;
  StringOutput out_;
};

// The same sequence of writes with the fill byte 0 and 0xA5: the 0 image
// holds exactly the bytes of the written form (built here in memory) but
// only its data takes disk space, also where it ends in a gap; any other
// fill byte is written out.
TEST_F(ImageSparseTest, ZeroGapsBecomeHolesWithTheBytesOfTheWrittenForm) {
  const Bytes head = RandomBytes(4096, 1);
  const Bytes middle = RandomBytes(8192, 2);
  const Bytes patch = {7, 7, 7};
  const Bytes tail = RandomBytes(512, 3);
  const uint32_t middleAt = 64 * kMiB + 4096;
  const uint32_t gapEnd = middleAt + 8192 + 32 * kMiB;

  for (const uint8_t fill : {uint8_t{0}, uint8_t{0xA5}}) {
    SCOPED_TRACE(static_cast<int>(fill));
    ASSERT_TRUE(file_.Open(path_, "wb+"));
    ImageWriter image(file_, path_, fill, out_);
    ASSERT_TRUE(image.Write(head));
    ASSERT_TRUE(image.FillToOffset(middleAt));
    ASSERT_TRUE(image.Write(middle));
    ASSERT_TRUE(image.FillToOffset(gapEnd));  // the file now ends in a gap
    ASSERT_EQ(image.Length(), uint64_t{gapEnd});
    ASSERT_TRUE(image.FillToOffset(100));  // below the end: only the position moves
    ASSERT_TRUE(image.Write(patch));
    ASSERT_TRUE(image.FillToOffset(gapEnd));  // at the end: nothing written
    ASSERT_TRUE(image.Write(tail));
    ASSERT_TRUE(file_.Close());

    Bytes expected(gapEnd + tail.size(), fill);
    Place(expected, 0, head);
    Place(expected, middleAt, middle);
    Place(expected, 100, patch);
    Place(expected, gapEnd, tail);
    EXPECT_TRUE(ReadBytes(path_) == expected);
    if (fill == 0) {
      EXPECT_LT(BytesOnDisk(path_), 2 * kMiB);
    } else {
      EXPECT_GE(BytesOnDisk(path_), uint64_t{gapEnd});
    }
  }
  EXPECT_EQ(out_.Text(), "");
}

// Moving back into written data never cuts the file or frees its blocks.
TEST_F(ImageSparseTest, WrittenDataIsNeverCutOrPunched) {
  ImageWriter image(file_, path_, 0, out_);
  const Bytes data = RandomBytes(8 * kMiB, 4);
  ASSERT_TRUE(image.Write(data));
  ASSERT_TRUE(image.FillToOffset(4096));
  const Bytes zeros(10, 0);
  ASSERT_TRUE(image.Write(zeros));
  ASSERT_TRUE(image.FillToOffset(8 * kMiB));
  ASSERT_TRUE(file_.Close());

  Bytes expected = data;
  Place(expected, 4096, zeros);
  EXPECT_TRUE(ReadBytes(path_) == expected);
  EXPECT_GE(BytesOnDisk(path_), 8 * kMiB);
}

// A whole tagged image with a 64 MiB gap before a payload and a fill
// partition at its end, followed by the backup block: every byte that no
// area defines is zero, the hash file agrees with md5sum, and the gaps take
// no disk space.
TEST(PackSparseTest, TaggedImageWithLargeGapsTakesTheRoomOfItsData) {
  TempDir root;
  const std::string cfgDir = root / "cfg";
  const std::string outDir = root / "out";
  fs::create_directories(cfgDir);
  fs::create_directories(outDir);
  const Bytes ddr = RandomBytes(4096, 5);
  const Bytes loader = RandomBytes(10000, 6);
  const Bytes payload = RandomBytes(300 * 1024 + 17, 7);
  WriteBytes(cfgDir + "/ddr.bin", ddr);
  WriteBytes(cfgDir + "/loader.bin", loader);
  WriteBytes(cfgDir + "/system.bin", payload);
  WriteText(cfgDir + "/setting.ini",
            "[System]\nFwVersion=1.0.0\nBackup_Partition_Enable=1\n" +
                PartSection(1, "IDBlock", "0x2", "0x40", "0x80", "0", "ddr.bin,loader.bin") +
                PartSection(2, "system", "0x8", "0x20000", "0x800", "0", "system.bin") +
                PartSection(3, "cache", "0x8", "0x30000", "0x10000", "2", ""));
  StringOutput out;
  ASSERT_TRUE(PackFirmware(cfgDir + "/setting.ini", outDir, out, FixedPackTime())) << out.Text();

  const std::string imagePath = outDir + "/Firmware.img";
  const Bytes image = ReadBytes(imagePath);
  const size_t payloadAt = 0x20000 * 512;
  const size_t areasEnd = 0x40000 * 512;  // end of the fill partition
  ASSERT_EQ(image.size(), areasEnd + 4096);
  // The boot block: 32 sectors, twice, at the start and the middle of its area.
  const size_t block = 32 * 512;
  EXPECT_TRUE(AllBytesAre(image, 0x1000, 0x8000 - 0x1000, 0));
  EXPECT_TRUE(AllBytesAre(image, 0x8000 + block, 0x40 * 512 - block, 0));
  EXPECT_EQ(Slice(image, 0x8000, block), Slice(image, 0x80 * 512, block));
  EXPECT_TRUE(AllBytesAre(image, 0x80 * 512 + block, 0x40 * 512 - block, 0));
  EXPECT_TRUE(AllBytesAre(image, 0xC0 * 512, payloadAt - 0xC0 * 512, 0));
  EXPECT_EQ(Slice(image, payloadAt, payload.size()), payload);
  EXPECT_TRUE(
      AllBytesAre(image, payloadAt + payload.size(), areasEnd - payloadAt - payload.size(), 0));
  EXPECT_EQ(Slice(image, image.size() - 512, 512), Slice(image, 0, 512));

  const std::string expected = Md5sumHex(imagePath);
  ASSERT_EQ(expected.size(), 32u);
  EXPECT_EQ(HexOf(ReadBytes(outDir + "/Firmware.md5")), expected);
  EXPECT_LT(BytesOnDisk(imagePath), 4 * kMiB);
}

// A payload file of `size` bytes holding `data` at each offset of
// `offsets` and holes everywhere else.
void MakeSparseFile(const std::string& path, uint64_t size, const std::vector<uint64_t>& offsets,
                    const Bytes& data) {
  File file;
  ASSERT_TRUE(file.Open(path, "wb+"));
  for (const uint64_t at : offsets) {
    ASSERT_TRUE(file.Seek(at));
    ASSERT_TRUE(file.Write(data));
  }
  ASSERT_TRUE(file.Truncate(size));
  ASSERT_TRUE(file.Close());
}

// Holes of a payload stay holes of the image in every form and layout, on
// both ways a payload is copied (hashed on its way, or by the kernel): the
// image takes about the room of the payload's data, reads back the payload's
// bytes, and its digest is that of every byte.
TEST(PackSparseTest, HolesOfAPayloadStayHolesOfTheImage) {
  const uint64_t payloadSize = 64 * kMiB;
  const Bytes data = RandomBytes(256 * 1024, 9);
  // 1 MiB of data; the payload starts with a hole and ends in one.
  const std::vector<uint64_t> offsets = {kMiB, 20 * kMiB, 20 * kMiB + 256 * 1024, 40 * kMiB + 5};
  const struct {
    const char* what;
    std::string system;
    bool tagged;
  } cases[] = {
      {"tagged, fill byte 0", "", true},
      {"tagged, fill byte 0xFF", "FILL_BYTE=0xFF\n", true},
      {"padded partition-table image", "Gpt_Enable=0\nBackup_Partition_Enable=1\n", false},
      {"compact partition-table image", "Gpt_Enable=1\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir root;
    const std::string cfgDir = root / "cfg";
    const std::string outDir = root / "out";
    fs::create_directories(cfgDir);
    fs::create_directories(outDir);
    WriteBytes(cfgDir + "/ddr.bin", RandomBytes(4096, 5));
    WriteBytes(cfgDir + "/loader.bin", RandomBytes(10000, 6));
    const std::string payloadPath = cfgDir + "/system.bin";
    MakeSparseFile(payloadPath, payloadSize, offsets, data);
    if (BytesOnDisk(payloadPath) >= 4 * kMiB) GTEST_SKIP() << "no holes on this file system";
    WriteText(cfgDir + "/setting.ini",
              "[System]\nFwVersion=1.0.0\n" + c.system +
                  PartSection(1, "IDBlock", "0x2", "0x40", "0x80", "0", "ddr.bin,loader.bin") +
                  PartSection(2, "system", "0x8", "0x800", "0x20000", "0", "system.bin"));
    StringOutput out;
    ASSERT_TRUE(PackFirmware(cfgDir + "/setting.ini", outDir, out, FixedPackTime())) << out.Text();

    const std::string imagePath = outDir + "/Firmware.img";
    const Bytes payload = ReadBytes(payloadPath);
    const Bytes image = ReadBytes(imagePath);
    const size_t payloadAt = c.system.find("Gpt_Enable=1") != std::string::npos
                                 ? (34 + 32) * 512  // after the GPT and the one boot block
                                 : 0x800 * 512;
    ASSERT_GE(image.size(), payloadAt + payload.size());
    EXPECT_TRUE(Slice(image, payloadAt, payload.size()) == payload);
    EXPECT_LT(BytesOnDisk(imagePath), 4 * kMiB);
    if (!c.tagged) continue;
    EXPECT_EQ(HexOf(ReadBytes(outDir + "/Firmware.md5")), Md5sumHex(imagePath));
    const std::string parts = root / "parts";
    fs::create_directories(parts);
    const RunResult unpacked = RunImgweld({"-U", imagePath, parts});
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.output;
    EXPECT_TRUE(ReadBytes(parts + "/system.img") == payload);
  }
}

}  // namespace
}  // namespace imgweld::test
