// Extraction copies each payload by the kernel where it can and by reading
// and writing where it cannot; the files, the image's position afterwards and
// the failure messages are the same either way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/Directory.h"
#include "common/File.h"
#include "common/Output.h"
#include "support/TestSupport.h"
#include "unpack/TaggedImageWriter.h"
#include "unpack/UnpackFirmware.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1024 * 1024;

Bytes SliceOf(const Bytes& bytes, uint64_t from, uint64_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

class ExtractCopyTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(outDir_); }
  void TearDown() override {
    if (shmPath_.empty()) return;
    fs::remove(shmPath_);
    fs::remove(shmPath_ + ".md5");
  }

  // The image beside the output directory, and a copy on another file
  // system (between which the kernel mostly refuses to copy) when there is
  // one.
  std::vector<std::string> ImagePaths(const Bytes& image) {
    std::vector<std::string> paths = {dir_ / "fw.img"};
    WriteBytes(paths.back(), image);
    if (fs::is_directory("/dev/shm")) {
      shmPath_ = "/dev/shm/imgweld-extract-test-" + std::to_string(::getpid());
      WriteBytes(shmPath_, image);
      paths.push_back(shmPath_);
    }
    return paths;
  }

  TempDir dir_;
  std::string outDir_ = dir_ / "out";
  std::string shmPath_;
  StringOutput out_;
};

// A payload of several copy buffers at an odd position, read after the
// stream has buffered the header: the file holds exactly the payload, and
// the image reads on right after it.
TEST_F(ExtractCopyTest, PayloadIsCopiedWholeAndTheImageReadsOnAfterIt) {
  const Bytes image = RandomBytes(6 * kMiB, 31);
  const uint64_t from = 0x40 * 512 + 3;
  const uint32_t length = static_cast<uint32_t>(3 * kMiB + 5);
  for (const std::string& path : ImagePaths(image)) {
    SCOPED_TRACE(path);
    out_.Clear();
    File file;
    ASSERT_TRUE(file.Open(path, "rb"));
    Bytes header(512);
    ASSERT_TRUE(file.ReadExact(header));
    Directory out;
    ASSERT_TRUE(out.Open(outDir_));
    ASSERT_TRUE(SavePartitionFile(out, "system.img", {from, length, false}, file, out_));
    EXPECT_EQ(out_.Text(), "Saving system.img...\r\n");
    EXPECT_TRUE(ReadBytes(outDir_ + "/system.img") == SliceOf(image, from, length));
    Bytes next(16);
    ASSERT_TRUE(file.ReadExact(next));
    EXPECT_EQ(next, SliceOf(image, from + length, 16));
  }
}

// An image that turns out shorter than it measured (it shrank, or its
// length was misread) fails as a read, once, whichever path met its end.
TEST_F(ExtractCopyTest, ImageEndingEarlyIsAFailedRead) {
  const Bytes image = RandomBytes(2 * kMiB, 32);
  for (const std::string& path : ImagePaths(image)) {
    SCOPED_TRACE(path);
    out_.Clear();
    File file;
    ASSERT_TRUE(file.Open(path, "rb"));
    const PayloadSpan span{kMiB, static_cast<uint32_t>(2 * kMiB), false};
    Directory out;
    ASSERT_TRUE(out.Open(outDir_));
    EXPECT_FALSE(SavePartitionFile(out, "data.img", span, file, out_));
    EXPECT_EQ(out_.Text(),
              "Saving data.img...\r\nUnPacking Error:Reading data of data.img failed, err=5!\r\n");
    // Neither the file nor its temporary stand-in is left.
    EXPECT_TRUE(fs::is_empty(outDir_));
  }
}

// A whole verified unpack of an image with multi-megabyte partitions, one
// of them ending the image, from either file system.
TEST_F(ExtractCopyTest, UnpackedPartitionsMatchTheirAreas) {
  const Bytes kernel = RandomBytes(5 * kMiB + 123, 33);
  const Bytes rootfs = RandomBytes(3 * kMiB, 34);
  TestImage built;
  built.records = {VendorRecord(), Partition("kernel", 5, 0x800, 0x3000, kernel.size()),
                   Partition("rootfs", 5, 0x3800, 0x1800, rootfs.size())};
  built.Place(0x800 * 512, kernel);
  built.Place(0x3800 * 512, rootfs);
  const Bytes image = built.Build();
  ASSERT_EQ(image.size(), 0x3800 * 512 + rootfs.size());
  for (const std::string& path : ImagePaths(image)) {
    SCOPED_TRACE(path);
    const Bytes digest = Md5sumBytes(path);
    ASSERT_EQ(digest.size(), 16u);
    // The hash file's name: the image path cut at its last ".", if any.
    const size_t dot = path.rfind('.');
    WriteBytes((dot == std::string::npos ? path : path.substr(0, dot)) + ".md5", digest);
    fs::remove_all(outDir_);
    fs::create_directory(outDir_);
    out_.Clear();
    ASSERT_TRUE(UnpackFirmware(path, outDir_, true, out_)) << out_.Text();
    EXPECT_TRUE(ReadBytes(outDir_ + "/kernel.img") == kernel);
    EXPECT_TRUE(ReadBytes(outDir_ + "/rootfs.img") == rootfs);
  }
}

}  // namespace
}  // namespace imgweld::test
