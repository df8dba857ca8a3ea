#include "inspect/RebuildConfig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "common/Output.h"
#include "config/IniWriter.h"
#include "image/ImageReader.h"
#include "inspect/GptRebuildConfig.h"
#include "inspect/Kit.h"
#include "inspect/RebuildCheck.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;

// The image -P makes of the example configuration `example`; empty when it
// refuses it.
Bytes PackExample(const std::string& example) {
  TempDir dir;
  StringOutput out;
  if (!PackFirmware(SourceDir() + "/examples/" + example + "/setting.ini", dir.Path().string(), out,
                    FixedPackTime())) {
    return {};
  }
  return ReadBytes(dir / "Firmware.img");
}

// The kit of an example's image: "board" is tagged, the others are
// partition-table images.
bool BuildExampleKit(const std::string& example, ImageSource& source, Output& messages, Kit& kit) {
  return example == "board" ? BuildTaggedKit(source, ReadTaggedImage(source), "img", messages, kit)
                            : BuildGptKit(source, ReadGptImage(source), "img", messages, kit);
}

void Put32(Bytes& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutText(Bytes& bytes, size_t at, size_t width, const std::string& text) {
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), width, 0);
  std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// Both checksums again, from their definition, and the backup block at the
// end as a copy of table and header, so only the change made stands out.
void Reseal(Bytes& image) {
  const uint32_t count = Le32(image, 0x20);
  Put32(image, 0x1F8, RefCrc32Msb(std::span<const uint8_t>(image).subspan(0x200, count * 128)));
  Put32(image, 0x1FC, RefCrc32Msb(std::span<const uint8_t>(image).first(0x1FC)));
  const size_t backup = image.size() - 4096;
  std::copy(image.begin() + 0x200, image.begin() + 0x1000, image.begin() + backup);
  std::copy(image.begin(), image.begin() + 512, image.begin() + backup + 3584);
}

constexpr size_t kUboot = 0x200 + 2 * 128;  // record 2 of the example board
constexpr size_t kMisc = 0x200 + 3 * 128;

struct Case {
  const char* what;
  std::function<void(Bytes&)> change;
  std::string problem;  // empty: the image still rebuilds
};

TEST(RebuildConfigTest, ImagesTheConfigurationCannotCarryAreRefused) {
  TempDir dir;
  StringOutput out;
  ASSERT_TRUE(PackFirmware(SourceDir() + "/examples/board/setting.ini", dir.Path().string(), out,
                           FixedPackTime()));
  const Bytes packed = ReadBytes(dir / "Firmware.img");
  const Case cases[] = {
      {"untouched", [](Bytes&) {}, ""},
      // "=" needs no escape: the value runs to the end of the line.
      {"name with =", [](Bytes& b) { PutText(b, kUboot, 32, "u=boot"); }, ""},
      {"name with #", [](Bytes& b) { PutText(b, kUboot, 32, "u#boot"); },
       "partition u#boot's name holds text a configuration file cannot carry"},
      {"name with brackets", [](Bytes& b) { PutText(b, kUboot, 32, "u[b]"); },
       "partition u[b]'s name holds text a configuration file cannot carry"},
      {"model ending in a blank", [](Bytes& b) { PutText(b, 0x2D, 32, "board "); },
       "the model holds text a configuration file cannot carry"},
      {"chip with bytes after its end",
       [](Bytes& b) { PutText(b, 0x29, 4, std::string("A\0B", 3)); },
       "chip or model holds bytes after its end"},
      // -U writes the later one's data as uboot.img.2, and so names it.
      {"two partitions of one name", [](Bytes& b) { PutText(b, kMisc, 32, "uboot"); }, ""},
      // -U extracts the data of a vendor-type partition under its name.
      {"vendor-type partition with data", [](Bytes& b) { Put32(b, kUboot + 0x20, 1); }, ""},
      {"skipped partition with data", [](Bytes& b) { Put32(b, kUboot + 0x34, 1); },
       "partition uboot is skipped or filled but records data"},
      {"month 13", [](Bytes& b) { b[6] = 13; },
       "its date and time are no calendar date the Date key takes"},
      {"vendor area", [](Bytes& b) { b[0x4000] = 0; },
       "the vendor area does not hold one fill byte"},
      {"gap after a payload", [](Bytes& b) { b[0x1B100] = 0; },
       "bytes from 0x1b000 to 0x24000 are not all the fill byte 0xFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = packed;
    c.change(image);
    Reseal(image);
    MemorySource source(image);
    const TaggedImageFacts facts = ReadTaggedImage(source);
    ASSERT_TRUE(AllChecksHold(facts.checks));
    std::string config;
    StringOutput messages;
    EXPECT_EQ(BuildRebuildConfig(source, facts, "img", messages, config), c.problem.empty());
    // The reason is printed once, where it is found.
    EXPECT_EQ(
        messages.Diagnostics(),
        c.problem.empty() ? "" : "imgweld: img: cannot be rebuilt exactly, " + c.problem + "\n");
    EXPECT_EQ(messages.Text(), "");
    if (c.problem.empty()) {
      EXPECT_TRUE(config.starts_with("# SOURCE_DATE_EPOCH=1709647629\n"));
    }
  }
  // A damaged image names its first failed check.
  Bytes damaged = packed;
  damaged[0x30] ^= 1;
  MemorySource source(damaged);
  std::string config;
  StringOutput messages;
  EXPECT_FALSE(BuildRebuildConfig(source, ReadTaggedImage(source), "img", messages, config));
  EXPECT_TRUE(messages.Diagnostics().starts_with(
      "imgweld: img: cannot be rebuilt exactly, it is damaged: header crc: stored 0x"))
      << messages.Diagnostics();
}

TEST(RebuildConfigTest, OnlyValuesThatReadBackAreCarried) {
  for (const char* value : {"", "plain", " leading", "a=b", "x]y[z", "[open", "close]", "\xe9"}) {
    EXPECT_TRUE(IniCanCarry(value)) << value;
  }
  for (const std::string& value :
       std::vector<std::string>{"a#b", "trailing ", "tab\t", "cr\r", "line\nbreak", "[x]", "a[b]c",
                                std::string("nul\0x", 5)}) {
    EXPECT_FALSE(IniCanCarry(value)) << value;
  }
}

// A failure the packer's plan finds ahead of its turn is printed in the
// packer's words before the check's own line, as a refusal the planner
// prints at once is; for both image forms.
TEST(RebuildConfigTest, PlannedFailureOfTheKitIsPrintedBeforeTheCheckLine) {
  for (const std::string example : {"board", "gpt-board"}) {
    SCOPED_TRACE(example);
    const Bytes packed = PackExample(example);
    ASSERT_FALSE(packed.empty());
    MemorySource source(packed);
    StringOutput messages;
    // The kit as made, and a check of it with an edited configuration.
    Kit kit;
    ASSERT_TRUE(BuildExampleKit(example, source, messages, kit));
    std::string config = kit.config;
    const auto check = [&](const std::string& text) {
      Kit edited = kit;
      edited.config = text;
      return CheckKit(source, edited, "img", messages);
    };
    ASSERT_TRUE(check(config)) << messages.Diagnostics();
    ASSERT_EQ(messages.Diagnostics(), "");
    // The boot block's partition shrunk below its two copies.
    const std::string boot = "Name=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x80\n";
    ASSERT_NE(config.find(boot), std::string::npos) << config;
    config.replace(config.find(boot), boot.size(),
                   "Name=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x10\n");
    EXPECT_FALSE(check(config));
    EXPECT_EQ(messages.Diagnostics(),
              "imgweld: img: Packing Error:idblock partition IDBlock is too small for two copies "
              "of the idblock!\n"
              "imgweld: img: cannot be rebuilt exactly, the packer refuses the configuration\n");
    EXPECT_EQ(messages.Text(), "");
  }
}

// The comparator plans a kit of either form and names the first byte where
// the planned image and the image differ, with what each side holds there:
// the kit is made of the image as packed, and compared with a copy of it
// with two bytes the packer fills changed (the vendor area, the gap after
// the GPT). A kit's payloads come from the image it is compared with, so a
// fill byte shows the comparison and not the kit.
TEST(RebuildConfigTest, CheckKitNamesTheFirstDifferingByteOfEitherForm) {
  for (const std::string example : {"board", "gpt-board"}) {
    SCOPED_TRACE(example);
    const Bytes packed = PackExample(example);
    ASSERT_FALSE(packed.empty());
    MemorySource source(packed);
    StringOutput messages;
    Kit kit;
    ASSERT_TRUE(BuildExampleKit(example, source, messages, kit));
    ASSERT_FALSE(kit.config.empty()) << messages.Diagnostics();
    ASSERT_TRUE(CheckKit(source, kit, "img", messages)) << messages.Diagnostics();
    ASSERT_EQ(messages.Diagnostics(), "");
    Bytes changed = packed;
    const uint8_t fill = packed.at(0x5000);
    ASSERT_EQ(packed.at(0x7000), fill);
    changed.at(0x7000) ^= 0x80;
    changed.at(0x5000) ^= 0x01;
    MemorySource edited(changed);
    EXPECT_FALSE(CheckKit(edited, kit, "img", messages));
    char line[120];
    std::snprintf(line, sizeof line,
                  "imgweld: img: cannot be rebuilt exactly, byte 0x5000: the image holds 0x%02x, "
                  "the rebuilt image 0x%02x\n",
                  fill ^ 0x01, fill);
    EXPECT_EQ(messages.Diagnostics(), line);
    EXPECT_EQ(messages.Text(), "");
  }
}

// What the packer prints while a kit is checked reaches standard error a
// line at a time, however it was written, with the packer's "\r\n" ended
// as a diagnostic is and a name's control bytes shown, never sent.
TEST(RebuildConfigTest, PackerMessagesBecomeDiagnosticLines) {
  StringOutput out;
  {
    PackerMessages messages(out, "a.img");
    messages.Write("Packing Error:Opening ");
    EXPECT_EQ(out.Diagnostics(), "");  // no line yet
    messages.Printf("%s failed, err=%d!\r\n\r\nsecond\x1b[2J", "boot\x07.bin", 2);
    messages.Note("boot.bin", "No such file or directory");
    messages.Write("\r\nlast line");
  }
  EXPECT_EQ(out.Text(), "");
  EXPECT_EQ(out.Diagnostics(),
            "imgweld: a.img: Packing Error:Opening boot\\x07.bin failed, err=2!\n"
            "imgweld: boot.bin: No such file or directory\n"
            "imgweld: a.img: second\\x1B[2J\n"
            "imgweld: a.img: last line\n");
}

}  // namespace
}  // namespace imgweld::test
