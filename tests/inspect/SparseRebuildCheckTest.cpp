// The rebuild check reads only what may differ: where the image file has a
// hole and the planned image holds zeros, nothing is read. A difference in
// a range that is a hole on one side and data on the other is still found,
// at its first byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/File.h"
#include "common/Output.h"
#include "image/ImageSource.h"
#include "inspect/RebuildCheck.h"
#include "pack/ImagePlan.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kLength = 64 * kMiB;
constexpr uint64_t kPayloadAt = 32 * kMiB;  // data in the image
constexpr uint64_t kHoleAt = 40 * kMiB;     // a hole in the image
constexpr uint64_t kPayloadLength = 8192;

// Bytes written into a file of kLength bytes that is a hole elsewhere.
struct Data {
  uint64_t at;
  std::vector<uint8_t> bytes;
};

void WriteSparse(const std::string& path, const std::vector<Data>& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kLength)), 0);
  for (const Data& d : data) {
    ASSERT_EQ(pwrite(fd, d.bytes.data(), d.bytes.size(), static_cast<off_t>(d.at)),
              static_cast<ssize_t>(d.bytes.size()));
  }
  close(fd);
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  ASSERT_LT(static_cast<uint64_t>(status.st_blocks) * 512, 4 * kMiB) << "no holes here";
}

// A plan step after the header: fill up to a position, or a payload copied
// from the image's bytes at `from`.
struct Step {
  uint64_t fillTo = 0;
  uint64_t from = 0;
};

TEST(SparseRebuildCheck, DifferencesBetweenHolesAndDataAreFound) {
  std::vector<uint8_t> header = RandomBytes(4096, 1);
  std::vector<uint8_t> payload = RandomBytes(kPayloadLength, 2);
  header[0] = payload[0] = 0x5A;  // no byte where a difference is looked for is zero
  const Data stray{48 * kMiB + 123, {0xA7}};
  const std::vector<Step> copyAtPayload = {{kPayloadAt, 0}, {0, kPayloadAt}, {kLength, 0}};
  const struct {
    const char* what;
    std::vector<Data> image;
    std::vector<Step> plan;
    uint8_t fill;
    std::string difference;  // empty: the same
  } cases[] = {
      {"holes and zero fill agree", {{0, header}, {kPayloadAt, payload}}, copyAtPayload, 0, ""},
      {"data in a hole of the plan's zero fill",
       {{0, header}, {kPayloadAt, payload}, stray},
       copyAtPayload,
       0,
       "byte 0x300007b: the image holds 0xa7, the rebuilt image 0x00"},
      {"fill bytes over a hole of the image",
       {{0, header}, {kPayloadAt, payload}},
       copyAtPayload,
       0xFF,
       "byte 0x1000: the image holds 0x00, the rebuilt image 0xff"},
      {"a payload from a hole over data",
       {{0, header}, {kPayloadAt, payload}},
       {{kPayloadAt, 0}, {0, kHoleAt}, {kLength, 0}},
       0,
       "byte 0x2000000: the image holds 0x5a, the rebuilt image 0x00"},
      {"a payload from data over a hole",
       {{0, header}, {kPayloadAt, payload}},
       {{kPayloadAt, 0}, {0, kPayloadAt}, {kHoleAt, 0}, {0, kPayloadAt}, {kLength, 0}},
       0,
       "byte 0x2800000: the image holds 0x00, the rebuilt image 0x5a"},
      {"a payload from a hole over a hole",
       {{0, header}, {kPayloadAt, payload}},
       {{kPayloadAt, 0}, {0, kPayloadAt}, {kHoleAt, 0}, {0, kHoleAt + kMiB}, {kLength, 0}},
       0,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir / "image";
    WriteSparse(path, c.image);
    File file;
    ASSERT_TRUE(file.OpenInput(path));
    FileSource source(file, kLength);

    PlanBuilder builder;
    builder.WriteBuffer(builder.AddBuffer(header));
    std::vector<KitFile> files;
    for (const Step& step : c.plan) {
      if (step.fillTo != 0) {
        builder.FillTo(step.fillTo);
        continue;
      }
      const std::string name = "payload" + std::to_string(files.size());
      files.push_back({name, {step.from, kPayloadLength, false}, false});
      PlannedPayload planned;
      planned.name = name;
      planned.length = kPayloadLength;
      builder.Copy(std::move(planned));
    }
    const ImagePlan plan = builder.Finish();
    const ImageInputs inputs(source, files);

    StringOutput out;
    const bool same =
        ComparePlannedImage(source, plan, inputs, c.fill, {out, "image", "differs: "});
    EXPECT_EQ(same, c.difference.empty());
    EXPECT_EQ(out.Diagnostics(),
              c.difference.empty() ? "" : "imgweld: image: differs: " + c.difference + "\n");
  }
}

}  // namespace
}  // namespace imgweld::test
