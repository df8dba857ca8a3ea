// Runs whose helper threads cannot start (a process or memory limit makes
// thread creation fail with EAGAIN) do the helpers' work on the calling
// thread and give the same bytes: -P's hash file is md5sum's digest of the
// image, and -U verifies the image against it.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Output.h"
#include "common/QuietThread.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"
#include "unpack/UnpackFirmware.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

// Every thread start is refused while one of these lives.
class NoHelperThreads {
 public:
  NoHelperThreads() : before_(refusedQuietThreadStarts) { refuseQuietThreadStarts = INT_MAX; }
  ~NoHelperThreads() { refuseQuietThreadStarts = 0; }
  int Refused() const { return refusedQuietThreadStarts - before_; }

 private:
  int before_;
};

// Payload sizes around the buffers the helpers work with: the digest's
// 256 KiB buffers, the 8 MiB write-back window and its 64 MiB lead.
TEST(NoHelperThreadTest, PackedDigestAndUnpackVerificationMatchMd5sum) {
  constexpr size_t kKiB = 1024;
  constexpr size_t kMiB = 1024 * kKiB;
  const size_t sizes[] = {0,
                          1,
                          255 * kKiB,
                          256 * kKiB - 1,
                          256 * kKiB,
                          256 * kKiB + 1,
                          257 * kKiB,
                          8 * kMiB - 1,
                          8 * kMiB,
                          8 * kMiB + 1,
                          64 * kMiB + 1};
  for (const size_t size : sizes) {
    SCOPED_TRACE(std::to_string(size) + " bytes of payload");
    TempDir dir;
    fs::create_directories(dir.Path() / "cfg");
    WriteBytes(dir / "cfg/ddr.bin", RandomBytes(4096, 1));
    WriteBytes(dir / "cfg/loader.bin", RandomBytes(10000, 2));
    const std::vector<uint8_t> payload = RandomBytes(size, static_cast<uint32_t>(size));
    WriteBytes(dir / "cfg/system.bin", payload);
    WriteText(dir / "cfg/setting.ini",
              "[System]\nFwVersion=1.0.0\n" +
                  PartSection(1, "IDBlock", "0x2", "0x40", "0x80", "0", "ddr.bin,loader.bin") +
                  PartSection(2, "system", "0x8", "0x2000", "0x30000", "0", "system.bin"));
    const std::string image = dir / "Firmware.img";

    StringOutput packOut;
    NoHelperThreads packing;
    ASSERT_TRUE(
        PackFirmware(dir / "cfg/setting.ini", dir.Path().string(), packOut, FixedPackTime()))
        << packOut.Text();
    EXPECT_GE(packing.Refused(), size >= 256 * kKiB ? 1 : 0);
    const std::string expected = Md5sumHex(image);
    ASSERT_EQ(expected.size(), 32u);
    EXPECT_EQ(HexOf(ReadBytes(dir / "Firmware.md5")), expected);

    fs::create_directory(dir.Path() / "out");
    StringOutput unpackOut;
    NoHelperThreads unpacking;
    ASSERT_TRUE(UnpackFirmware(image, dir / "out", true, unpackOut)) << unpackOut.Text();
    EXPECT_GE(unpacking.Refused(), 1);  // the digest's thread at least
    EXPECT_NE(unpackOut.Text().find("Unpacking firmware OK.\r\n"), std::string::npos);
    EXPECT_TRUE(ReadBytes(dir / "out/system.img") == payload);
  }
}

}  // namespace
}  // namespace imgweld::test
