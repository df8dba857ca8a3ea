// -P and -V judge a tagged layout by one rule: a list the packer refuses
// for an overlap is, laid out as an image, one whose "overlap" check fails,
// and a list it accepts gives an image that passes that check. The images
// are laid out by the tests' own writer, not by the packer. -P and each
// form's layout value judge alike too: a configuration -P refuses for its
// placement is, built as that form's layout, one whose validation names the
// same partition and rule.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "image/gpt/GptLayout.h"
#include "image/tagged/TaggedLayout.h"
#include "inspect/ConfigListing.h"
#include "pack/LayoutChecks.h"
#include "pack/PackFirmware.h"
#include "pack/PackLayout.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"
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
    TaggedLayout layout;
    layout.partitions = TaggedPartitionsOf(list);
    const bool accepted = CheckTaggedPlacement(layout, packed);
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

constexpr uint32_t kBoot = 2;

// One partition of a configuration: a boot block (type 2) built from the
// two programs, or an ordinary one holding `dataLength` bytes (none when
// skipped or filled).
struct Row {
  const char* name;
  uint32_t type;
  uint32_t offset;
  uint32_t size;
  uint64_t dataLength;
  uint32_t flag;
};

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// The configuration of `rows`, its payload files written into `dir`.
std::string ConfigOf(const std::string& system, const std::vector<Row>& rows, const TempDir& dir) {
  WriteBytes(dir / "ddr.bin", RandomBytes(4096, 1));
  WriteBytes(dir / "loader.bin", RandomBytes(10000, 2));
  std::string text = system;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    std::string file = r.type == kBoot ? "ddr.bin,loader.bin" : "";
    if (r.type != kBoot && (r.flag & (kSkip | kFill)) == 0) {
      file = std::string(r.name) + ".img";
      WriteBytes(dir / file, RandomBytes(r.dataLength, static_cast<uint32_t>(10 + i)));
    }
    text += PartSection(static_cast<int>(i + 1), r.name, std::to_string(r.type), Hex(r.offset),
                        Hex(r.size), Hex(r.flag), file);
  }
  return text;
}

// The layouts built here from the rows, as an image of each form records
// them: only the first boot block of a tagged image is built.
TaggedLayout TaggedLayoutFrom(const std::vector<Row>& rows) {
  TaggedLayout layout;
  bool bootSeen = false;
  for (const Row& r : rows) {
    TaggedPartition p;
    p.name = r.name;
    p.type = r.type;
    p.flag = r.flag;
    p.offset = r.offset;
    p.size = r.size;
    p.dataLength = r.dataLength;
    if (r.type == kBoot) {
      p.kind = bootSeen ? TaggedPartitionKind::kLaterBootBlock : TaggedPartitionKind::kBootBlock;
      bootSeen = true;
    }
    layout.partitions.push_back(p);
  }
  return layout;
}

GptLayout GptLayoutFrom(const std::vector<Row>& rows, bool compact) {
  GptLayout layout;
  layout.compact = compact;
  for (const Row& r : rows) {
    GptLayoutPartition p;
    p.name = r.name;
    p.type = r.type;
    p.flag = r.flag;
    p.offset = r.offset;
    p.size = r.size;
    p.payloadLength = r.dataLength;
    layout.partitions.push_back(p);
  }
  return layout;
}

// The partition the first placement problem names, if any.
std::optional<std::string> FirstAtFault(const std::vector<LayoutProblem>& problems,
                                        const std::vector<Row>& rows) {
  for (const LayoutProblem& problem : problems) {
    if (problem.rule == LayoutRule::kReservedArea || problem.rule == LayoutRule::kOverlap) {
      return rows[problem.partition].name;
    }
  }
  return std::nullopt;
}

enum class Form { kTagged, kPadded, kCompact };

TEST(LayoutAgreement, PackerAndLayoutValidationRefuseTheSameLayouts) {
  const Row boot{"IDBlock", kBoot, 0x40, 0x800, 0, 0};
  const struct {
    const char* what;
    Form form;
    std::vector<Row> rows;
    const char* atFault;  // the partition both name, or nothing when both accept
  } cases[] = {
      {"tagged, overlap",
       Form::kTagged,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"b", 8, 0x90F, 0x10, 512, 0}},
       "b"},
      {"tagged, on the reserved area", Form::kTagged, {boot, {"a", 8, 0x3F, 0x1, 512, 0}}, "a"},
      {"tagged, boot block twice: the later one writes nothing",
       Form::kTagged,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"IDBlock2", kBoot, 0x40, 0x800, 0, 0}},
       nullptr},
      {"tagged, growing last ends with its data",
       Form::kTagged,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"b", 8, 0x880, 0x100, 0x10 * 512, kGrow}},
       nullptr},
      {"tagged, growing last's data reaches the next",
       Form::kTagged,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"b", 8, 0x880, 0x10, 0x90 * 512, kGrow}},
       "b"},
      {"tagged, growing past its size onto the next",
       Form::kTagged,
       {boot, {"a", 8, 0x900, 0x10, 0x20 * 512, kGrow}, {"b", 8, 0x910, 0x10, 512, 0}},
       "b"},
      {"padded, overlap",
       Form::kPadded,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"b", 8, 0x90F, 0x10, 512, 0}},
       "b"},
      {"padded, on the partition table", Form::kPadded, {{"a", 8, 0x21, 0x10, 512, 0}}, "a"},
      {"padded, boot block on a payload",
       Form::kPadded,
       {{"a", 8, 0x100, 0x10, 512, 0}, boot},
       "IDBlock"},
      {"padded, skipped on top of another",
       Form::kPadded,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"b", 8, 0x900, 0x10, 0, kSkip}},
       nullptr},
      {"padded, growing last ends with its data",
       Form::kPadded,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"b", 8, 0x880, 0x100, 0x10 * 512, kGrow}},
       nullptr},
      {"padded, growing last's data reaches the next",
       Form::kPadded,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"b", 8, 0x880, 0x10, 0x90 * 512, kGrow}},
       "b"},
      {"compact, entries that meet place no data",
       Form::kCompact,
       {boot, {"a", 8, 0x900, 0x10, 512, 0}, {"b", 8, 0x900, 0x10, 512, 0}},
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TempDir dir;
    const TempDir out;
    std::string system = "[System]\nFwVersion=1.0.0\n";
    if (c.form != Form::kTagged) {
      system = std::string("[System]\nGpt_Enable=") + (c.form == Form::kCompact ? "1" : "0") +
               "\nBackup_Partition_Enable=0\n";
    }
    WriteText(dir / "setting.ini", ConfigOf(system, c.rows, dir));
    StringOutput packed;
    const bool accepted =
        PackFirmware(dir / "setting.ini", out.Path().string(), packed, FixedPackTime());
    const std::vector<LayoutProblem> problems =
        c.form == Form::kTagged
            ? ValidateTaggedLayout(TaggedLayoutFrom(c.rows))
            : ValidateGptLayout(GptLayoutFrom(c.rows, c.form == Form::kCompact));

    const std::optional<std::string> validated = FirstAtFault(problems, c.rows);
    if (c.atFault == nullptr) {
      EXPECT_TRUE(accepted) << packed.Text();
      EXPECT_EQ(validated, std::nullopt);
      continue;
    }
    EXPECT_FALSE(accepted);
    const std::string line = "Packing Error:partition " + std::string(c.atFault) + " at sectors ";
    EXPECT_NE(packed.Text().find(line), std::string::npos) << packed.Text();
    EXPECT_EQ(validated, std::optional<std::string>(c.atFault));
  }
}

// -L shows the sectors each partition takes as that form's layout value
// decides them: the partition-table image builds every boot block, the
// tagged image its first one only, and a growing last payload ends with its
// data in both.
TEST(LayoutAgreement, ListingTakesTheSectorsTheFormWrites) {
  const Row boot{"IDBlock", kBoot, 0x40, 0x800, 0, 0};
  const std::vector<Row> rows = {boot,
                                 {"a", 8, 0x900, 0x10, 512, 0},
                                 {"IDBlock2", kBoot, 0x1000, 0x800, 0, 0},
                                 {"b", 8, 0x2000, 0x100, 0x10 * 512, kGrow}};
  using Range = std::optional<std::pair<uint64_t, uint64_t>>;
  const Range written[] = {std::pair{0x40, 0x840}, std::pair{0x900, 0x910},
                           std::pair{0x1000, 0x1800}, std::pair{0x2000, 0x2010}};
  const struct {
    const char* what;
    const char* system;
    bool laterBootBuilt;
  } cases[] = {
      {"tagged", "[System]\nFwVersion=1.0.0\n", false},
      {"padded", "[System]\nGpt_Enable=0\nBackup_Partition_Enable=0\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TempDir dir;
    const std::string text = ConfigOf(c.system, rows, dir);
    WriteText(dir / "setting.ini", text);
    ConfigDocument document;
    ParseConfig(document, text);
    const ConfigListing listing =
        DescribeConfiguration(document, dir / "setting.ini", "Firmware.img", nullptr);
    ASSERT_EQ(listing.occupied.size(), rows.size()) << listing.RefusalText();
    for (size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE(rows[i].name);
      Range expected = written[i];
      if (i == 2 && !c.laterBootBuilt) expected.reset();
      Range shown;
      if (listing.occupied[i])
        shown = std::pair{listing.occupied[i]->first, listing.occupied[i]->end};
      EXPECT_EQ(shown, expected);
    }
  }
}

}  // namespace
}  // namespace imgweld::test
