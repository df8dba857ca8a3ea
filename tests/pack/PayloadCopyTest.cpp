// Copying file ranges: by the kernel where it can, by reading and writing
// where it cannot (another file system, a device), with the same bytes and
// stream positions either way, and every failure told apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "common/File.h"
#include "pack/ImageWriter.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr size_t kMiB = 1024 * 1024;

// A source file on another file system than the test's directory, when the
// machine has one: the kernel refuses to copy across most such pairs.
class OtherFileSystemFile {
 public:
  explicit OtherFileSystemFile(const Bytes& bytes) {
    if (!fs::is_directory("/dev/shm")) return;
    path_ = "/dev/shm/imgweld-copy-test-" + std::to_string(::getpid());
    WriteBytes(path_, bytes);
  }
  ~OtherFileSystemFile() {
    if (!path_.empty()) fs::remove(path_);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

struct Source {
  std::string label;
  std::string path;
  Bytes bytes;  // what the source holds from its start
};

class FileCopyTest : public ::testing::Test {
 protected:
  // The sources every copy is tried from: a file beside the target, a file
  // on another file system, and a device that reads as zero bytes.
  std::vector<Source> Sources() {
    std::vector<Source> sources;
    WriteBytes(dir_ / "source.bin", data_);
    sources.push_back({"same file system", dir_ / "source.bin", data_});
    if (!other_.Path().empty()) sources.push_back({"other file system", other_.Path(), data_});
    sources.push_back({"device", "/dev/zero", Bytes(data_.size(), 0)});
    return sources;
  }

  TempDir dir_;
  Bytes data_ = RandomBytes(4 * kMiB, 11);
  OtherFileSystemFile other_{data_};
  StringOutput out_;
};

TEST_F(FileCopyTest, SameBytesAndPositionsWhicheverWayTheBytesGo) {
  const Bytes prefix = RandomBytes(100, 12);
  const Bytes suffix = {1, 2, 3, 4, 5, 6, 7};
  const size_t from = 1000;
  const size_t length = 3 * kMiB + 5;  // several rounds of the buffer below
  for (const Source& source : Sources()) {
    SCOPED_TRACE(source.label);
    File in;
    ASSERT_TRUE(in.Open(source.path, "rb"));
    File target;
    ASSERT_TRUE(target.Open(dir_ / "target.bin", "wb+"));
    // The prefix is still in the stream's buffer; the copy overwrites its
    // last bytes, as it must when it comes later.
    ASSERT_TRUE(target.Write(prefix));
    ASSERT_TRUE(CopyFileBytes(in, from, target, prefix.size() - 40, length, 64 * 1024));
    ASSERT_TRUE(target.Write(suffix));
    Bytes next(4);
    ASSERT_TRUE(in.ReadExact(next));
    EXPECT_EQ(next, Slice(source.bytes, from + length, 4));
    ASSERT_TRUE(target.Close());

    Bytes expected = Slice(prefix, 0, prefix.size() - 40);
    const Bytes copied = Slice(source.bytes, from, length);
    expected.insert(expected.end(), copied.begin(), copied.end());
    expected.insert(expected.end(), suffix.begin(), suffix.end());
    EXPECT_TRUE(ReadBytes(dir_ / "target.bin") == expected);
  }
}

// A source that ends early fails as a read with EIO, whichever path found
// the end, and leaves the target unfailed; a full device fails as a write
// with ENOSPC.
TEST_F(FileCopyTest, ShortSourcesAndFailedWritesAreToldApart) {
  for (const Source& source : Sources()) {
    if (source.path == "/dev/zero") continue;  // never ends
    SCOPED_TRACE(source.label);
    File in;
    ASSERT_TRUE(in.Open(source.path, "rb"));
    File target;
    ASSERT_TRUE(target.Open(dir_ / "target.bin", "wb+"));
    EXPECT_FALSE(CopyFileBytes(in, 1000, target, 0, data_.size(), 1 << 20));
    EXPECT_TRUE(in.Failed());
    EXPECT_EQ(in.Error(), EIO);
    EXPECT_FALSE(target.Failed());
    EXPECT_EQ(target.Error(), 0);
  }
  File in;
  ASSERT_TRUE(in.Open(Sources().front().path, "rb"));
  File full;
  ASSERT_TRUE(full.Open("/dev/full", "wb+"));
  EXPECT_FALSE(CopyFileBytes(in, 0, full, 0, 100000, 1 << 20));
  EXPECT_TRUE(full.Failed());
  EXPECT_EQ(full.Error(), ENOSPC);
  EXPECT_FALSE(in.Failed());
}

// The image writer copies a payload from its first byte to the current
// position and reports only its own failures: a short payload is the
// caller's to name.
TEST_F(FileCopyTest, ImageWriterCopiesPayloadsToTheCurrentPosition) {
  for (const Source& source : Sources()) {
    SCOPED_TRACE(source.label);
    File image;
    ASSERT_TRUE(image.Open(dir_ / "Firmware.img", "wb+"));
    ImageWriter writer(image, "Firmware.img", 0xFF, out_);
    ASSERT_TRUE(writer.FillToOffset(5000));
    File payload;
    ASSERT_TRUE(payload.Open(source.path, "rb"));
    const size_t length = 2 * kMiB + 3;
    ASSERT_TRUE(writer.CopyFrom(payload, length));
    ASSERT_EQ(writer.Length(), 5000 + length);
    const Bytes marker = {0x42};
    ASSERT_TRUE(writer.Write(marker));
    ASSERT_TRUE(image.Close());

    const Bytes bytes = ReadBytes(dir_ / "Firmware.img");
    ASSERT_EQ(bytes.size(), 5000 + length + 1);
    EXPECT_TRUE(AllBytesAre(bytes, 0, 5000, 0xFF));
    EXPECT_TRUE(Slice(bytes, 5000, length) == Slice(source.bytes, 0, length));
    EXPECT_EQ(bytes.back(), 0x42);
  }
  EXPECT_EQ(out_.Text(), "");

  File image;
  ASSERT_TRUE(image.Open(dir_ / "Firmware.img", "wb+"));
  ImageWriter writer(image, "Firmware.img", 0, out_);
  File payload;
  ASSERT_TRUE(payload.Open(dir_ / "source.bin", "rb"));
  EXPECT_FALSE(writer.CopyFrom(payload, data_.size() + 1));
  EXPECT_TRUE(payload.Failed());
  EXPECT_EQ(payload.Error(), EIO);
  EXPECT_FALSE(image.Failed());
  EXPECT_EQ(out_.Text(), "");

  File full;
  ASSERT_TRUE(full.Open("/dev/full", "wb+"));
  ImageWriter fullWriter(full, "out/Firmware.img", 0, out_);
  ASSERT_TRUE(payload.Open(dir_ / "source.bin", "rb"));
  EXPECT_FALSE(fullWriter.CopyFrom(payload, 100000));
  EXPECT_TRUE(full.Failed());
  EXPECT_FALSE(payload.Failed());
  EXPECT_EQ(out_.Text(), "Packing Error:Writing out/Firmware.img failed, err=28!\r\n");
}

}  // namespace
}  // namespace imgweld::test
