// -P and -V judge a tagged layout by one rule: a list the packer refuses
// for an overlap is, laid out as an image, one whose "overlap" check fails,
// and a list it accepts gives an image that passes that check. The images
// are laid out by the tests' own writer, not by the packer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "pack/LayoutChecks.h"
#include "unpack/TaggedImageWriter.h"

namespace imgweld::test {
namespace {

constexpr uint32_t kOrdinary = 8;
constexpr uint32_t kSkip = 0x1;
constexpr uint32_t kFill = 0x2;
constexpr uint32_t kGrow = 0x4;

struct Part {
  const char* name;
  uint32_t offset;
  uint32_t size;
  uint64_t dataLength;
  uint32_t flag;
};

PartitionEntry PackerEntry(const Part& p) {
  PartitionEntry entry;
  entry.SetName(p.name);
  entry.type = kOrdinary;
  entry.offset = p.offset;
  entry.size = p.size;
  entry.dataLength = p.dataLength;
  entry.flag = p.flag;
  return entry;
}

// The details of the failed "overlap" checks of the image holding `parts`
// after the vendor record.
std::vector<std::string> OverlapsFound(const std::vector<Part>& parts) {
  TestImage image;
  image.records.push_back(VendorRecord());
  for (const Part& p : parts) {
    image.records.push_back(Partition(p.name, kOrdinary, p.offset, p.size, p.dataLength, p.flag));
  }
  const std::vector<uint8_t> bytes = image.Build();
  MemorySource source(bytes);
  std::vector<std::string> details;
  for (const Check& check : ReadTaggedImage(source).checks) {
    if (check.name == "overlap" && check.status == CheckStatus::kBad) {
      details.push_back(check.detail);
    }
  }
  return details;
}

TEST(LayoutAgreement, PackerAndVerifierRefuseTheSameTaggedLayouts) {
  const struct {
    const char* what;
    std::vector<Part> parts;
    const char* atFault;  // the partition both name, or nothing when both accept
  } cases[] = {
      {"sharing one sector", {{"a", 0x40, 0x10, 512, 0}, {"b", 0x4F, 0x10, 512, 0}}, "b"},
      {"touching", {{"a", 0x40, 0x10, 512, 0}, {"b", 0x50, 0x10, 512, 0}}, nullptr},
      {"on the last vendor sector", {{"a", 0x3F, 0x8, 512, 0}}, "a"},
      {"right after the vendor area", {{"a", 0x40, 0x8, 512, 0}}, nullptr},
      {"skipped on top of another",
       {{"a", 0x40, 0x10, 512, 0}, {"b", 0x40, 0x10, 512, kSkip}},
       nullptr},
      {"growing data past its size onto the next",
       {{"a", 0x40, 0x10, 0x20 * 512, kGrow}, {"b", 0x50, 0x10, 512, 0}},
       "b"},
      {"fill area under the next", {{"a", 0x40, 0x10, 0, kFill}, {"b", 0x48, 0x8, 512, 0}}, "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<PartitionEntry> list;
    for (const Part& p : c.parts) list.push_back(PackerEntry(p));
    StringOutput packed;
    const bool accepted = CheckOverlaps(list, ImageForm::kTagged, packed);
    const std::vector<std::string> found = OverlapsFound(c.parts);

    EXPECT_EQ(accepted, c.atFault == nullptr) << packed.Text();
    EXPECT_EQ(found.empty(), c.atFault == nullptr);
    if (c.atFault == nullptr) continue;
    // Record 0 is the vendor's; the list's partitions follow it.
    size_t record = 1;
    while (std::string(c.parts[record - 1].name) != c.atFault) ++record;
    const std::string name = c.atFault;
    EXPECT_EQ(packed.Text().rfind("Packing Error:partition " + name + " at sectors ", 0), 0u)
        << packed.Text();
    ASSERT_FALSE(found.empty());
    const std::string self = "record " + std::to_string(record) + " " + name + " at sectors ";
    EXPECT_EQ(found.front().rfind(self, 0), 0u) << found.front();
  }
}

}  // namespace
}  // namespace imgweld::test
