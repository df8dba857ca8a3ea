#include "image/Md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <vector>

#include "common/QuietThread.h"
#include "support/TestSupport.h"

namespace imgweld {
namespace {

Md5Digest DigestOf(const uint8_t* data, size_t length) {
  Md5Context context;
  Md5Init(context);
  Md5Update(context, data, length);
  Md5Digest digest{};
  Md5Final(digest, context);
  return digest;
}

Md5Digest DigestOf(std::string_view text) {
  return DigestOf(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

constexpr size_t kChunk = 256 * 1024;
const Md5Digest kUntouched = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                              0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

TEST(Md5, Rfc1321TestSuite) {
  const struct {
    const char* message;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(test::HexOf(DigestOf(c.message)), c.digest) << '"' << c.message << '"';
}

TEST(Md5, FinalClearsTheWholeContext) {
  Md5Context context;
  Md5Init(context);
  Md5Update(context, reinterpret_cast<const uint8_t*>("abc"), 3);
  Md5Digest digest{};
  Md5Final(digest, context);
  const auto* raw = reinterpret_cast<const uint8_t*>(&context);
  EXPECT_EQ(std::vector<uint8_t>(raw, raw + sizeof context),
            std::vector<uint8_t>(sizeof context, 0));
}

TEST(Md5, FeedingInPiecesEqualsFeedingAtOnce) {
  // Long enough for the largest piece plus a tail, and not a whole number of blocks.
  const std::vector<uint8_t> data = test::RandomBytes(2 * kChunk + 1000, 11);
  const Md5Digest whole = DigestOf(data.data(), data.size());
  for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, kChunk + 1}) {
    Md5Context context;
    Md5Init(context);
    for (size_t at = 0; at < data.size(); at += piece) {
      Md5Update(context, data.data() + at, std::min(piece, data.size() - at));
    }
    Md5Digest digest{};
    Md5Final(digest, context);
    EXPECT_EQ(digest, whole) << "pieces of " << piece;
  }
}

Md5Digest PipelineDigestOf(Md5Pipeline& pipeline, const uint8_t* data, size_t length,
                           uint32_t seed) {
  // Pieces of random sizes, from single bytes to more than two buffers.
  std::vector<uint8_t> sizes = test::RandomBytes(length / 64 + 16, seed);
  pipeline.Init();
  size_t at = 0;
  for (size_t i = 0; at < length; ++i) {
    const uint8_t pick = sizes[i % sizes.size()];
    const size_t piece = pick < 64 ? pick + 1 : pick < 192 ? pick * 997 : 2 * kChunk + pick;
    const size_t n = std::min(piece, length - at);
    pipeline.Update(data + at, n);
    at += n;
  }
  Md5Digest digest{};
  pipeline.Final(digest);
  return digest;
}

TEST(Md5Pipeline, EqualsTheDigestOnTheRfc1321Vectors) {
  Md5Pipeline pipeline;
  for (std::string_view message : {"", "a", "abc", "message digest",
                                   "12345678901234567890123456789012345678901234567890123456789012"
                                   "345678901234567890"}) {
    pipeline.Init();
    pipeline.Update(reinterpret_cast<const uint8_t*>(message.data()), message.size());
    Md5Digest digest{};
    pipeline.Final(digest);
    EXPECT_EQ(digest, DigestOf(message)) << '"' << message << '"';
  }
}

// Lengths around the pipeline's buffers (the digest chunk size) and many of
// them, fed in pieces of random sizes; one pipeline reused for all, and
// restarted once in the middle of a digest.
TEST(Md5Pipeline, AgreesWithMd5sumOnRandomLengthsAndPieces) {
  test::TempDir dir;
  Md5Pipeline pipeline;
  const size_t sizes[] = {0,          1,          kChunk - 1,         kChunk,
                          kChunk + 1, 4 * kChunk, 4 * kChunk + 65,    9 * kChunk + 17,
                          20 << 20,   1234567,    (20 << 20) + 777777};
  for (size_t size : sizes) {
    const std::vector<uint8_t> data = test::RandomBytes(size, static_cast<uint32_t>(size) + 5);
    pipeline.Init();
    pipeline.Update(data.data(), std::min<size_t>(size, 3 * kChunk + 5));  // abandoned
    const Md5Digest digest =
        PipelineDigestOf(pipeline, data.data(), data.size(), static_cast<uint32_t>(size));
    const std::string path = dir / "data";
    test::WriteBytes(path, data);
    EXPECT_EQ(test::HexOf(digest), test::Md5sumHex(path)) << size << " bytes";
  }
}

// Where the system has no thread to give, the pipeline digests in place from
// the buffer it could not hand over on: the bytes of an update that spans
// that buffer's end come right after it, before any later update.
TEST(Md5Pipeline, AgreesWithMd5sumWhenNoThreadCanBeHad) {
  test::TempDir dir;
  Md5Pipeline pipeline;
  const size_t sizes[] = {0,
                          1,
                          255 << 10,
                          kChunk - 1,
                          kChunk,
                          kChunk + 1,
                          257 << 10,
                          4 * kChunk + 1,
                          (8 << 20) - 1,
                          8 << 20,
                          (8 << 20) + 1};
  for (size_t size : sizes) {
    const std::vector<uint8_t> data = test::RandomBytes(size, static_cast<uint32_t>(size) + 9);
    const int refusedBefore = refusedQuietThreadStarts;
    refuseQuietThreadStarts = 1000;
    const Md5Digest digest =
        PipelineDigestOf(pipeline, data.data(), data.size(), static_cast<uint32_t>(size));
    refuseQuietThreadStarts = 0;
    const std::string path = dir / "data";
    test::WriteBytes(path, data);
    EXPECT_EQ(test::HexOf(digest), test::Md5sumHex(path)) << size << " bytes";
    // A thread is asked for once a buffer is full, and only then.
    EXPECT_EQ(refusedQuietThreadStarts - refusedBefore, size >= kChunk ? 1 : 0) << size;
  }
}

TEST(Md5OfFile, AgreesWithMd5sumAroundTheChunkSize) {
  test::TempDir dir;
  const size_t sizes[] = {0, 1, 55, 56, 64, kChunk - 1, kChunk, kChunk + 1, 3 * 1024 * 1024 + 17};
  for (size_t size : sizes) {
    const std::string path = dir / ("data" + std::to_string(size));
    test::WriteBytes(path, test::RandomBytes(size, static_cast<uint32_t>(size)));
    Md5Digest digest{};
    ASSERT_TRUE(Md5OfFile(digest, path)) << size;
    EXPECT_EQ(test::HexOf(digest), test::Md5sumHex(path)) << size << " bytes";
  }
}

// Holes are digested as the zero bytes they read as: at the start, between
// data, at the end, and with an explicit length ending inside a hole or data.
TEST(Md5OfFile, SparseFilesDigestTheirHolesAsZeroBytes) {
  test::TempDir dir;
  const std::string path = dir / "sparse";
  const std::vector<uint8_t> data = test::RandomBytes(70000, 3);
  {
    File file;
    ASSERT_TRUE(file.Open(path, "wb+"));
    for (const uint64_t at : {uint64_t{1} << 20, uint64_t{5} << 20}) {
      ASSERT_TRUE(file.Seek(at) && file.Write(data));
    }
    ASSERT_TRUE(file.Truncate(uint64_t{9} << 20));
    ASSERT_TRUE(file.Close());
  }
  Md5Digest digest{};
  ASSERT_TRUE(Md5OfFile(digest, path));
  EXPECT_EQ(test::HexOf(digest), test::Md5sumHex(path));
  const std::vector<uint8_t> bytes = test::ReadBytes(path);
  for (const uint64_t length : {uint64_t{(1 << 20) + 100}, uint64_t{3} << 20}) {
    ASSERT_TRUE(Md5OfFile(digest, path, length)) << length;
    EXPECT_EQ(digest, DigestOf(bytes.data(), length)) << length;
  }
}

TEST(Md5OfFile, ExplicitLengthDigestsAPrefixAndMayNotPassTheEnd) {
  test::TempDir dir;
  const std::string path = dir / "data";
  const std::vector<uint8_t> data = test::RandomBytes(kChunk + 100, 5);
  test::WriteBytes(path, data);

  Md5Digest digest{};
  ASSERT_TRUE(Md5OfFile(digest, path, 1000));
  EXPECT_EQ(digest, DigestOf(data.data(), 1000));
  ASSERT_TRUE(Md5OfFile(digest, path, data.size()));
  EXPECT_EQ(digest, DigestOf(data.data(), data.size()));
  ASSERT_TRUE(Md5OfFile(digest, path, 0));
  EXPECT_EQ(test::HexOf(digest), "d41d8cd98f00b204e9800998ecf8427e");

  for (uint64_t tooLong : {uint64_t{data.size() + 1}, uint64_t{0x100000000}}) {
    digest = kUntouched;
    EXPECT_FALSE(Md5OfFile(digest, path, tooLong)) << tooLong;
    EXPECT_EQ(digest, kUntouched);
  }
  digest = kUntouched;
  EXPECT_FALSE(Md5OfFile(digest, dir / "missing"));
  EXPECT_EQ(digest, kUntouched);
}

TEST(Md5OfStream, DigestsFromTheFirstByteAndLeavesTheFileOpen) {
  test::TempDir dir;
  const std::string path = dir / "image";
  const std::vector<uint8_t> data = test::RandomBytes(kChunk + 4096, 9);
  test::WriteBytes(path, data);

  File file;
  ASSERT_TRUE(file.Open(path, "rb"));
  ASSERT_TRUE(file.SeekEnd());
  Md5Digest digest{};
  ASSERT_TRUE(Md5OfStream(digest, file));
  EXPECT_EQ(test::HexOf(digest), test::Md5sumHex(path));
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Tell(), data.size());

  // Still usable: a second digest of a prefix, started from the middle.
  ASSERT_TRUE(file.Seek(500));
  ASSERT_TRUE(Md5OfStream(digest, file, 512));
  EXPECT_EQ(digest, DigestOf(data.data(), 512));

  digest = kUntouched;
  EXPECT_FALSE(Md5OfStream(digest, file, data.size() + 1));
  EXPECT_EQ(digest, kUntouched);
  EXPECT_TRUE(file.IsOpen());

  File closed;
  EXPECT_FALSE(Md5OfStream(digest, closed));
  EXPECT_EQ(digest, kUntouched);
}

TEST(Md5OfFile, DigestsAFileOfFourGibibytesAndMoreWhole) {
  // A sparse file of 2^32 + 1 zero bytes: a count cut to 32 bits would digest
  // only its first byte. The expected value is what md5sum gives for 2^32 + 1
  // zero bytes (head -c 4294967297 /dev/zero | md5sum).
  test::TempDir dir;
  const std::string path = dir / "large";
  test::WriteBytes(path, {});
  std::filesystem::resize_file(path, 0x100000001ull);

  Md5Digest digest{};
  ASSERT_TRUE(Md5OfFile(digest, path));
  EXPECT_NE(test::HexOf(digest), "93b885adfe0da089cdf634904fd59f71");  // one zero byte
  EXPECT_EQ(test::HexOf(digest), "f18c798ff5d450dfe4d3acdc12b621ff");
}

TEST(HashFilePath, CutsAtTheLastDotOfTheWholePath) {
  const struct {
    const char* image;
    const char* hash;
  } cases[] = {
      {"Firmware.img", "Firmware.md5"},
      {"out/fw.img", "out/fw.md5"},
      {"fw", "fw.md5"},
      {"old.dir/fw", "old.md5"},
      {"./fw", ".md5"},
      {"fw.tar.gz", "fw.tar.md5"},
      {"", ".md5"},
  };
  for (const auto& c : cases) EXPECT_EQ(HashFilePath(c.image), c.hash) << c.image;
}

}  // namespace
}  // namespace imgweld
