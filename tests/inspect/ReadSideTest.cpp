// The read side at its limits: hostile images and what -U, -V and -L each
// do with them, the promise of "-L ini" held by packing its configuration,
// and the edges of the checks of -V. Images are laid out by the tests' own
// writer or edited from packed examples and resealed with checksums
// computed here from their definitions.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "cli/CommandLine.h"
#include "common/Output.h"
#include "inspect/ListCommand.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"
#include "unpack/TaggedImageWriter.h"
#include "unpack/UnpackFirmware.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kRecords = 0x200;
size_t Record(size_t index) { return kRecords + 128 * index; }

// CRC-32 as zlib computes it, bit by bit: the GPT's checksums.
uint32_t RefCrc32(std::span<const uint8_t> data) {
  uint32_t reg = 0xFFFFFFFFu;
  for (uint8_t byte : data) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return ~reg;
}

// Both checksums of a tagged image again and, when it has one, the backup
// block at its end, so that only the edit made stands out.
void ResealTagged(Bytes& image) {
  const uint32_t count = Le32(image, 0x20);
  PutLe(image, 0x1F8, RefCrc32Msb(std::span<const uint8_t>(image).subspan(0x200, count * 128)), 4);
  PutLe(image, 0x1FC, RefCrc32Msb(std::span<const uint8_t>(image).first(0x1FC)), 4);
  if (image[0x28] != 0) return;
  const size_t backup = image.size() - 4096;
  std::copy(image.begin() + 0x200, image.begin() + 0x1000, image.begin() + backup);
  std::copy(image.begin(), image.begin() + 512, image.begin() + backup + 3584);
}

// The array and header checksums of the primary GPT.
void ResealGpt(Bytes& image) {
  PutLe(image, 512 + 88, RefCrc32(std::span<const uint8_t>(image).subspan(1024, 16384)), 4);
  PutLe(image, 512 + 16, 0, 4);
  PutLe(image, 512 + 16, RefCrc32(std::span<const uint8_t>(image).subspan(512, 92)), 4);
}

class ReadSideTest : public ::testing::Test {
 protected:
  // Packs a copy of example `name`, its configuration changed by `edit`,
  // and returns the image's path.
  std::string PackExample(const std::string& name,
                          const std::function<void(std::string&)>& edit = {}) {
    const std::string from = dir_ / ("src-" + name + std::to_string(++packs_));
    const std::string to = dir_ / ("out-" + name + std::to_string(packs_));
    fs::copy(SourceDir() + "/examples/" + name, from);
    std::string config = ReadText(from + "/setting.ini");
    // Files of the other examples are named from the copy's directory.
    for (size_t at = config.find("../"); at != std::string::npos; at = config.find("../", at)) {
      config.replace(at, 3, SourceDir() + "/examples/");
    }
    if (edit) edit(config);
    WriteText(from + "/setting.ini", config);
    fs::create_directories(to);
    StringOutput out;
    EXPECT_TRUE(PackFirmware(from + "/setting.ini", to, out, FixedPackTime())) << out.Text();
    return to + "/Firmware.img";
  }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_ / name;
    WriteBytes(path, bytes);
    return path;
  }

  struct Verified {
    int exitCode;
    std::string text;
  };
  // "-V <path> [offcheck]" and "-L <path> <mode>", with the exit codes the
  // command line gives them.
  static Verified Verify(const std::string& path, bool checkHash = false) {
    StringOutput out;
    const char* const argv[] = {"imgweld", "-V", path.c_str(), "offcheck"};
    const int code = RunCommandLine(checkHash ? 3 : 4, argv, out);
    return {code, out.Text()};
  }

  static int List(const std::string& path, ListMode mode, StringOutput& out) {
    const char* word = mode == ListMode::kText ? "text" : mode == ListMode::kJson ? "json" : "ini";
    const char* const argv[] = {"imgweld", "-L", path.c_str(), word};
    return RunCommandLine(4, argv, out);
  }

  // "-U <image> <dir> offcheck" into a fresh directory.
  bool Unpack(const std::string& path, StringOutput& out) {
    outDir_ = dir_ / ("unpacked" + std::to_string(++unpacks_));
    fs::create_directories(outDir_);
    return UnpackFirmware(path, outDir_, false, out);
  }

  std::set<std::string> Unpacked() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(outDir_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  TempDir dir_;
  std::string outDir_;
  int packs_ = 0;
  int unpacks_ = 0;
};

// Each hostile image, and what every command makes of it: -U refuses before
// it writes anything wherever extracting would lose or invent data, -V
// names the fault, -L lists it without crashing and exits 4.
TEST_F(ReadSideTest, HostileTaggedImagesAreRefusedOrReportedByEveryCommand) {
  const auto withCount = [](uint32_t count, uint32_t entrySize = 128) {
    TestImage image;
    image.records = {VendorRecord(), Partition("a", 5, 0x40, 8, 16)};
    image.overrideCount = true;
    image.entryCount = count;
    image.entrySize = entrySize;
    return image.Build();
  };
  TestImage wide;
  wide.records = {VendorRecord(), Partition("wide", 5, 0x40, 8, 0x100003000ull)};
  TestImage tablePastEnd;
  tablePastEnd.tableSector = 200;
  tablePastEnd.records = {VendorRecord()};
  TestImage hugeBoot;
  hugeBoot.records = {VendorRecord(), BootRecord(0x40, 0x40, 12 * 512, 0, 0xFFFFFFFF, 100)};
  TestImage pastEnd;
  pastEnd.records = {VendorRecord(), Partition("a", 5, 0x40, 8, 16),
                     Partition("b", 5, 0x48, 8, 0x10000)};
  const struct {
    const char* what;
    Bytes image;
    uint64_t sparseLength;  // the file is extended to this length, as a hole
    bool unpacks;
    std::string unpackError;  // the last line of a refusal
    std::string failedCheck;  // one of the checks -V fails
  } cases[] = {
      {"no records", withCount(0), 0, true, "", "header"},
      {"29 records", withCount(29), 0, false,
       "UnPacking Error:Partition table holds more records than its area, entryCount=29!\r\n",
       "header"},
      {"every record, sparse", withCount(0xFFFFFFFF), (uint64_t{1} << 32) - 1, false,
       "UnPacking Error:Partition table lies beyond 4 GiB, entryCount=4294967295, "
       "entrySize=128!\r\n",
       "table crc"},
      {"records of 64 bytes", withCount(2, 64), 0, false,
       "UnPacking Error:Partition records overlap, entrySize=64!\r\n", "header"},
      {"table past the end", tablePastEnd.Build(), 0, false,
       "UnPacking Error:Partition table is cut off by the end of the firmware, entryCount=1, "
       "entrySize=128!\r\n",
       "records"},
      {"data length 2^32 + 12288", wide.Build(), 0, false,
       "UnPacking Error:Data of wide.img is 4 GiB or longer, dataLength=4294979584!\r\n",
       "record 1 wide"},
      {"boot programs larger than a boot block holds", hugeBoot.Build(), 0, false,
       "UnPacking Error:Data of flashdata.bin lies beyond 4 GiB!\r\n", "boot block"},
      {"second payload past the end", pastEnd.Build(), 0, false,
       "UnPacking Error:Data of b.img runs past the end of the firmware!\r\n", "record 2 b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Write("hostile.img", c.image);
    if (c.sparseLength != 0) fs::resize_file(path, c.sparseLength);

    StringOutput unpacked;
    EXPECT_EQ(Unpack(path, unpacked), c.unpacks) << unpacked.Text();
    if (c.unpacks) {
      EXPECT_EQ(Unpacked(), std::set<std::string>{"setting.ini"});
    } else {
      EXPECT_TRUE(unpacked.Text().ends_with(c.unpackError)) << unpacked.Text();
      EXPECT_EQ(unpacked.Text().find("Saving"), std::string::npos);
      EXPECT_TRUE(Unpacked().empty());
    }

    const Verified verified = Verify(path);
    EXPECT_EQ(verified.exitCode, 4);
    EXPECT_TRUE(FailedChecks(verified.text).contains(c.failedCheck)) << verified.text;

    for (const ListMode mode : {ListMode::kText, ListMode::kJson, ListMode::kIni}) {
      StringOutput listed;
      EXPECT_EQ(List(path, mode, listed), 4);
      if (mode == ListMode::kIni) {
        EXPECT_EQ(listed.Text(), "");
      }
    }
  }
}

// A 512 GiB file that starts with the tag is no image: every position of
// one is a 32-bit value. -U refuses it before its digest is taken.
TEST_F(ReadSideTest, FileLongerThanAnyImageIsRefusedBeforeItsDigest) {
  Bytes header(512, 0);
  std::copy_n("ZVFP", 4, header.begin());
  const std::string path = Write("big.img", header);
  fs::resize_file(path, uint64_t{512} << 30);
  WriteBytes(dir_ / "big.md5", Bytes(16, 0));
  StringOutput out;
  outDir_ = dir_ / "big-out";
  fs::create_directories(outDir_);
  EXPECT_FALSE(UnpackFirmware(path, outDir_, true, out));
  EXPECT_TRUE(out.Text().ends_with(
      "UnPacking Error:Firmware is longer than any image can be, length=549755813888!\r\n"))
      << out.Text();
  const Verified verified = Verify(path, true);
  EXPECT_EQ(verified.exitCode, 4);
  EXPECT_NE(verified.text.find("n/a  not computed: the file is longer than any image"),
            std::string::npos)
      << verified.text;
}

// The boot record moved into uboot's area: -V names both sides. -U
// extracts both as the design's unpacker does (it checks no overlaps), and
// says on standard error that their data overlaps.
TEST_F(ReadSideTest, BootRecordInsideUbootFailsVerifyAndIsNotedByUnpack) {
  const std::string packed = PackExample("board");
  Bytes image = ReadBytes(packed);
  PutLe(image, Record(1) + 0x24, 0xC8, 4);
  ResealTagged(image);
  const std::string path = Write("moved.img", image);
  const Verified verified = Verify(path);
  EXPECT_EQ(verified.exitCode, 4);
  EXPECT_NE(verified.text.find("overlap           bad  record 2 uboot at sectors 0xc0-0xff "
                               "overlaps record 1 IDBlock at sectors 0xc8-0x147"),
            std::string::npos)
      << verified.text;
  StringOutput unpacked;
  EXPECT_TRUE(Unpack(path, unpacked));
  EXPECT_NE(unpacked.Diagnostics().find("the data of uboot.img overlaps the data of flashdata.bin"),
            std::string::npos)
      << unpacked.Diagnostics();
}

TEST_F(ReadSideTest, HostilePartitionTablesFailVerify) {
  const Bytes packed = ReadBytes(PackExample("gpt-board"));
  const size_t array = 1024;
  const auto entry = [&](size_t i) { return array + 128 * i; };
  const struct {
    const char* what;
    std::function<void(Bytes&)> edit;
    std::string failedLine;
  } cases[] = {
      {"entry 1 moved onto entry 0",
       [&](Bytes& b) {
         PutLe(b, entry(1) + 32, 0x40, 8);
         PutLe(b, entry(1) + 40, 0x7F, 8);
         ResealGpt(b);
       },
       "overlap          bad  entry 1 uboot at sectors 0x40-0x7f overlaps entry 0 IDBlock at "
       "sectors 0x40-0xbf"},
      {"entries sharing one sector",
       [&](Bytes& b) {
         PutLe(b, entry(1) + 32, 0xBF, 8);
         ResealGpt(b);
       },
       "overlap          bad  entry 1 uboot at sectors 0xbf-0xff overlaps entry 0 IDBlock at "
       "sectors 0x40-0xbf"},
      {"entry 2 moved onto entries 0 and 1: its overlaps named by the first",
       [&](Bytes& b) {
         PutLe(b, entry(2) + 32, 0x40, 8);
         PutLe(b, entry(2) + 40, 0xFF, 8);
         ResealGpt(b);
       },
       "overlap          bad  entry 2 misc at sectors 0x40-0xff overlaps entry 0 IDBlock at "
       "sectors 0x40-0xbf (and 1 more)"},
      {"count in the private fields hiding entries",
       [&](Bytes& b) {
         PutLe(b, 512 + 112, 1, 2);  // outside the header checksum
         PutLe(b, entry(4) + 32, 0x20, 8);
         PutLe(b, entry(4) + 40, uint64_t{1} << 40, 8);
         ResealGpt(b);
       },
       "entry 4 rootfs   bad  in use at sectors 0x20-0x10000000000, but the header counts 1 "
       "partitions"},
      {"usable range past the file",
       [&](Bytes& b) {
         PutLe(b, 512 + 48, Le64(b, 512 + 48) + 0x1000, 8);
         ResealGpt(b);
       },
       "usable sectors   bad  the last usable sector 0x11ff is not 33 sectors before the backup "
       "header at sector 0x220"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = packed;
    c.edit(image);
    const std::string path = Write("gpt.img", image);
    const Verified verified = Verify(path);
    EXPECT_EQ(verified.exitCode, 4);
    EXPECT_NE(verified.text.find(c.failedLine), std::string::npos) << verified.text;
    StringOutput listed;
    EXPECT_EQ(List(path, ListMode::kText, listed), 4);
    StringOutput unpacked;
    EXPECT_FALSE(Unpack(path, unpacked));
    EXPECT_TRUE(
        unpacked.Text().ends_with("UnPacking Error:Tag of firmware is wrong, tag=0x0!\r\n"));
  }
}

// The six resealed edits whose configuration would not rebuild the image:
// -L ini prints nothing, names the first difference on standard error and
// exits 4. Untouched, the image rebuilds.
TEST_F(ReadSideTest, ListIniPrintsOnlyConfigurationsThatRebuildTheImage) {
  const std::string noBackup = PackExample("board", [](std::string& config) {
    config.replace(config.find("Backup_Partition_Enable=1"), 25, "Backup_Partition_Enable=0");
  });
  const Bytes packed = ReadBytes(noBackup);
  const size_t rootfs = Record(6);
  const auto setLength = [](Bytes& b, size_t length) {
    b.resize(length, 0xFF);
    PutLe(b, 0x18, length / 512, 4);
    PutLe(b, 0x24, length / 512 * 512, 4);
  };
  const struct {
    const char* what;
    std::function<void(Bytes&)> edit;
    // A part of standard error; empty: it rebuilds. The packer's own words
    // come on a line of their own, before the check's line.
    std::string problem;
  } cases[] = {
      {"untouched", [](Bytes&) {}, ""},
      {"name of 32 bytes without terminator",
       // -U cannot write a file of it, so -V fails it as damage.
       [&](Bytes& b) { std::fill_n(b.begin() + Record(2), 32, 'u'); },
       "record 2 uuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuu: the name is no plain file name"},
      {"Type_Guid of 64 bytes",
       [&](Bytes& b) { std::fill_n(b.begin() + Record(2) + 0x38, 64, 'g'); },
       "Packing Error:Type_Guid of partition uboot is longer than 63 characters!\n"},
      {"55 bytes after the boot fields",
       [&](Bytes& b) { std::fill_n(b.begin() + Record(1) + 0x38 + 9, 55, 'x'); },
       "Packing Error:Type_Guid of partition IDBlock is longer than 63 characters!\n"},
      {"growing last record that keeps its size",
       [&](Bytes& b) { PutLe(b, rootfs + 0x28, 0x40, 4); }, "byte 0x1f8: the image holds 0x"},
      {"image ending right after the last payload",
       [&](Bytes& b) {
         PutLe(b, rootfs + 0x28, 0x40, 4);
         PutLe(b, rootfs + 0x34, 0, 4);
       },
       // The packer pads the area to its 0x40 sectors: 0x200 sectors, not 0x1f0.
       "byte 0x18: the image holds 0xf0, the rebuilt image 0x00"},
      {"extra fill sectors at the end", [&](Bytes& b) { setLength(b, b.size() + 1024); },
       "byte 0x18: the image holds 0xf2, the rebuilt image 0xf0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = packed;
    c.edit(image);
    ResealTagged(image);
    const std::string path = Write("edited.img", image);
    StringOutput listed;
    const int code = List(path, ListMode::kIni, listed);
    if (c.problem.empty()) {
      EXPECT_EQ(code, 0) << listed.Diagnostics();
      EXPECT_TRUE(listed.Text().starts_with("# SOURCE_DATE_EPOCH=")) << listed.Text();
      continue;
    }
    EXPECT_EQ(code, 4);
    EXPECT_EQ(listed.Text(), "");
    EXPECT_NE(listed.Diagnostics().find(c.problem), std::string::npos) << listed.Diagnostics();
    if (c.problem.starts_with("Packing Error:")) {
      EXPECT_TRUE(listed.Diagnostics().ends_with(
          path + ": cannot be rebuilt exactly, the packer refuses the configuration\n"))
          << listed.Diagnostics();
    }
  }
}

// Text listings escape every control byte; ini refuses them, naming the
// field.
TEST_F(ReadSideTest, ControlBytesAreEscapedInTextAndRefusedInIni) {
  Bytes image = ReadBytes(PackExample("board"));
  const std::string hostile = "\x1b]0;owned\x07\x1b[2J\x7f";
  std::fill_n(image.begin() + 0x2D, 32, 0);
  std::copy(hostile.begin(), hostile.end(), image.begin() + 0x2D);  // the model
  std::fill_n(image.begin() + Record(2), 32, 0);
  std::copy_n(
      "u\x1b"
      "b\xc2\x85z",
      6, image.begin() + Record(2));  // ESC and U+0085
  ResealTagged(image);
  const std::string path = Write("controls.img", image);

  StringOutput text;
  List(path, ListMode::kText, text);
  EXPECT_EQ(text.Text().find('\x1b'), std::string::npos);
  EXPECT_EQ(text.Text().find('\x07'), std::string::npos);
  EXPECT_NE(text.Text().find("\\x1B]0;owned\\x07\\x1B[2J\\x7F"), std::string::npos) << text.Text();
  EXPECT_NE(text.Text().find("u\\x1Bb\\xC2\\x85z"), std::string::npos) << text.Text();

  // A name of control bytes is no file name -U can write: damage first.
  StringOutput ini;
  EXPECT_EQ(List(path, ListMode::kIni, ini), 4);
  EXPECT_EQ(ini.Text(), "");
  EXPECT_NE(ini.Diagnostics().find("it is damaged: record 2 u\\x1Bb\\xC2\\x85z: the name is no "
                                   "plain file name"),
            std::string::npos)
      << ini.Diagnostics();
  // With the name plain again, the model's control bytes are refused.
  std::fill_n(image.begin() + Record(2), 32, 0);
  std::copy_n("uboot", 5, image.begin() + Record(2));
  ResealTagged(image);
  StringOutput model;
  EXPECT_EQ(List(Write("controls.img", image), ListMode::kIni, model), 4);
  EXPECT_NE(model.Diagnostics().find("the model holds the control character 0x1B"),
            std::string::npos)
      << model.Diagnostics();
}

// The C1 controls (U+0080 to U+009F, C2 80 to C2 9F in UTF-8) act on a
// terminal as the C0 ones do, so text listings escape them; U+00A0, the
// first character after them, is text. JSON gives every byte above 0x7E,
// DEL included, as \u00XX.
TEST_F(ReadSideTest, ListingsEscapeTheC1ControlsAndKeepWhatFollowsThem) {
  const Bytes packed = ReadBytes(PackExample("board"));
  const struct {
    const char* what;
    std::string name;  // of the uboot record
    std::string text;  // as the text listing shows it
    std::string json;  // as the JSON listing gives it
  } cases[] = {
      {"U+0080", "u\xc2\x80z", "u\\xC2\\x80z", "u\\u00c2\\u0080z"},
      {"U+009F", "u\xc2\x9fz", "u\\xC2\\x9Fz", "u\\u00c2\\u009fz"},
      {"U+00A0", "u\xc2\xa0z", "u\xc2\xa0z", "u\\u00c2\\u00a0z"},
      {"DEL", "u\x7fz", "u\\x7Fz", "u\\u007fz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = packed;
    std::fill_n(image.begin() + Record(2), 32, 0);
    std::copy(c.name.begin(), c.name.end(), image.begin() + Record(2));
    ResealTagged(image);
    const std::string path = Write("named.img", image);

    StringOutput text;
    List(path, ListMode::kText, text);
    EXPECT_NE(text.Text().find("  " + c.text + "  "), std::string::npos) << text.Text();
    if (c.text != c.name) {
      EXPECT_EQ(text.Text().find(c.name), std::string::npos) << "shown unescaped";
    }
    StringOutput json;
    List(path, ListMode::kJson, json);
    EXPECT_NE(json.Text().find("\"name\": \"" + c.json + "\""), std::string::npos) << json.Text();
    EXPECT_TRUE(std::all_of(json.Text().begin(), json.Text().end(),
                            [](char b) { return static_cast<unsigned char>(b) < 0x7F; }));
  }

  // DEL alone is enough for ini to refuse a text.
  const struct {
    const char* what;
    size_t at;
    size_t width;
    std::string value;
    std::string problem;
  } refused[] = {
      {"model", 0x2D, 32, "demo\x7f", "the model holds the control character 0x7F"},
      {"chip", 0x29, 4, "Z\x7f", "the chip holds the control character 0x7F"},
      {"Type_Guid", Record(2) + 0x38, 64, "lin\x7fux",
       "partition uboot's Type_Guid holds the control character 0x7F"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.what);
    Bytes image = packed;
    std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(r.at), r.width, 0);
    std::copy(r.value.begin(), r.value.end(), image.begin() + static_cast<std::ptrdiff_t>(r.at));
    ResealTagged(image);
    StringOutput ini;
    EXPECT_EQ(List(Write("del.img", image), ListMode::kIni, ini), 4);
    EXPECT_EQ(ini.Text(), "");
    EXPECT_NE(ini.Diagnostics().find(r.problem), std::string::npos) << ini.Diagnostics();
  }
}

// Where the checks of -V change their verdict.
TEST_F(ReadSideTest, VerifyChecksAtTheirLimits) {
  const std::string noBackup = PackExample("board", [](std::string& config) {
    config.replace(config.find("Backup_Partition_Enable=1"), 25, "Backup_Partition_Enable=0");
  });
  const Bytes plain = ReadBytes(noBackup);
  // Up to 511 bytes after the recorded length are a last sector the length
  // does not count; 512 are a whole sector too many.
  for (const size_t extra : {511u, 512u}) {
    Bytes image = plain;
    image.resize(image.size() + extra, 0xFF);
    const Verified verified = Verify(Write("longer.img", image));
    EXPECT_EQ(FailedChecks(verified.text).contains("image length"), extra == 512) << extra;
  }

  const Bytes board = ReadBytes(PackExample("board"));
  const size_t firstCopy = 0x40 * 512;
  const size_t secondCopy = 0x80 * 512;
  const size_t blockLength = (4 + 8 + 20) * 512;  // control sectors, DDR, loader
  const struct {
    const char* what;
    std::vector<size_t> flips;
    std::string failed;
  } damage[] = {
      {"last byte of the second boot copy", {secondCopy + blockLength - 1}, "boot copies"},
      {"spare sector in both copies",
       {firstCopy + 3 * 512 + 10, secondCopy + 3 * 512 + 10},
       "boot sector crcs"},
  };
  for (const auto& d : damage) {
    SCOPED_TRACE(d.what);
    Bytes image = board;
    for (size_t at : d.flips) image[at] ^= 0x01;
    const Verified verified = Verify(Write("damaged.img", image));
    EXPECT_EQ(verified.exitCode, 4);
    EXPECT_EQ(FailedChecks(verified.text), std::set<std::string>{d.failed}) << verified.text;
  }

  // Backup GPT arrays that differ in their last byte only.
  Bytes gpt = ReadBytes(PackExample("gpt-board"));
  const uint64_t backupHeader = Le64(gpt, 512 + 32) * 512;
  gpt[backupHeader - 1] ^= 0x01;
  EXPECT_EQ(FailedChecks(Verify(Write("gpt.img", gpt)).text), std::set<std::string>{"backup gpt"});

  // The header, table and vendor area take sectors 0 to 0x3F: a record that
  // starts on the last of them lies on them, one at 0x40 does not.
  for (const uint32_t first : {0x3Fu, 0x40u}) {
    TestImage laid;
    laid.records = {VendorRecord(), Partition("a", 5, first, 8, 16)};
    Bytes image = laid.Build();
    ResealTagged(image);
    const Verified verified = Verify(Write("reserved.img", image));
    EXPECT_EQ(verified.text.find(Format("record 1 a at sectors 0x%x-0x%x "
                                        "overlaps the header, table and vendor area at sectors "
                                        "0x0-0x3f",
                                        first, first + 7)) != std::string::npos,
              first == 0x3F)
        << verified.text;
    EXPECT_EQ(FailedChecks(verified.text).contains("overlap"), first == 0x3F) << verified.text;
  }

  // The hash file's first and last bytes count as much as the others.
  const std::string hashed = PackExample("board");
  const std::string hashFile = hashed.substr(0, hashed.rfind('.')) + ".md5";
  const Bytes digest = ReadBytes(hashFile);
  ASSERT_EQ(digest.size(), 16u);
  EXPECT_EQ(Verify(hashed, true).exitCode, 0);
  for (const size_t at : {size_t{0}, size_t{15}}) {
    Bytes changed = digest;
    changed[at] ^= 0x01;
    WriteBytes(hashFile, changed);
    const Verified verified = Verify(hashed, true);
    EXPECT_EQ(verified.exitCode, 4) << at;
    EXPECT_EQ(FailedChecks(verified.text), std::set<std::string>{"md5"}) << verified.text;
  }
  WriteBytes(hashFile, digest);

  // Without its hash file a tagged image cannot be verified.
  const Verified unhashed = Verify(Write("nohash.img", board), true);
  EXPECT_EQ(unhashed.exitCode, 4);
  EXPECT_TRUE(FailedChecks(unhashed.text).contains("md5")) << unhashed.text;
}

TEST_F(ReadSideTest, FullTablesAndExactlyFilledAreasVerify) {
  // The vendor record and 27 partitions fill the table area.
  const std::string full = PackExample("board", [](std::string& config) {
    config = config.substr(0, config.find("[UserPart2]"));
    for (int i = 2; i <= 27; ++i) {
      config += PartSection(i, "p" + std::to_string(i), "0x8", Format("0x%X", 0xC0 + 8 * i), "8",
                            "0x1", "");
    }
  });
  const Verified verified = Verify(full);
  EXPECT_EQ(verified.exitCode, 0) << verified.text;
  EXPECT_NE(verified.text.find("28 records of 128 bytes"), std::string::npos) << verified.text;

  // A padded partition-table image without backup whose last payload fills
  // its area to the last byte.
  const std::string gpt = PackExample("gpt-board", [](std::string& config) {
    config.replace(config.find("Backup_Partition_Enable=1"), 25, "Backup_Partition_Enable=0");
    const size_t last = config.find("Name=rootfs");
    const size_t size = config.find("PartSize=", last);
    // rootfs.img has 20000 bytes: a file of whole sectors is put in its place.
    config.replace(size, config.find('\n', size) - size, "PartSize=0x30");
    const size_t file = config.find("File=", last);
    config.replace(file, config.find('\n', file) - file,
                   "File=" + SourceDir() + "/examples/board/rootfs.img");
  });
  const Verified exact = Verify(gpt);
  EXPECT_EQ(exact.exitCode, 0) << exact.text;

  // A compact image cut by one byte inside its last payload fails that entry.
  const std::string compact = PackExample("gpt-compact");
  Bytes image = ReadBytes(compact);
  image.pop_back();
  const Verified cut = Verify(Write("cut.img", image));
  EXPECT_EQ(cut.exitCode, 4);
  const std::set<std::string> failed = FailedChecks(cut.text);
  ASSERT_EQ(failed.size(), 1u) << cut.text;
  EXPECT_TRUE(failed.begin()->starts_with("entry ")) << cut.text;
}

// "-L ini" on the edges of what the packer writes.
TEST_F(ReadSideTest, ListIniAtTheEdgesOfThePackersLayout) {
  const std::string noBackup = PackExample("board", [](std::string& config) {
    config.replace(config.find("Backup_Partition_Enable=1"), 25, "Backup_Partition_Enable=0");
  });
  const Bytes packed = ReadBytes(noBackup);
  const size_t rootfs = Record(6);
  {
    // The last partition ends inside a sector: the packer pads it.
    Bytes image = packed;
    image.resize(image.size() - 100);
    PutLe(image, rootfs + 0x2C, Le64(image, rootfs + 0x2C) - 100, 8);
    PutLe(image, 0x18, image.size() / 512, 4);
    PutLe(image, 0x24, image.size() / 512 * 512, 4);
    ResealTagged(image);
    const std::string path = Write("inside.img", image);
    EXPECT_EQ(Verify(path).exitCode, 0) << Verify(path).text;
    StringOutput ini;
    EXPECT_EQ(List(path, ListMode::kIni, ini), 4);
    EXPECT_EQ(ini.Text(), "");
  }
  {
    // Bytes after the last payload that are no fill bytes.
    Bytes image = packed;
    PutLe(image, rootfs + 0x2C, Le64(image, rootfs + 0x2C) - 100, 8);
    ResealTagged(image);
    StringOutput ini;
    EXPECT_EQ(List(Write("tail.img", image), ListMode::kIni, ini), 4);
    EXPECT_EQ(ini.Text(), "");
  }
  {
    // A fill-and-grow last partition right after the previous one: listed
    // with the size that fills it to the end of the image, which rebuilds.
    const std::string grown = PackExample("board", [](std::string& config) {
      config.replace(config.find("Backup_Partition_Enable=1"), 25, "Backup_Partition_Enable=0");
      config += "\n[UserPart7]\nName=spare\nType=0x8\nPartOffset=0x1F0\nPartSize=0x10\nFlag=6\n";
    });
    StringOutput ini;
    EXPECT_EQ(List(grown, ListMode::kIni, ini), 0) << ini.Diagnostics();
    EXPECT_NE(ini.Text().find("Name=spare\nType=0x8\nPartOffset=0x1F0\nPartSize=0x10\n"),
              std::string::npos)
        << ini.Text();
  }
}

// Holes of the image stay holes of the extracted files: eight records over
// one 256 MiB range of a sparse image take almost no blocks on disk.
TEST_F(ReadSideTest, UnpackKeepsHoles) {
  TestImage image;
  image.records = {VendorRecord()};
  for (int i = 0; i < 8; ++i) {
    image.records.push_back(Partition("z" + std::to_string(i), 5, 0x40, 0x80000, 256u << 20));
  }
  // A little data amid the holes, which must come out where it was.
  const Bytes data = RandomBytes(5000, 3);
  const uint64_t dataAt = (uint64_t{1} << 20) + 7;
  image.Place(0x40 * 512 + dataAt, data);
  const std::string path = Write("sparse.img", image.Build());
  fs::resize_file(path, 0x40 * 512 + (uint64_t{256} << 20));
  StringOutput out;
  ASSERT_TRUE(Unpack(path, out)) << out.Text();
  uint64_t blocks = 0;
  for (int i = 0; i < 8; ++i) {
    const std::string file = outDir_ + "/z" + std::to_string(i) + ".img";
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(static_cast<uint64_t>(status.st_size), uint64_t{256} << 20);
    blocks += static_cast<uint64_t>(status.st_blocks);
  }
  EXPECT_LT(blocks * 512, uint64_t{64} << 20);
  const Bytes extracted = ReadBytes(outDir_ + "/z5.img");
  ASSERT_EQ(extracted.size(), uint64_t{256} << 20);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), extracted.begin() + dataAt));
  EXPECT_TRUE(
      std::all_of(extracted.begin(), extracted.begin() + dataAt, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(extracted.begin() + dataAt + data.size(), extracted.end(),
                          [](uint8_t b) { return b == 0; }));
  EXPECT_NE(out.Diagnostics().find("the data of z1.img overlaps the data of z0.img"),
            std::string::npos);
}

}  // namespace
}  // namespace imgweld::test
