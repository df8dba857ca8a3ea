// The commands agree on every image: a configuration that -P accepts gives
// an image that -V passes and that -X turns into a kit which -P packs back
// byte for byte. Configurations are generated from fixed seeds over every
// setting the forms express, so a failure names a configuration that can be
// packed again by hand.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cli/InspectTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

enum class Form { kTagged, kPadded, kCompact };

const char* FormName(Form form) {
  switch (form) {
    case Form::kTagged:
      return "tagged";
    case Form::kPadded:
      return "padded";
    case Form::kCompact:
      return "compact";
  }
  return "";
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// One generated configuration and the payload files it names.
struct Generated {
  std::string config;
  std::vector<std::pair<std::string, size_t>> files;  // name, length
  std::string environment;                            // SOURCE_DATE_EPOCH or nothing
};

// Where the generator puts the partitions: one after another in sector
// order, or anywhere in a small span, so that they come out of order, meet
// and overlap.
enum class Placement { kInOrder, kScattered };

class Generator {
 public:
  Generator(Form form, uint32_t seed, Placement placement = Placement::kInOrder)
      : form_(form), placement_(placement), random_(seed) {}

  Generated Make() {
    Generated out;
    const bool nano = Chance(3);
    std::string system = "[System]\nFwVersion=" + std::to_string(Below(9)) + "." +
                         std::to_string(Below(99)) + "." + std::to_string(Below(999)) + "\n";
    if (form_ != Form::kTagged)
      system += form_ == Form::kPadded ? "Gpt_Enable=0\n" : "Gpt_Enable=1\n";
    if (Chance(2))
      system += "Chip=ZB" + std::to_string(Below(99)) + "\nModel=board " +
                std::to_string(Below(999)) + "\n";
    if (Chance(2)) system += "Backup_Partition_Enable=1\n";
    if (nano) system += "Nano=1\n";
    if (Chance(3)) system += "BLANK_GAP=1\n";
    if (Chance(2)) system += "FILL_BYTE=" + Hex(Below(256)) + "\n";
    if (Chance(3)) system += std::string("Loader_Encrypt=") + (Chance(2) ? "0" : "1") + "\n";
    if (Chance(3)) system += std::string("IDB_Boot_Encrypt=") + (Chance(2) ? "0" : "1") + "\n";
    if (Chance(2)) {
      // Years up to the last one the header holds, four or five digits.
      const uint64_t year = Chance(2) ? 1980 + Below(60) : 10000 + Below(55536);
      char date[40];
      std::snprintf(date, sizeof date, "%llu-%02u-%02u %02u:%02u:%02u",
                    static_cast<unsigned long long>(year), static_cast<unsigned>(1 + Below(12)),
                    static_cast<unsigned>(1 + Below(28)), static_cast<unsigned>(Below(24)),
                    static_cast<unsigned>(Below(60)), static_cast<unsigned>(Below(61)));
      system += std::string("Date=") + date + "\n";
    } else {
      out.environment = "SOURCE_DATE_EPOCH=" + std::to_string(Below(uint64_t{1} << 41));
    }
    out.config = system;

    // The boot block's programs: a Nano DDR program fits its copy area.
    const size_t ddr = 1 + Below(nano ? 4096 : 6000);
    const size_t loader = 1 + Below(9000);
    out.files.push_back({"ddr.bin", ddr});
    out.files.push_back({"loader.bin", loader});

    const size_t count = 2 + Below(6);
    const size_t bootAt = Below(count);
    const size_t secondBoot = Chance(4) ? Below(count) : count;
    uint64_t sector = 0x40 + Below(3) * 0x20;
    for (size_t i = 0; i < count; ++i) {
      const bool last = i + 1 == count;
      if (placement_ == Placement::kScattered) sector = 0x40 + Below(0x100) * 8;
      std::string section = "\n[UserPart" + std::to_string(i + 1) + "]\n";
      if (i == bootAt || i == secondBoot) {
        const uint64_t size = 0x80 + Below(3) * 0x40;
        section += "Name=IDBlock\nType=0x2\nPartOffset=" + Hex(sector) + "\nPartSize=" + Hex(size) +
                   "\nFlag=0\nFile=ddr.bin,loader.bin\n";
        sector += size + Below(3) * 8;
        out.config += section;
        continue;
      }
      const std::string name = "part" + std::to_string(i);
      const uint64_t type = Chance(6) ? 1 : 8 + Below(4);
      const uint32_t flags[] = {0, 0, 1, 2, 4};
      uint32_t flag = flags[Below(5)];
      const size_t length = Below(4) * 512 + Below(2) * Below(512);
      uint64_t size = 8 + Below(32);
      if (length > 0) size += (length + 511) / 512;
      std::string sizeText = Hex(size);
      if (flag == 4 && last && Chance(2)) sizeText = "0";
      section += "Name=" + name + "\nType=" + Hex(type) + "\nPartOffset=" + Hex(sector) +
                 "\nPartSize=" + sizeText + "\nFlag=" + Hex(flag) + "\n";
      if (flag != 1 && flag != 2 && (length > 0 || Chance(2))) {
        const std::string file = name + ".img";
        out.files.push_back({file, length});
        section += "File=" + file + "\n";
      }
      if (form_ != Form::kTagged && Chance(2)) section += "Type_Guid=linux\n";
      out.config += section;
      sector += size + Below(3) * 8;
    }
    if (form_ != Form::kTagged) {
      out.config += "\n[PARTITION_TYPE_GUID]\nlinux=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n";
    }
    return out;
  }

 private:
  uint64_t Below(uint64_t bound) {
    return std::uniform_int_distribution<uint64_t>(0, bound - 1)(random_);
  }
  bool Chance(uint64_t oneIn) { return Below(oneIn) == 0; }

  Form form_;
  Placement placement_;
  std::mt19937_64 random_;
};

void WriteFiles(const std::string& dir, const Generated& generated, uint32_t seed) {
  WriteText(dir + "/setting.ini", generated.config);
  uint32_t salt = seed;
  for (const auto& [name, length] : generated.files) {
    WriteBytes(dir + "/" + name, RandomBytes(length, ++salt));
  }
}

// Packs, verifies, takes apart and packs the kit again; returns whether -P
// accepted the configuration, and fails the test at the first disagreement.
// A strict run refuses every configuration it warns about.
bool CheckAgreement(Form form, uint32_t seed, Placement placement = Placement::kInOrder) {
  TempDir dir;
  const Generated generated = Generator(form, seed, placement).Make();
  std::vector<std::string> pack = {"-P", "in/setting.ini", "out"};
  if (placement == Placement::kScattered) pack.push_back("strict");
  const std::string where = std::string(FormName(form)) + " seed " + std::to_string(seed) + " " +
                            generated.environment + "\n" + generated.config;
  fs::create_directories(dir / "in");
  fs::create_directories(dir / "out");
  fs::create_directories(dir / "kit");
  fs::create_directories(dir / "again");
  WriteFiles(dir / "in", generated, seed);
  const Outcome packed = Imgweld(pack, dir.Path(), generated.environment);
  if (packed.exitCode != 0) {
    EXPECT_EQ(packed.exitCode, 3) << where << packed.out;
    return false;
  }
  const Outcome verified = Imgweld({"-V", "out/Firmware.img"}, dir.Path());
  EXPECT_EQ(verified.exitCode, 0) << where << verified.out;
  const Outcome kit = Imgweld({"-X", "out/Firmware.img", "kit"}, dir.Path());
  EXPECT_EQ(kit.exitCode, 0) << where << kit.err;
  if (kit.exitCode != 0) return true;
  const Outcome again = Imgweld({"-P", "kit/setting.ini", "again"}, dir.Path());
  EXPECT_EQ(again.exitCode, 0) << where << again.out << ReadText(dir / "kit/setting.ini");
  EXPECT_TRUE(ReadBytes(dir / "out/Firmware.img") == ReadBytes(dir / "again/Firmware.img"))
      << where << ReadText(dir / "kit/setting.ini");
  if (form == Form::kTagged) {
    EXPECT_EQ(ReadBytes(dir / "out/Firmware.md5"), ReadBytes(dir / "again/Firmware.md5")) << where;
  }
  return true;
}

TEST(AgreementTest, EveryPackedImageVerifiesAndRebuildsFromItsKit) {
  for (const Form form : {Form::kTagged, Form::kPadded, Form::kCompact}) {
    int accepted = 0;
    for (uint32_t seed = 1; seed <= 50; ++seed) {
      if (CheckAgreement(form, seed)) ++accepted;
    }
    // Most generated configurations are packable, so the agreement is held
    // on many images, not on refusals.
    EXPECT_GE(accepted, 20) << FormName(form);
  }
}

// Partitions placed anywhere, out of order and meeting: whatever a strict
// -P takes without a warning, -V passes and -X gives back. Most of these
// layouts are refused, for overlapping data or a warned-about table.
TEST(AgreementTest, EveryStrictlyPackedScatteredLayoutVerifiesAndRebuilds) {
  for (const Form form : {Form::kTagged, Form::kPadded, Form::kCompact}) {
    int accepted = 0;
    for (uint32_t seed = 1; seed <= 80; ++seed) {
      if (CheckAgreement(form, seed, Placement::kScattered)) ++accepted;
    }
    EXPECT_GE(accepted, 8) << FormName(form);
  }
}

// A configuration over the example board's files: the boot block at 0x40
// and the sections given.
std::string BoardConfig(const std::string& system, const std::string& partitions) {
  return "[System]\nFwVersion=1.2.3\n" + system +
         "\n[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x80\nFlag=0\n"
         "File=ddr.bin,loader.bin\n" +
         partitions;
}

std::string Section(int number, const std::string& name, const std::string& type,
                    const std::string& offset, const std::string& size, const std::string& flag,
                    const std::string& file) {
  std::string text = "\n[UserPart" + std::to_string(number) + "]\nName=" + name + "\nType=" + type +
                     "\nPartOffset=" + offset + "\nPartSize=" + size + "\nFlag=" + flag + "\n";
  return file.empty() ? text : text + "File=" + file + "\n";
}

struct Commands {
  Outcome pack, verify, unpack, kit, again;
};

// -P of `config` beside the board's files, then -V, -U offcheck and -X of the
// image, and -P of the kit.
Commands RunAll(const TempDir& dir, const std::string& config,
                const std::string& environment = "") {
  fs::copy(SourceDir() + "/examples/board", dir / "in", fs::copy_options::recursive);
  WriteText(dir / "in/setting.ini", config);
  for (const char* sub : {"out", "unpacked", "kit", "again"}) fs::create_directories(dir / sub);
  Commands run;
  run.pack = Imgweld({"-P", "in/setting.ini", "out"}, dir.Path(), environment);
  run.verify = Imgweld({"-V", "out/Firmware.img", "offcheck"}, dir.Path());
  run.unpack = Imgweld({"-U", "out/Firmware.img", "unpacked", "offcheck"}, dir.Path());
  run.kit = Imgweld({"-X", "out/Firmware.img", "kit"}, dir.Path());
  run.again = Imgweld({"-P", "kit/setting.ini", "again"}, dir.Path());
  return run;
}

void ExpectRebuilt(const TempDir& dir, const Commands& run) {
  EXPECT_EQ(run.pack.exitCode, 0) << run.pack.out;
  EXPECT_EQ(run.verify.exitCode, 0) << run.verify.out;
  EXPECT_EQ(run.kit.exitCode, 0) << run.kit.err;
  EXPECT_EQ(run.again.exitCode, 0) << run.again.out;
  EXPECT_TRUE(fs::exists(dir / "again/Firmware.img") &&
              ReadBytes(dir / "out/Firmware.img") == ReadBytes(dir / "again/Firmware.img"))
      << ReadText(dir / "kit/setting.ini");
}

// A name -U cannot write: -P packs it with a warning, -V fails the record by
// the same rule, and -U and -X refuse the image.
TEST(AgreementTest, NamesNoFileCanTakeAreWarnedFailedAndRefused) {
  for (const std::string name : {"a/b", "..", ".", "a\\b", "a\tb", ""}) {
    SCOPED_TRACE("name [" + name + "]");
    TempDir dir;
    const Commands run =
        RunAll(dir, BoardConfig("", Section(2, name, "0x8", "0xC0", "0x40", "0", "uboot.img")));
    EXPECT_EQ(run.pack.exitCode, 0) << run.pack.out;
    EXPECT_NE(run.pack.err.find("is no plain file name"), std::string::npos) << run.pack.err;
    EXPECT_EQ(run.verify.exitCode, 4) << run.verify.out;
    EXPECT_EQ(FailedChecks(run.verify.out).size(), 1u) << run.verify.out;
    EXPECT_NE(run.verify.out.find("so -U cannot write its file"), std::string::npos);
    EXPECT_EQ(run.unpack.exitCode, 4);
    EXPECT_EQ(run.kit.exitCode, 4);
  }
  // A plain name gets no warning and passes.
  TempDir dir;
  const Commands run =
      RunAll(dir, BoardConfig("", Section(2, "a.b", "0x8", "0xC0", "0x40", "0", "uboot.img")));
  EXPECT_EQ(run.pack.err.find("no plain file name"), std::string::npos) << run.pack.err;
  ExpectRebuilt(dir, run);
}

// Layouts the commands once disagreed on; each packs, verifies, unpacks and
// rebuilds from its kit byte for byte.
TEST(AgreementTest, LayoutsOnceRefusedVerifyAndRebuild) {
  struct Case {
    const char* what;
    std::string config;
    std::string environment = "";
  };
  const std::string linux = "\nType_Guid=0FC63DAF-8483-4772-8E79-3D69D8477DE4";
  const Case cases[] = {
      {"skipped vendor-type partition past the data",
       BoardConfig("", Section(2, "uboot", "0x8", "0xC0", "0x40", "0", "uboot.img") +
                           Section(3, "vend", "0x1", "0x400", "0x40", "1", "uboot.img"))},
      {"compact: boot block, skipped, payload, then a fill that extends the image",
       BoardConfig("Gpt_Enable=1\n",
                   Section(2, "skipped", "0x8", "0xC0", "0x40", "1", "") +
                       Section(3, "boot", "0x8", "0x100", "0x60", "0", "boot.img") +
                       Section(4, "misc", "0x8", "0x300", "0x20", "2", ""))},
      {"padded: two boot block partitions",
       BoardConfig("Gpt_Enable=0\nBackup_Partition_Enable=1\n",
                   Section(2, "IDBlock2", "0x2", "0xC0", "0x80", "0", "ddr.bin,loader.bin") +
                       Section(3, "boot", "0x8", "0x140", "0x60", "0", "boot.img"))},
      {"padded: a growing payload before a skipped partition",
       BoardConfig("Gpt_Enable=0\n", Section(2, "boot", "0x8", "0xC0", "0x60", "4", "boot.img") +
                                         Section(3, "spare", "0x8", "0x200", "0x20", "1", ""))},
      {"a header dated in the year 10000",
       BoardConfig("", Section(2, "uboot", "0x8", "0xC0", "0x40", "0", "uboot.img")),
       "SOURCE_DATE_EPOCH=253402300800"},
      {"a leap second in the Date key",
       BoardConfig("Date=2016-12-31 23:59:60\n",
                   Section(2, "uboot", "0x8", "0xC0", "0x40", "0", "uboot.img"))},
      {"the last year the header holds",
       BoardConfig("Date=65535-12-31 23:59:59\n",
                   Section(2, "uboot", "0x8", "0xC0", "0x40", "0", "uboot.img"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const Commands run = RunAll(dir, c.config, c.environment);
    ExpectRebuilt(dir, run);
    if (c.config.find("Gpt_Enable") == std::string::npos) {
      EXPECT_EQ(run.unpack.exitCode, 0) << run.unpack.out;
    }
  }
}

// What a partition-table kit is read to say: a Nano boot block with a DDR
// program that fills its copy area gets the Nano program files, and a
// skipped partition below data written earlier stays skipped.
TEST(AgreementTest, PartitionTableKitsNameWhatTheImageHolds) {
  for (const char* layout : {"Gpt_Enable=0\n", "Gpt_Enable=1\n"}) {
    SCOPED_TRACE(layout);
    TempDir dir;
    const Commands run =
        RunAll(dir, BoardConfig(std::string(layout) + "Nano=1\n",
                                Section(2, "boot", "0x8", "0x100", "0x60", "0", "boot.img") +
                                    Section(3, "hole", "0x8", "0x22", "0x1E", "1", "") +
                                    Section(4, "misc", "0x8", "0x200", "0x20", "2", "")));
    // The board's DDR program is 3000 bytes: one of 4096, the most the
    // Nano copy area holds, replaces it.
    ExpectRebuilt(dir, run);
    WriteBytes(dir / "in/ddr.bin", RandomBytes(4096, 7));
    for (const char* sub : {"out", "kit", "again"}) {
      fs::remove_all(dir / sub);
      fs::create_directories(dir / sub);
    }
    ASSERT_EQ(Imgweld({"-P", "in/setting.ini", "out"}, dir.Path()).exitCode, 0);
    const Outcome kit = Imgweld({"-X", "out/Firmware.img", "kit"}, dir.Path());
    ASSERT_EQ(kit.exitCode, 0) << kit.err;
    // The programs are kept as stored, scrambled by default; the table keeps
    // no program length, so the loader comes in whole sectors.
    EXPECT_EQ(fs::file_size(dir / "kit/nanoboot1.bin"), 4096u);
    EXPECT_EQ(fs::file_size(dir / "kit/nanoboot2.bin"), 10240u);
    EXPECT_FALSE(fs::exists(dir / "kit/flashdata.bin"));
    const std::string config = ReadText(dir / "kit/setting.ini");
    const size_t hole = config.find("Name=hole\n");
    ASSERT_NE(hole, std::string::npos) << config;
    EXPECT_EQ(config.substr(config.find("Flag=", hole), 9), "Flag=0x1\n") << config;
    ASSERT_EQ(Imgweld({"-P", "kit/setting.ini", "again"}, dir.Path()).exitCode, 0);
    EXPECT_EQ(ReadBytes(dir / "out/Firmware.img"), ReadBytes(dir / "again/Firmware.img"));
  }
}

// -P and -V hold a partition-table disk to one length: 8388607 sectors are
// the most a 32-bit length holds.
TEST(AgreementTest, PackerAndVerifierShareTheImageLengthLimit) {
  for (const uint64_t sectors : {uint64_t{8388607}, uint64_t{8388608}}) {
    SCOPED_TRACE(sectors);
    TempDir dir;
    // A fill partition that ends the disk, with the backup GPT after it.
    const uint64_t end = sectors - 33;
    const std::string config =
        BoardConfig("Gpt_Enable=0\nBackup_Partition_Enable=1\n",
                    Section(2, "data", "0x8", "0x100", Hex(end - 0x100), "2", ""));
    fs::copy(SourceDir() + "/examples/board", dir / "in", fs::copy_options::recursive);
    WriteText(dir / "in/setting.ini", config);
    fs::create_directories(dir / "out");
    const Outcome packed = Imgweld({"-P", "in/setting.ini", "out"}, dir.Path());
    if (sectors == 8388607) {
      ASSERT_EQ(packed.exitCode, 0) << packed.out;
      EXPECT_EQ(fs::file_size(dir / "out/Firmware.img"), sectors * 512);
      EXPECT_EQ(Imgweld({"-V", "out/Firmware.img"}, dir.Path()).exitCode, 0);
      // One sector more, sealed as the packer would, is refused by -V.
      const RunResult grown = RunShell("truncate -s +512 " + Quote(dir / "out/Firmware.img") +
                                       " && sgdisk -e " + Quote(dir / "out/Firmware.img"));
      ASSERT_EQ(grown.exitCode, 0) << grown.output;
      const Outcome verified = Imgweld({"-V", "out/Firmware.img"}, dir.Path());
      EXPECT_EQ(verified.exitCode, 4);
      EXPECT_NE(verified.out.find("reaches past 4 GiB"), std::string::npos) << verified.out;
    } else {
      EXPECT_EQ(packed.exitCode, 3) << packed.out;
    }
  }
}

}  // namespace
}  // namespace imgweld::test
