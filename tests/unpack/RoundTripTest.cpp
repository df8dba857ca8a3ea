#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <set>

#include "common/Output.h"
#include "pack/PackFirmware.h"
#include "support/TestSupport.h"
#include "unpack/UnpackFirmware.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

std::tm MakeTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm time{};
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_hour = hour;
  time.tm_min = minute;
  time.tm_sec = second;
  return time;
}

struct Layout {
  bool nano;
  bool growLast;
};

std::string SourceConfig(const Layout& layout) {
  return std::string("[System]\nFwVersion=1.2.3\nBackup_Partition_Enable=1\nLoader_Encrypt=0\n") +
         "Nano=" + (layout.nano ? "1" : "0") +
         "\n"
         "[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x400\nFlag=0\n"
         "File=ddr.bin,loader.bin\n"
         "[UserPart2]\nName=system\nType=0x305\nPartOffset=0x440\nPartSize=0x100\nFlag=0\nFile="
         "system.bin\n"
         "[UserPart3]\nName=misc\nType=5\nPartOffset=0x540\nPartSize=0x40\nFlag=0x1\n"
         "[UserPart4]\nName=userdata\nType=0x306\nPartOffset=0x580\nPartSize=0x80\nFlag=" +
         (layout.growLast ? "0x4" : "0") + "\nFile=userdata.bin\n";
}

// Bytes that may differ between two packings of the same partitions at
// different times: the date and time, and the header checksum over them, in
// the header and in its backup copy at the end of the image.
bool MayDiffer(size_t at, size_t backupHeader) {
  for (const size_t header : {size_t{0}, backupHeader}) {
    if (at >= header + 0x04 && at <= header + 0x0A) return true;
    if (at >= header + 0x1FC && at <= header + 0x1FF) return true;
  }
  return false;
}

// Packing, unpacking and packing the unpacked configuration again gives the
// same partitions and the same image, apart from the packing time.
TEST(RoundTripTest, RepackingUnpackedImageGivesTheSameImage) {
  for (const Layout layout : {Layout{false, false}, Layout{true, true}, Layout{false, true}}) {
    SCOPED_TRACE(testing::Message() << "nano " << layout.nano << " grow " << layout.growLast);
    TempDir dir;
    const std::string source = dir / "source";
    const std::string first = dir / "first";
    const std::string unpacked = dir / "unpacked";
    const std::string second = dir / "second";
    const std::string again = dir / "again";
    for (const auto& path : {source, first, unpacked, second, again}) fs::create_directory(path);
    const auto ddr = RandomBytes(3000, 1);
    const auto loader = RandomBytes(9000, 2);
    const auto system = RandomBytes(30000, 3);
    const auto userdata = RandomBytes(5001, 4);
    WriteBytes(source + "/ddr.bin", ddr);
    WriteBytes(source + "/loader.bin", loader);
    WriteBytes(source + "/system.bin", system);
    WriteBytes(source + "/userdata.bin", userdata);
    WriteText(source + "/setting.ini", SourceConfig(layout));

    StringOutput out;
    ASSERT_TRUE(PackFirmware(source + "/setting.ini", first, out, MakeTime(2024, 3, 5, 14, 7, 9)))
        << out.Text();
    ASSERT_TRUE(UnpackFirmware(first + "/Firmware.img", unpacked, true, out)) << out.Text();

    const std::string ddrFile = layout.nano ? "/nanoboot1.bin" : "/flashdata.bin";
    const std::string loaderFile = layout.nano ? "/nanoboot2.bin" : "/flashboot.bin";
    EXPECT_EQ(ReadBytes(unpacked + ddrFile), ddr);
    EXPECT_EQ(ReadBytes(unpacked + loaderFile), loader);
    EXPECT_EQ(ReadBytes(unpacked + "/system.img"), system);
    EXPECT_EQ(ReadBytes(unpacked + "/userdata.img"), userdata);
    EXPECT_TRUE(ReadBytes(unpacked + "/misc.img").empty());

    // The regenerated configuration names no cipher setting, and the
    // packer's default scrambles the programs; they were packed plain.
    const std::string regenerated = ReadText(unpacked + "/setting.ini");
    WriteText(unpacked + "/setting.ini", regenerated + "[System]\nLoader_Encrypt=0\n");
    ASSERT_TRUE(
        PackFirmware(unpacked + "/setting.ini", second, out, MakeTime(2025, 12, 31, 23, 59, 58)))
        << out.Text();

    const auto image1 = ReadBytes(first + "/Firmware.img");
    const auto image2 = ReadBytes(second + "/Firmware.img");
    ASSERT_EQ(image1.size(), image2.size());
    const size_t backupHeader = image1.size() - 512;
    size_t differing = 0;
    for (size_t i = 0; i < image1.size(); ++i) {
      if (image1[i] == image2[i]) continue;
      ++differing;
      EXPECT_TRUE(MayDiffer(i, backupHeader)) << "byte " << i;
    }
    EXPECT_GT(differing, 0u);  // the packing times differ, and so do the headers

    ASSERT_TRUE(UnpackFirmware(second + "/Firmware.img", again, true, out)) << out.Text();
    EXPECT_EQ(ReadText(again + "/setting.ini"), regenerated);
    for (const std::string& name :
         {ddrFile, loaderFile, std::string("/system.img"), std::string("/userdata.img")}) {
      EXPECT_EQ(ReadBytes(again + name), ReadBytes(unpacked + name)) << name;
    }
  }
}

// A boot block packed with blank gaps yields the programs without the gaps.
TEST(RoundTripTest, GappedBootBlockUnpacksToThePackedPrograms) {
  for (const bool nano : {false, true}) {
    SCOPED_TRACE(nano);
    TempDir dir;
    const std::string packed = dir / "packed";
    const std::string unpacked = dir / "unpacked";
    fs::create_directory(packed);
    fs::create_directory(unpacked);
    const auto ddr = RandomBytes(3000, 5);
    const auto loader = RandomBytes(9000, 6);
    WriteBytes(dir / "ddr.bin", ddr);
    WriteBytes(dir / "loader.bin", loader);
    WriteText(dir / "setting.ini",
              std::string("[System]\nFwVersion=1.0\nLoader_Encrypt=0\nBLANK_GAP=1\nNano=") +
                  (nano ? "1" : "0") +
                  "\n[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x400\nFlag=0\n"
                  "File=ddr.bin,loader.bin\n");
    StringOutput out;
    ASSERT_TRUE(PackFirmware(dir / "setting.ini", packed, out, MakeTime(2024, 3, 5, 14, 7, 9)))
        << out.Text();
    ASSERT_TRUE(UnpackFirmware(packed + "/Firmware.img", unpacked, true, out)) << out.Text();
    EXPECT_EQ(ReadBytes(unpacked + (nano ? "/nanoboot1.bin" : "/flashdata.bin")), ddr);
    EXPECT_EQ(ReadBytes(unpacked + (nano ? "/nanoboot2.bin" : "/flashboot.bin")), loader);
  }
}

}  // namespace
}  // namespace imgweld::test
