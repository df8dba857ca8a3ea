#include "config/IniWriter.h"

#include <gtest/gtest.h>

namespace imgweld::test {
namespace {

// The two files made from an image differ only in what their callers ask
// for: the keys a section carries, the form of Flag, the comment lines.
TEST(IniWriterTest, SectionsAndKeysInTheOrderWritten) {
  ConfigDocument document;
  WriteSystemValue(document, "FwVersion", "1.2.3");
  WriteTypeGuid(document, "linux", "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
  PartitionSettings boot;
  boot.name = "IDBlock";
  boot.type = 2;
  boot.offset = 0x40;
  boot.size = 0x80;
  boot.flag = 0x10;
  boot.flagFormat = FlagFormat::kDecimal;
  boot.file = "ddr.bin,loader.bin";
  WritePartitionSection(document, 1, boot);
  PartitionSettings rootfs;
  rootfs.name = "rootfs";
  rootfs.type = 0x305;
  rootfs.offset = 0xC0;
  rootfs.flag = 0x1C;
  rootfs.file = "rootfs.img";
  rootfs.typeGuid = "linux";
  rootfs.uniqueGuid = "00112233-4455-6677-8899-AABBCCDDEEFF";
  WritePartitionSection(document, 2, rootfs);
  // A key of [System] added later joins its section, not the end of the file.
  WriteSystemValue(document, "Nano", "");
  const std::string comments[] = {"first", "second"};
  EXPECT_EQ(IniText(document, comments),
            "# first\n# second\n"
            "[System]\nFwVersion=1.2.3\nNano=\n"
            "[PARTITION_TYPE_GUID]\nlinux=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n"
            "[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x80\nFlag=16\n"
            "File=ddr.bin,loader.bin\n"
            "[UserPart2]\nName=rootfs\nType=0x305\nPartOffset=0xC0\nPartSize=\nFlag=0x1c\n"
            "File=rootfs.img\nType_Guid=linux\n"
            "Unique_Guid=00112233-4455-6677-8899-AABBCCDDEEFF\n");
}

}  // namespace
}  // namespace imgweld::test
