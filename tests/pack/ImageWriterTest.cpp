#include <gtest/gtest.h>

#include "common/File.h"
#include "pack/ImageWriter.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

class ImageWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(file_.Open(path_, "wb+")); }
  std::vector<uint8_t> Contents() {
    EXPECT_TRUE(file_.Close());
    return ReadBytes(path_);
  }

  TempDir dir_;
  std::string path_ = dir_ / "Firmware.img";
  File file_;
  StringOutput out_;
};

TEST_F(ImageWriterTest, GapIsWrittenInFillBytesInBlocksAndLeavesThePositionAtTheTarget) {
  ImageWriter image(file_, path_, 0xA5, out_);
  ASSERT_TRUE(image.FillToOffset(40000));  // two 16384-byte blocks and 7232 bytes
  const uint8_t marker = 0x11;
  ASSERT_TRUE(image.Write(std::span<const uint8_t>(&marker, 1)));
  const std::vector<uint8_t> bytes = Contents();
  ASSERT_EQ(bytes.size(), 40001u);
  EXPECT_TRUE(AllBytesAre(bytes, 0, 40000, 0xA5));
  EXPECT_EQ(bytes[40000], 0x11);
  EXPECT_EQ(out_.Text(), "");
}

// The digest taken while writing must equal md5sum of the file, holes and
// fill bytes included, and must not be given once a write went anywhere but
// the end.
TEST_F(ImageWriterTest, DigestWhileWritingMatchesTheFileOnlyWhenEveryWriteAppends) {
  for (const uint8_t fill : {uint8_t{0}, uint8_t{0xA5}}) {
    for (const bool overwrite : {false, true}) {
      SCOPED_TRACE(testing::Message() << "fill=" << int{fill} << " overwrite=" << overwrite);
      ASSERT_TRUE(file_.Open(path_, "wb+"));
      ImageWriter image(file_, path_, fill, out_);
      image.HashWhileWriting();
      const std::vector<uint8_t> data = RandomBytes(70000, 7);
      ASSERT_TRUE(image.Write(data));
      ASSERT_TRUE(image.FillToOffset(300000));
      File source;
      WriteBytes(dir_ / "payload.bin", RandomBytes(3000000, 8));
      ASSERT_TRUE(source.Open(dir_ / "payload.bin", "rb"));
      ASSERT_TRUE(image.CopyFrom(source, 2500001));
      if (overwrite) {
        ASSERT_TRUE(image.FillToOffset(10) && image.Write(data));
      }
      ASSERT_TRUE(image.FillToOffset(3000000));
      const std::optional<Md5Digest> digest = image.Digest();
      ASSERT_TRUE(file_.Close());
      if (overwrite) {
        EXPECT_FALSE(digest.has_value());
      } else {
        ASSERT_TRUE(digest.has_value());
        EXPECT_EQ(HexOf(*digest), Md5sumHex(path_));
      }
    }
  }
  EXPECT_EQ(out_.Text(), "");
}

TEST_F(ImageWriterTest, TargetAtOrBelowTheLengthOnlyMovesThePosition) {
  ImageWriter image(file_, path_, 0xFF, out_);
  const std::vector<uint8_t> data = RandomBytes(1000, 1);
  ASSERT_TRUE(image.Write(data));
  ASSERT_TRUE(image.FillToOffset(1000));  // equal: positioned at the end
  const std::vector<uint8_t> tail = {1, 2};
  ASSERT_TRUE(image.Write(tail));
  ASSERT_TRUE(image.FillToOffset(10));  // below: the next write overwrites from there
  const std::vector<uint8_t> patch = {7, 7, 7};
  ASSERT_TRUE(image.Write(patch));

  std::vector<uint8_t> expected = data;
  expected.insert(expected.end(), tail.begin(), tail.end());
  std::copy(patch.begin(), patch.end(), expected.begin() + 10);
  EXPECT_EQ(Contents(), expected);
}

TEST_F(ImageWriterTest, StreamLengthOfNoFileIsAllOnes) {
  EXPECT_EQ(GetStreamLength(nullptr), kNoLength);
  File closed;
  EXPECT_EQ(GetStreamLength(&closed), kNoLength);
  ASSERT_TRUE(file_.Write(RandomBytes(777, 2)));
  EXPECT_EQ(GetStreamLength(&file_), 777u);
}

TEST(ImageWriterFailure, AFullDeviceIsReportedOnceAndFails) {
  File full;
  ASSERT_TRUE(full.Open("/dev/full", "wb+"));
  StringOutput out;
  ImageWriter image(full, "out/Firmware.img", 0, out);
  EXPECT_FALSE(image.FillToOffset(40000));
  EXPECT_EQ(out.Text(), "Packing Error:Writing out/Firmware.img failed, err=28!\r\n");
}

}  // namespace
}  // namespace imgweld::test
